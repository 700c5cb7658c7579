#pragma once

#include <string>
#include <string_view>

namespace quillet {

// A packet's program as a pcapng comment keeps it: "program: NAME (PID)".
inline constexpr std::string_view kProgramCommentPrefix = "program: ";
// Names longer than this many characters are no process name.
inline constexpr std::size_t kMaxProgramNameChars = 64;

// The program a comment names, as the program column shows a live owner: "NAME (PID)" with NAME
// escaped by ShownName (so control and reordering characters cannot act), or "(PID)" for an empty
// name. Empty when the comment is not exactly "program: NAME (PID)" with NAME of at most
// kMaxProgramNameChars characters (UTF-8 sequences; a byte that is none counts as one), as read
// and as escaped (so what is shown and saved reads back the same), and PID a decimal number of 1
// to 10 digits below 2^32.
std::string ProgramOfComment(std::string_view comment);

// The comment that keeps a program's text (as the column shows it) in a saved file; empty for none.
std::string CommentOfProgram(std::string_view program);

}  // namespace quillet
