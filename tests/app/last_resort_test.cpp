// An exception that escapes a run: the registered temporary files go, the user is told, and
// the status is a failure.
#include "app/run/last_resort.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <new>
#include <stdexcept>
#include <string>

#include "app/signals/interrupt_cleanup.h"
#include "support/test_support.h"

namespace {

// Set by a run that has used up the memory: every allocation from then on fails, so a last
// resort that allocated on its way to the message would throw out of its own handler.
bool allocations_fail = false;

// Lets allocations succeed again when it goes, even when the run throws past it.
struct AllocationsRestored {
    ~AllocationsRestored() { allocations_fail = false; }
};

}  // namespace

void* operator new(std::size_t size) {
    if (!allocations_fail) {
        if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
    }
    throw std::bad_alloc();
}

void operator delete(void* memory) noexcept {
    std::free(memory);
}

void operator delete(void* memory, std::size_t /*size*/) noexcept {
    std::free(memory);
}

namespace quorvel {
namespace {

TEST(LastResort, EscapingExceptionRemovesTemporaryFilesAndFails) {
    const struct {
        const char* label;
        std::function<RunOutcome()> run;
        std::string message;
    } cases[] = {
        {"std::exception", []() -> RunOutcome { throw std::runtime_error("disk on fire"); },
         "Error! Unexpected failure: disk on fire.\n"},
        {"no allocation left", []() -> RunOutcome { throw std::bad_alloc(); },
         "Error! Unexpected failure: std::bad_alloc.\n"},
        {"none to be had any more",
         []() -> RunOutcome {
             allocations_fail = true;
             throw std::bad_alloc();
         },
         "Error! Unexpected failure: std::bad_alloc.\n"},
        {"anything else", []() -> RunOutcome { throw 42; },
         "Error! Unexpected failure: unknown exception.\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        test::ScratchDir dir;
        const auto temporary = dir / "quorvelxxxfilo.7z";
        const auto kept = dir / "kept.txt";
        test::write_file(temporary, "plaintext");
        test::write_file(kept, "the user's");
        ASSERT_GE(remove_on_interrupt(temporary, files::identity_at(temporary)), 0);
        // A packing folder with the archive in it, which goes with its files.
        const auto folder = files::create_private_folder_beside(dir / "archive", ".pack-");
        ASSERT_TRUE(folder);
        test::write_file(folder->path / "quorvelxxxfilo.7z", "plaintext");
        ASSERT_GE(remove_on_interrupt(folder->path, folder->identity), 0);
        testing::internal::CaptureStdout();
        const int status = [&] {
            const AllocationsRestored restored;
            return exit_status(run_with_last_resort(c.run));
        }();
        std::fflush(stdout);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.message);
        EXPECT_EQ(status, 1);
        EXPECT_FALSE(std::filesystem::exists(temporary));
        EXPECT_FALSE(std::filesystem::exists(folder->path));
        EXPECT_TRUE(std::filesystem::exists(kept));
    }
}

}  // namespace
}  // namespace quorvel
