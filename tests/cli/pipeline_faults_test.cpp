// Faults that strike the cipher stage of the built program while its reading and writing
// threads run (inputs of many chunks): a write refused part-way and a signal while the reader
// waits on a pipe both end the run as a fault at the start would, with the message, the
// status and no file left behind.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <thread>

#include "cli/cli_fixture.h"
#include "container/stream.h"

namespace quorvel::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Enough chunks for the reading, the rounds and the writing all to be busy.
constexpr std::size_t INPUT_SIZE = 12 * CHUNK_SIZE + 77;

class PipelineFaultTest : public CliTest {
protected:
    PipelineFaultTest() : linking_(stand_in_archiver("link-bin", LINKING_ARCHIVER)) {
        write_file(enc() / "plan.txt", random_bytes(INPUT_SIZE, 61));
    }

    // The names in `folder`, sorted.
    static std::vector<std::string> names_in(const fs::path& folder) {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(folder)) {
            names.push_back(entry.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    // Waits until a file whose name starts with `prefix` in `folder` holds `size` bytes.
    static bool wait_for_pending(const fs::path& folder, const std::string& prefix,
                                 std::uintmax_t size) {
        for (auto waited = 0ms; waited < 20s; waited += 1ms) {
            for (const auto& entry : fs::directory_iterator(folder)) {
                std::error_code error;
                if (entry.path().filename().string().rfind(prefix, 0) == 0 &&
                    fs::file_size(entry.path(), error) >= size && !error) {
                    return true;
                }
            }
            std::this_thread::sleep_for(1ms);
        }
        return false;
    }

    std::string linking_;
};

// A file-size limit a few chunks into the output: the writing thread's failure ends the
// stream, the file that was at the output stays, and no partial output or archive is left.
TEST_F(PipelineFaultTest, AWriteRefusedPartWayEndsTheRunAndLeavesNothing) {
    ASSERT_EQ(run({"plan.txt", "plan.qv", "pw"}, enc(), linking_).exit_code, 0);
    auto options = this->options(linking_);
    options.file_size_limit = 5 * CHUNK_SIZE + 1000;
    {
        write_file(enc() / "out.qv", "the previous encrypted file");
        const auto before = names_in(enc());
        const auto result = run_program({"plan.txt", "out.qv", "pw"}, enc(), options);
        EXPECT_EQ(result.output,
                  "Crypt run\n!\n7z.exe a quorvelxxxfilo.7z plan.txt\n!"
                  "Crypt process start!\nError! Can't write file 'out.qv'.\n");
        EXPECT_EQ(result.exit_code, 1);
        EXPECT_EQ(read_file(enc() / "out.qv"), to_bytes("the previous encrypted file"));
        EXPECT_EQ(names_in(enc()), before);
    }
    const auto result = run_program({(enc() / "plan.qv").string(), "x", "pw"}, dec(), options);
    EXPECT_EQ(result.output,
              "Decrypt process start!\nError! Can't write file 'quorvelxxxfilo.7z'.\n");
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_TRUE(fs::is_empty(dec()));
}

// Decrypting from a pipe that delivers a few chunks and then nothing: the thread that reads
// waits in a read, the other for it. A signal then still ends the run at once, as interrupted,
// and removes the partial archive.
TEST_F(PipelineFaultTest, ASignalWhileTheReaderWaitsOnAPipeRemovesThePartialArchive) {
    ASSERT_EQ(run({"plan.txt", "plan.qv", "pw"}, enc(), linking_).exit_code, 0);
    const Bytes encrypted = read_file(enc() / "plan.qv");
    const fs::path fifo = root() / "feed";
    for (const int signal_number : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(signal_number);
        ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
        // Held open for reading and writing here, so that neither end's open waits and the
        // program never sees the end of the input.
        const int feed = ::open(fifo.c_str(), O_RDWR);
        ASSERT_GE(feed, 0);
        RunningProgram program({fifo.string(), "x", "pw"}, dec(), options(linking_));
        const std::size_t fed = 6 * CHUNK_SIZE;
        std::size_t written = 0;
        while (written < fed) {
            const auto n = ::write(feed, encrypted.data() + written, fed - written);
            ASSERT_GT(n, 0);
            written += static_cast<std::size_t>(n);
        }
        ASSERT_TRUE(wait_for_pending(dec(), ".quorvel-new-", 2 * CHUNK_SIZE));
        program.send_signal(signal_number);
        const auto result = program.finish();
        EXPECT_EQ(result.term_signal, signal_number);
        EXPECT_TRUE(fs::is_empty(dec()));
        ::close(feed);
        fs::remove(fifo);
    }
}

}  // namespace
}  // namespace quorvel::test
