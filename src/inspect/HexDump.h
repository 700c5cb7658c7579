#pragma once

#include <string>
#include <string_view>

namespace quillet {

// The two views of a payload shown in the bottom pane.
struct HexDumpText {
    // Text1: one line per N bytes, each " XX XX ... | text" and CR LF; the
    // last, shorter line is padded so its bar stands in the same column.
    std::string dump;
    // txtData: the whole payload as one run, bytes below 32 shown as ".".
    std::string text;
};

// Bytes per dump line for a text box widthTwips wide:
// (W / 105 - 6) / 4 - 1 in single precision, nearest integer with halves to
// even. A box too narrow for one byte still gets one byte per line.
int BytesPerLine(float widthTwips);

// Formats the payload (one character per byte, values 0..255) with
// bytesPerLine bytes per line; a value below 1 counts as 1. Both texts are
// one character per byte as well (Latin-1).
HexDumpText HexDump(std::string_view payload, int bytesPerLine);

}  // namespace quillet
