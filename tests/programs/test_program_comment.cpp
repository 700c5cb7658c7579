// The program a capture file's packet comment names, as the program column
// shows it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "programs/ProgramComment.h"

using namespace quillet;

TEST(ProgramComment, OnlyNamePidOfAtMost64CharactersNamesAProgramAndItIsEscaped)
{
    const std::string n64(64, 'n');
    const std::string han64 = [] {
        std::string s;
        for (int i = 0; i < 64; ++i)
            s += "\u7a0b";
        return s;
    }();
    struct Case {
        std::string comment;
        std::string program;  // empty: none
    };
    const std::vector<Case> cases = {
        {"program: curl (42)", "curl (42)"},
        {"program: (42)", "(42)"},  // a process without a name, as a live one is written
        {"program: \u202Egpj.exe (1337)", "\\u202egpj.exe (1337)"},
        {"program: a\x1b[2Jb (1)", "a\\x1b[2Jb (1)"},
        {"program: bell\a (2)", "bell\\x07 (2)"},
        {"program: two\r\nlines (3)", "two\\x0d\\x0alines (3)"},
        {"program: iso\u2066late\u2069 (4)", "iso\\u2066late\\u2069 (4)"},
        {"program: bad\xff utf8 (5)", "bad\\xff utf8 (5)"},
        {"program: c1\u0085 (6)", "c1\\u0085 (6)"},
        {"program: " + std::string("\\u202e") + "x (7)", "\\u202ex (7)"},  // escaped already: as it is
        {"program: my (prog) (8)", "my (prog) (8)"},
        {"program: " + n64 + " (9)", n64 + " (9)"},
        {"program: " + han64 + " (10)", han64 + " (10)"},  // characters, not bytes
        {"program: " + n64 + "n (11)", ""},
        {"program: " + std::string(65000, 'a') + " (12)", ""},
        {"program: " + std::string(40, 'a') + std::string(20, '\x1b') + " (13)", ""},  // 120 once escaped
        {"program: " + std::string(64, '\xe7') + " (14)", ""},  // 64 stray bytes are 256 once escaped
        {"program: curl (0042)", "curl (42)"},
        {"program: curl (4294967295)", "curl (4294967295)"},
        {"program: curl (4294967296)", ""},
        {"program: curl (12345678901)", ""},
        {"program: curl ()", ""},
        {"program: curl (-1)", ""},
        {"program: curl (4x)", ""},
        {"program: curl(42)", ""},
        {"program:  (42)", ""},
        {"program: curl (42) ", ""},
        {"program: curl (42)\n", ""},
        {"program: curl", ""},
        {"program: ", ""},
        {"Program: curl (42)", ""},
        {"curl (42)", ""},
        {"", ""},
    };
    for (const Case& c : cases) {
        const std::string got = ProgramOfComment(c.comment);
        EXPECT_EQ(got, c.program) << c.comment.substr(0, 80);
        // What is shown is saved as it is and reads back the same.
        if (!got.empty()) {
            EXPECT_EQ(CommentOfProgram(got), "program: " + got);
            EXPECT_EQ(ProgramOfComment(CommentOfProgram(got)), got);
        }
    }
    EXPECT_EQ(CommentOfProgram(""), "");
}
