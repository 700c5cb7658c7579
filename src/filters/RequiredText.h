#pragma once

#include <string>

#include <QString>

namespace quillet {

// What a case-insensitive expression asks of the text it searches, read
// from its pattern without running it: an ASCII text, in lower case, that
// every match holds in some case. The subject it is meant for is bytes read
// as Latin-1, where only ASCII letters fold to ASCII letters.
struct RequiredText {
    // Empty when nothing can be said for sure (an alternative at the top,
    // an option or an escape not understood here, no piece long enough).
    std::string text;
    // The pattern is text alone: a match is exactly text in some case.
    bool whole = false;
};

// The longest run of plain characters every match holds, kMinRequired
// characters or more; or the whole pattern when it is plain text.
inline constexpr std::size_t kMinRequired = 2;
RequiredText RequiredTextOf(const QString& pattern);

}  // namespace quillet
