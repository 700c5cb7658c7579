#pragma once

#include <string>
#include <string_view>

#include <QString>

namespace quillet {

// How the stream window shows a conversation's bytes.
enum class StreamShow {
    Text,  // printable ASCII as it is, LF and CR LF as line breaks, the rest "."
    Hex,   // the hex pane's dump, 16 bytes a line
    Raw,   // UTF-8, control and reordering characters escaped, line breaks kept
};

// The bytes (one run of one side) as shown; lfFollows: the byte after them
// is an LF (a CR at their end then ends a line).
QString ShownStreamBytes(std::string_view bytes, StreamShow show, bool lfFollows = false);

// Writes bytes to path as a private file (0600): through a temporary file
// made in path's folder (O_EXCL, O_NOFOLLOW) that is then renamed over path.
// A path that is, or leads to, something other than a regular file is
// refused. false and error when it cannot be written.
bool SaveStreamBytes(const std::string& path, std::string_view bytes, std::string& error);

}  // namespace quillet
