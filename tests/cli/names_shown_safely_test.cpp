// Names are shown safely: a control character in a name is shown escaped in the program's
// messages, so that no name can steer the terminal or forge a line of the program's own, and a
// name of any length is shown whole (no fixed-size message buffers).
#include <gtest/gtest.h>

#include "cli/file_safety.h"

namespace quorvel::test {
namespace {

class NamesShownSafelyTest : public FileSafetyTest {};

TEST_F(NamesShownSafelyTest, NamesInMessagesAreEscapedAndWhole) {
    const std::string long_name = "missing/" + std::string(600, 'n');
    expect_refused({
        {"input named with line breaks and an escape",
         {"nosuch\nCript complite\r\x1b[2Jx", "out.qv", "pw"},
         missing_input("nosuch\\nCript complite\\r\\x1b[2Jx")},
        {"input named with 608 characters", {long_name, "out.qv", "pw"}, missing_input(long_name)},
    });
}

}  // namespace
}  // namespace quorvel::test
