// The interrupt cleanup in a forked child of the test, with one registered file: a fault signal
// sent by another process ends the child by that signal with the file removed, as SIGTERM
// would; the same signal from the child's own fault ends it at once by that signal, the file
// left, as its memory (the list of files included) is not to be trusted then.
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <thread>

#include "app/signals/interrupt_cleanup.h"
#include "support/test_support.h"

namespace quorvel {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// A write to a page that may not be written: a memory fault the kernel reports (SIGSEGV).
void write_to_a_read_only_page() {
    void* page = ::mmap(nullptr, 4096, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (page == MAP_FAILED) ::_exit(126);
    *static_cast<volatile char*>(page) = 1;
}

// In the child: core files off, the cleanup installed, `file` made and registered, then a byte
// written to `ready`, then `act` done, or, without one, a wait for a signal. Exits 126 when a
// step fails and 0 when it survives.
[[noreturn]] void run_child(const fs::path& file, int ready, const std::function<void()>& act) {
    const rlimit no_core{0, 0};
    ::setrlimit(RLIMIT_CORE, &no_core);
    install_interrupt_cleanup();
    const auto identity = [&]() -> std::optional<files::Identity> {
        const InterruptsDeferred deferred;
        const auto fd = files::create_private(file);
        return fd.valid() ? files::identity_of(fd.get()) : std::nullopt;
    }();
    if (!identity || remove_on_interrupt(file, identity) < 0) ::_exit(126);
    if (::write(ready, "r", 1) != 1) ::_exit(126);
    if (act) act();
    for (int waited = 0; waited < 100; ++waited) ::usleep(100000);
    ::_exit(0);
}

// Waits up to five seconds for `child` to end, then kills it (SIGKILL). Returns its status.
int collect_within_five_seconds(pid_t child) {
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (::waitpid(child, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(child, SIGKILL);
            ::waitpid(child, &status, 0);
            break;
        }
        std::this_thread::sleep_for(10ms);
    }
    return status;
}

TEST(InterruptCleanup, AFaultSignalCleansUpOnlyWhenAnotherProcessSentIt) {
    const struct {
        const char* label;
        int signal_number;
        std::function<void()> act;  // the child's own doing; none: the test sends the signal
        bool file_removed;
    } cases[] = {
        {"SIGSEGV sent by another process", SIGSEGV, nullptr, true},
        {"SIGABRT sent by another process", SIGABRT, nullptr, true},
        {"SIGILL sent by another process", SIGILL, nullptr, true},
        {"a memory fault", SIGSEGV, write_to_a_read_only_page, false},
        {"abort()", SIGABRT, [] { std::abort(); }, false},
        {"SIGBUS sent to itself", SIGBUS, [] { ::kill(::getpid(), SIGBUS); }, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        test::ScratchDir dir;
        const auto file = dir / "plaintext";
        int ready[2];
        ASSERT_EQ(::pipe(ready), 0);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ::close(ready[0]);
            run_child(file, ready[1], c.act);
        }
        ::close(ready[1]);
        char byte = 0;
        const bool child_ready = ::read(ready[0], &byte, 1) == 1;
        ::close(ready[0]);
        if (child_ready && !c.act) ::kill(child, c.signal_number);
        const int status = collect_within_five_seconds(child);
        ASSERT_TRUE(child_ready);
        ASSERT_TRUE(WIFSIGNALED(status)) << "exit status " << WEXITSTATUS(status);
        EXPECT_EQ(WTERMSIG(status), c.signal_number);
        EXPECT_EQ(fs::exists(file), !c.file_removed);
    }
}

}  // namespace
}  // namespace quorvel
