#include "app/messages/help.h"

#include <string>

#include "app/messages/version.h"
#include "console/console.h"

namespace quorvel::say {

namespace {

#ifdef _WIN32
constexpr std::string_view PROGRAM = "quorvel.exe";
constexpr std::string_view MANUAL = "quorvel-manual.txt, beside quorvel.exe in the release archive";
#else
constexpr std::string_view PROGRAM = "quorvel";
constexpr std::string_view MANUAL = "man quorvel";
#endif

}  // namespace

void help() {
    const std::string program(PROGRAM);
    print_text("Usage: " + program + " in_fname out_fname password [key_file_name]\n");
    print_text("       " + program + " --help | -h | --version\n");
    print_text(
        "\n"
        "Encrypts a file or a folder (packed with 7-Zip first) with a password, and a key file\n"
        "when one is named; a file that begins with %quorvel% is decrypted instead, into the\n"
        "current folder (out_fname is then not used). A missing key file is created when\n"
        "encrypting: keep it, the output cannot be decrypted without it. With a key file, the\n"
        "key file is the key and only the password's length counts (it sets the number of\n"
        "rounds): its characters are not used, any password as long opens the file.\n"
        "\n"
        "The cipher has not been reviewed: equal files give equal outputs, and one known file\n"
        "can expose every file made with the same password or key file.\n"
        "\n"
        "Environment:\n"
        "  QUORVEL_PASSWORD_FROM    with the password '-': tty, file:PATH, fd:N or env:NAME\n"
        "  QUORVEL_MODE             encrypt or decrypt, instead of looking at the input; test\n"
        "                           or list: decrypt into the temporary folder only, and have\n"
        "                           7-Zip test or list the archive (out_fname is not used)\n"
        "  QUORVEL_PACK_SWITCHES    extra 7-Zip switches for packing (\"-bso0 -bsp0\": quiet)\n"
        "  QUORVEL_UNPACK_SWITCHES  extra 7-Zip switches for extraction (-aos, -oDIR)\n"
        "\n"
        "Exit status: 0 done; 1 any failure (\"Decrypt WRONG!\" included); 2 too few\n"
        "arguments.\n");
    print_text("Manual: " + std::string(MANUAL) + "\n");
}

void version() {
    print_text("quorvel " + std::string(PROGRAM_VERSION) + "\n");
}

}  // namespace quorvel::say
