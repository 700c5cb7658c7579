// Feeds arbitrary bytes to the datagram decoder; any crash, overflow or
// undefined behaviour is a finding.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "decode/DecodeDatagram.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    auto d = quillet::DecodeDatagram({data, size});
    if (d) {
        // A record never claims more payload than was given.
        if (d->size < 0 || static_cast<std::size_t>(d->size) != d->data.size() || d->data.size() > size)
            std::abort();
    }
    return 0;
}
