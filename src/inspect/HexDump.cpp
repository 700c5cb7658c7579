#include "inspect/HexDump.h"

#include <algorithm>

#include "core/Twips.h"

namespace quillet {

int BytesPerLine(float widthTwips)
{
    // Each step in single precision, as the pane computes it.
    const float n = (widthTwips / 105.0f - 6.0f) / 4.0f - 1.0f;
    if (!(n >= 1.0f))  // also NaN
        return 1;
    if (n > 1.0e6f)
        return 1000000;
    const long rounded = RoundHalfEven(static_cast<double>(n));
    return rounded < 1 ? 1 : static_cast<int>(rounded);
}

HexDumpText HexDump(std::string_view payload, int bytesPerLine)
{
    static constexpr char kDigits[] = "0123456789ABCDEF";
    const std::size_t n = bytesPerLine < 1 ? 1 : static_cast<std::size_t>(bytesPerLine);
    const std::size_t lines = (payload.size() + n - 1) / n;

    HexDumpText out;
    out.text.reserve(payload.size());
    // A line: space, 3N hex, " | ", N text, CR LF.
    out.dump.reserve(lines * (4 * n + 6));

    std::size_t pos = 0;
    while (pos < payload.size()) {
        const std::size_t count = std::min(n, payload.size() - pos);
        out.dump.push_back(' ');
        for (std::size_t i = 0; i < count; ++i) {
            const auto byte = static_cast<unsigned char>(payload[pos + i]);
            out.dump.push_back(' ');
            out.dump.push_back(kDigits[byte >> 4]);
            out.dump.push_back(kDigits[byte & 0x0F]);
        }
        out.dump.append(3 * (n - count), ' ');
        out.dump.append(" | ");
        for (std::size_t i = 0; i < count; ++i) {
            const char c = payload[pos + i];
            const char shown = static_cast<unsigned char>(c) < 32 ? '.' : c;
            out.dump.push_back(shown);
            out.text.push_back(shown);
        }
        out.dump.append("\r\n");
        pos += count;
    }
    return out;
}

}  // namespace quillet
