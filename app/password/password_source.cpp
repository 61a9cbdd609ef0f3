#include "app/password/password_source.h"

#include <cerrno>
#include <charconv>
#include <cstring>
#include <string>

#include "app/messages/messages.h"
#include "app/messages/warnings.h"
#include "app/process/command_line.h"
#include "cipher/secure_wipe.h"
#include "internal/password_input.h"

namespace quorvel {

bool PasswordBuffer::push_back(char byte) {
    if (size_ == CAPACITY) return false;
    bytes_[size_++] = byte;
    return true;
}

void PasswordBuffer::pop_back() {
    if (size_ == 0) return;
    bytes_[--size_] = 0;
}

bool PasswordBuffer::assign(std::string_view text) {
    wipe();
    if (text.size() > CAPACITY) return false;
    std::memcpy(bytes_.data(), text.data(), text.size());
    size_ = text.size();
    return true;
}

void PasswordBuffer::wipe() {
    secure_wipe(std::as_writable_bytes(std::span(bytes_)));
    size_ = 0;
}

LineResult read_password_line(const std::function<int()>& next_byte, PasswordBuffer& password) {
    password.wipe();
    for (;;) {
        const int byte = next_byte();
        if (byte == READ_ERROR) return LineResult::unreadable;
        if (byte == END_OF_INPUT) break;
        if (byte == '\n') {
            if (password.view().ends_with('\r')) password.pop_back();
            break;
        }
        // A full buffer already holds more than a password, even if a CR LF follows.
        if (!password.push_back(static_cast<char>(byte))) return LineResult::too_long;
    }
    return password_length_allowed(password.view().size()) ? LineResult::ok : LineResult::too_long;
}

LineResult read_password_line(int fd, PasswordBuffer& password) {
    return read_password_line(
        [fd] {
            unsigned char byte = 0;
            const long got = read_descriptor(fd, reinterpret_cast<char*>(&byte), 1);
            if (got < 0) return READ_ERROR;
            return got == 0 ? END_OF_INPUT : static_cast<int>(byte);
        },
        password);
}

std::string_view question_text(Question question) {
    switch (question) {
        case Question::password:
            break;
        case Question::password_after_empty:
            return "An empty password is refused; type one.\nPassword: ";
        case Question::password_after_mismatch:
            return "The passwords typed differ; type them again.\nPassword: ";
        case Question::repeat:
            return "Repeat the password: ";
    }
    return "Password: ";
}

LineResult ask_questions(const AskQuestion& ask, PasswordBuffer& password, PasswordBuffer* repeat) {
    for (int attempt = 1;; ++attempt) {
        LineResult result =
            ask(attempt == 1 ? Question::password : Question::password_after_mismatch, password);
        while (result == LineResult::ok && password.view().empty()) {
            result = ask(Question::password_after_empty, password);
        }
        if (result != LineResult::ok || repeat == nullptr) return result;
        result = ask(Question::repeat, *repeat);
        if (result != LineResult::ok || password.view() == repeat->view()) return result;
        if (attempt == PROMPT_ATTEMPTS) return LineResult::answers_differ;
    }
}

namespace {

// Why the source named by QUORVEL_PASSWORD_FROM gave no password, with the system's error.
struct SourceFailure {
    PasswordTrouble trouble = PasswordTrouble::unreadable;
    int error = 0;
};

LineResult failed(SourceFailure& failure, PasswordTrouble trouble, int error = 0) {
    failure = {trouble, error};
    return LineResult::unreadable;
}

LineResult read_from_environment(std::string_view name, PasswordBuffer& password,
                                 SourceFailure& failure) {
    const char* value = environment_value(name);
    if (value == nullptr) return failed(failure, PasswordTrouble::variable_unset);
    const std::string_view text(value);
    std::size_t at = 0;
    return read_password_line(
        [&] { return at < text.size() ? static_cast<unsigned char>(text[at++]) : END_OF_INPUT; },
        password);
}

// Reads a line from the open descriptor `fd`, saying why when a read fails.
LineResult read_line_from(int fd, PasswordBuffer& password, SourceFailure& failure) {
    errno = 0;
    const LineResult result = read_password_line(fd, password);
    if (result == LineResult::unreadable)
        return failed(failure, PasswordTrouble::unreadable, errno);
    return result;
}

LineResult read_from_file(std::string_view path, PasswordBuffer& password, SourceFailure& failure) {
    if (path.empty()) return failed(failure, PasswordTrouble::file_unopened, ENOENT);
    // Named as the command line's file names are: on Windows by its Unicode name.
    const int fd = open_password_file(argument_path(path));
    if (fd < 0) return failed(failure, PasswordTrouble::file_unopened, errno);
    if (const auto mode = readable_by_others(fd)) warn::password_file_open_to_others(path, *mode);
    const LineResult result = read_line_from(fd, password, failure);
    close_descriptor(fd);
    return result;
}

LineResult read_from_descriptor(std::string_view number, PasswordBuffer& password,
                                SourceFailure& failure) {
    int fd = -1;
    const auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), fd);
    if (number.empty() || error != std::errc() || end != number.data() + number.size() || fd < 0) {
        return failed(failure, PasswordTrouble::bad_descriptor);
    }
    return read_line_from(fd, password, failure);
}

LineResult read_from_terminal(CipherMode mode, PasswordBuffer& password, SourceFailure& failure) {
    PasswordBuffer repeat;
    const LineResult result =
        ask_on_terminal(password, mode == CipherMode::decrypt ? nullptr : &repeat);
    if (result == LineResult::no_terminal) return failed(failure, PasswordTrouble::no_terminal);
    return result;
}

LineResult read_from_named_source(std::string_view source, CipherMode mode,
                                  PasswordBuffer& password, SourceFailure& failure) {
    constexpr std::string_view ENV = "env:", FILE = "file:", FD = "fd:";
    if (source.starts_with(ENV)) {
        return read_from_environment(source.substr(ENV.size()), password, failure);
    }
    if (source.starts_with(FILE)) {
        return read_from_file(source.substr(FILE.size()), password, failure);
    }
    if (source.starts_with(FD)) {
        return read_from_descriptor(source.substr(FD.size()), password, failure);
    }
    if (source == "tty") return read_from_terminal(mode, password, failure);
    return failed(failure, PasswordTrouble::unknown_form);
}

// Reads the password from `source`, a value of QUORVEL_PASSWORD_FROM. A source that gives
// nothing (an empty file or variable, an empty first line or one holding only a CR, a
// descriptor at its end, an empty answer) counts as unreadable: a command that printed nothing into
// `3< <(...)` must not become an empty password. Only a typed argument "" is an empty password.
LineResult read_from_source(std::string_view source, CipherMode mode, PasswordBuffer& password,
                            SourceFailure& failure) {
    const LineResult result = read_from_named_source(source, mode, password, failure);
    // A lone CR is an empty line too: the line end of an editor that ends lines with CR, or a
    // CR LF cut short.
    if (result == LineResult::ok && (password.view().empty() || password.view() == "\r")) {
        return failed(failure, PasswordTrouble::empty);
    }
    return result;
}

}  // namespace

Step check_password_argument(std::string_view argument) {
    if (password_length_allowed(argument.size())) return Done{};
    return say::password_too_long();
}

Step resolve_password(std::string_view argument, CipherMode mode, PasswordBuffer& password) {
    const auto source = password_source_setting();
    if (argument != PASSWORD_FROM_SOURCE || !source) {
        const Step checked = check_password_argument(argument);
        if (!checked.failed() && password.assign(argument)) return Done{};
        password.wipe();
        return checked;
    }
    SourceFailure failure;
    const LineResult result = read_from_source(*source, mode, password, failure);
    if (result == LineResult::ok) return Done{};
    password.wipe();
    switch (result) {
        case LineResult::too_long:
            return say::password_too_long();
        case LineResult::answers_differ:
            return say::passwords_differ();
        default:
            return say::password_unreadable(*source, failure.trouble, failure.error);
    }
}

void hide_password_argument(int argc, char** argv) {
    constexpr int PASSWORD_INDEX = 3;  // after the program name, the input and the output
    if (argc <= PASSWORD_INDEX || argv[PASSWORD_INDEX] == nullptr) return;
    char* password = argv[PASSWORD_INDEX];
    std::memset(password, 'x', std::strlen(password));
}

}  // namespace quorvel
