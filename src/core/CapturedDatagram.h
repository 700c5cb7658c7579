#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace quillet {

// One datagram as a capture or a capture file delivers it to the packet log,
// with everything that travels with it. It refers to the caller's bytes and
// texts, which need to live only for the call it is passed to; nothing is
// copied or allocated to make one.
struct CapturedDatagram {
    // Which way the datagram went, when the capture told it (a capture file
    // or a socket that cannot tell leaves Unknown; the views then go by the
    // machine's own addresses).
    enum class Direction : std::uint8_t { Unknown, Sent, Received };

    // The whole IP datagram, header included, link-layer header stripped.
    std::span<const std::uint8_t> bytes;
    // The capture's timestamp, microseconds since the epoch.
    std::int64_t timestampUs = 0;
    // Its length before the capture cut it; 0 means bytes.size().
    std::uint32_t originalLength = 0;
    Direction direction = Direction::Unknown;
    // The program it belongs to when the capture knows it: the text "name
    // (pid)" as a capture file's comment gives it, or the pid alone (0: none).
    std::string_view program;
    int pid = 0;
    // Captured from the machine's sockets now: the program column may look up
    // the owners of its local endpoints. A capture file's datagrams belong
    // to no socket of now.
    bool live = false;
    // The datagram to be handed right after this one, when the capture has
    // it already (as bytes will be then): what it will need may be fetched
    // while this one is stored. Empty when not known.
    std::span<const std::uint8_t> next;

    std::uint32_t OriginalLength() const
    {
        return originalLength != 0 ? originalLength : static_cast<std::uint32_t>(bytes.size());
    }
};

}  // namespace quillet
