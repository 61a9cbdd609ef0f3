// The arguments as the run sequence reads them, and the file names they stand for.
//
// On POSIX an argument is the bytes of argv, and a file name is those bytes.
// On Windows the file names come from the wide (UTF-16) command line, so that any name the file
// system allows reaches the program intact; they are kept as WTF-8 text (see console/wtf8.h),
// which is also what messages show. The password, the third argument, keeps the bytes that a
// plain main(argc, argv) receives there: the wide text in the active code page. Those are the
// bytes the key schedule has always been given, so files stay compatible across builds.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/messages/outcome.h"

namespace quorvel {

// The arguments after the program name, from main's `argc` and `argv`. Fails, after printing
// why, when the Windows wide command line splits into a different number of arguments
// than the code-page one (a character that the code page maps to a double quote, for one):
// there is then no telling which name goes with which password.
OrReported<std::vector<std::string>> program_arguments(int argc, char** argv);

// The file system path that `argument`, one of program_arguments() or a name in the same form
// (QUORVEL_PASSWORD_FROM's file:PATH), names.
std::filesystem::path argument_path(std::string_view argument);

// The argument that names `path` for a program this one starts (process.h: run_process): the
// inverse of argument_path, the path's bytes on POSIX, its WTF-8 form on Windows.
std::string path_argument(const std::filesystem::path& path);

}  // namespace quorvel
