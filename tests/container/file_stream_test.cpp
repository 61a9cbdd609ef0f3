// The output files of the container: a private file and an atomic replacement, on a POSIX
// file system.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "container/file_stream.h"
#include "files/files.h"
#include "support/file_modes.h"
#include "support/test_support.h"

namespace quorvel {
namespace {

namespace fs = std::filesystem;

// An output at `path`, found and opened as the program opens its own.
std::optional<OutputFile> create_output(const fs::path& path, OutputPolicy policy) {
    const auto target = OutputFile::find_target(path, policy);
    return target ? OutputFile::open(*target) : std::nullopt;
}

using test::mode_of;

// A private output never opens what is at its name: a file there is replaced on close (a
// second name for it keeps the old bytes), anything else is refused.
TEST(OutputFiles, PrivateFileReplacesAndNeverWritesThrough) {
    test::ScratchDir dir;
    test::write_file(dir / "held", "older");
    fs::create_hard_link(dir / "held", dir / "archive");
    auto output = create_output(dir / "archive", OutputPolicy::private_file);
    ASSERT_TRUE(output);
    ASSERT_FALSE(output->pending_path().empty());
    EXPECT_EQ(files::identity_at(output->pending_path()), output->identity());
    ASSERT_TRUE(output->write(test::to_bytes("plain")));
    ASSERT_TRUE(output->close());
    EXPECT_EQ(test::read_file(dir / "archive"), test::to_bytes("plain"));
    EXPECT_EQ(mode_of(dir / "archive"), 0600u);
    EXPECT_EQ(test::read_file(dir / "held"), test::to_bytes("older"));

    fs::create_symlink(dir / "held", dir / "link");
    fs::create_directory(dir / "folder");
    for (const char* name : {"link", "folder"}) {
        EXPECT_FALSE(create_output(dir / name, OutputPolicy::private_file)) << name;
    }
    EXPECT_FALSE(create_output("", OutputPolicy::replace_atomically));
    EXPECT_FALSE(create_output(dir / "no-such" / "", OutputPolicy::replace_atomically));
}

// Without close() the temporary file goes, but a file that took its name meanwhile stays.
TEST(OutputFiles, UnfinishedOutputRemovesOnlyItsOwnFile) {
    test::ScratchDir dir;
    fs::path pending;
    {
        auto output = create_output(dir / "out", OutputPolicy::replace_atomically);
        ASSERT_TRUE(output);
        pending = output->pending_path();
        ASSERT_TRUE(fs::exists(pending));
    }
    EXPECT_FALSE(fs::exists(pending));
    {
        auto output = create_output(dir / "out", OutputPolicy::replace_atomically);
        ASSERT_TRUE(output);
        pending = output->pending_path();
        fs::remove(pending);
        test::write_file(pending, "not the run's");
    }
    EXPECT_EQ(test::read_file(pending), test::to_bytes("not the run's"));
    EXPECT_FALSE(fs::exists(dir / "out"));
}

}  // namespace
}  // namespace quorvel
