// How a run and its steps end, as types that cannot be mistaken for one another. A failure
// the user has been told of is a `Reported`, which only the messages room makes: every say::
// function that tells of a failure returns one. So a step that fails either holds a Reported
// (the user was told) or has none to give and must say something first; "returns false after
// printing" and "returns false, the caller prints" cannot be mixed up. The exit status is made
// from a RunOutcome in one place, exit_status(), and no bool or int converts into either.
#pragma once

#include <optional>
#include <utility>
#include <variant>

namespace quorvel {

namespace say {
class Reporter;
}

// A failure that the user has been told of.
class [[nodiscard]] Reported {
private:
    friend class say::Reporter;
    Reported() = default;
};

// What a step that only succeeds or fails gives on success.
struct Done {};

// The value a step makes, or the failure that stopped it, already told to the user.
template <typename T>
class [[nodiscard]] OrReported {
public:
    OrReported(T value) : state_(std::move(value)) {}  // NOLINT: a value is a success
    OrReported(Reported failure) : state_(failure) {}  // NOLINT: a failure told is a failure

    bool failed() const { return std::holds_alternative<Reported>(state_); }
    // The failure; only when failed().
    Reported failure() const { return std::get<Reported>(state_); }

    // The value; only when not failed().
    T& operator*() { return std::get<T>(state_); }
    const T& operator*() const { return std::get<T>(state_); }
    T* operator->() { return &std::get<T>(state_); }
    const T* operator->() const { return &std::get<T>(state_); }

private:
    std::variant<T, Reported> state_;
};

// A step that makes nothing: Done, or the failure told.
using Step = OrReported<Done>;

// How a whole run ends.
class [[nodiscard]] RunOutcome {
public:
    // The run did what was asked.
    static RunOutcome done() { return RunOutcome(Ending::done); }
    // Too few arguments: the usage text was shown.
    static RunOutcome usage_shown(Reported) { return RunOutcome(Ending::usage); }
    // A question about the program (--help, --version) was answered; `written` is false when
    // the answer did not reach standard output, where nothing more can be said.
    static RunOutcome answered(bool written) {
        return RunOutcome(written ? Ending::done : Ending::failed);
    }

    RunOutcome(Reported) : ending_(Ending::failed) {}  // NOLINT: a failure told is a failure

    bool succeeded() const { return ending_ == Ending::done; }

private:
    friend int exit_status(RunOutcome outcome);
    enum class Ending { done, failed, usage };
    explicit RunOutcome(Ending ending) : ending_(ending) {}
    Ending ending_;
};

// The process exit status of a run that ended so: 0 done (a question answered included), 1
// any failure ("Decrypt WRONG!" included), 2 too few arguments.
[[nodiscard]] int exit_status(RunOutcome outcome);

}  // namespace quorvel
