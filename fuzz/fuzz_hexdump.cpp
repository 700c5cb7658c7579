// Feeds arbitrary bytes to the payload pane's texts: the first four bytes
// are a pane width for BytesPerLine, the fifth a bytes-per-line value (also
// zero and negative), the rest the payload. Any crash, overflow, undefined
// behaviour or broken invariant is a finding.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "inspect/HexDump.h"
#include "FuzzCheck.h"

using quillet::fuzz::Check;

namespace {

char Shown(char c)
{
    return static_cast<unsigned char>(c) < 32 ? '.' : c;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 5)
        return 0;
    float width = 0;
    std::memcpy(&width, data, sizeof width);
    const int perLine = quillet::BytesPerLine(width);
    Check(perLine >= 1 && perLine <= 1000000);

    const int asked = static_cast<std::int8_t>(data[4]);
    const std::string_view payload(reinterpret_cast<const char*>(data) + 5, size - 5);
    const quillet::HexDumpText out = quillet::HexDump(payload, asked);

    // txtData: one character per byte.
    Check(out.text.size() == payload.size());
    for (std::size_t i = 0; i < payload.size(); ++i)
        Check(out.text[i] == Shown(payload[i]));

    // Text1: full-width lines ending in CR LF, the bar in one column, the
    // hex and the text of each line those of its bytes.
    static constexpr char kDigits[] = "0123456789ABCDEF";
    const std::size_t n = asked < 1 ? 1 : static_cast<std::size_t>(asked);
    std::size_t pos = 0;
    std::size_t at = 0;
    while (pos < payload.size()) {
        const std::size_t count = std::min(n, payload.size() - pos);
        const std::size_t bar = 1 + 3 * n;
        const std::size_t length = bar + 3 + count + 2;
        Check(at + length <= out.dump.size());
        const std::string_view line(out.dump.data() + at, length);
        Check(line.substr(bar, 3) == " | ");
        Check(line.substr(length - 2) == "\r\n");
        for (std::size_t i = 0; i < count; ++i) {
            const auto byte = static_cast<unsigned char>(payload[pos + i]);
            Check(line[1 + 3 * i] == ' ');
            Check(line[2 + 3 * i] == kDigits[byte >> 4] && line[3 + 3 * i] == kDigits[byte & 0x0F]);
            Check(line[bar + 3 + i] == Shown(payload[pos + i]));
        }
        for (std::size_t i = 1 + 3 * count; i < bar; ++i)
            Check(line[i] == ' ');
        pos += count;
        at += length;
    }
    Check(at == out.dump.size());
    return 0;
}
