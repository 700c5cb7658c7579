#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "capture/mdlwinsock.h"

namespace quillet {

// From fromUs (the frames' clock) on, the process pid holds the local
// endpoint (protocol 6 or 17; the address's 4 or 16 bytes, all zero for
// every address of the machine); pid 0 from then on none. The name is as
// the process gave it (at most 15 bytes, anything).
struct OwnerNote {
    std::int64_t fromUs = 0;
    int pid = 0;
    std::uint32_t uid = 0;
    std::uint8_t protocol = 0;
    bool v6 = false;
    std::uint16_t port = 0;
    std::array<std::uint8_t, 16> address{};
    std::string name;
};

// Whether the kernel tells the owners of sockets during this capture.
enum class OwnersTold { NotYet, Told, LookUpOnly };

// What the main window reads a capture through: the capture program's
// channel, or in tests a source of prepared datagrams with a descriptor of
// its own.
class CaptureSource {
public:
    virtual ~CaptureSource() = default;
    // The descriptor that becomes readable when datagrams wait.
    virtual int selectableFd() const = 0;
    // At most maxDatagrams of what is ready, without blocking; the number
    // handed to fn, or -1 on a read error.
    virtual int Read(int maxDatagrams, const DatagramCallback& fn) = 0;
    // What was still held when called, including what the kernel has not yet
    // released; bounded in time and count. An exception fn throws ends it
    // and reaches the caller.
    virtual int Drain(const DatagramCallback& fn) = 0;
    virtual CaptureHandle::Stats stats() const = 0;
    virtual void Close() = 0;
    // Why the last Read failed, in the system's words.
    virtual std::string LastError() const { return {}; }
    // The interface the capture is on, and whether it can still deliver.
    virtual std::string InterfaceName() const { return {}; }
    virtual LinkState Link() const { return LinkState::Up; }
    // Empty while the source can deliver; once what reads the capture for the
    // window has ended by itself, how it ended.
    virtual std::string EndedWhy() const { return {}; }
    // The owners the kernel told of since the last call, in the order told.
    virtual std::vector<OwnerNote> TakeOwnerNotes() { return {}; }
    virtual OwnersTold Owners() const { return OwnersTold::NotYet; }
    // Owner events the kernel had no room for.
    virtual std::uint64_t OwnerEventsLost() const { return 0; }
    // How long what reads the capture for the window has sent nothing, in
    // milliseconds, after taking what it sent meanwhile (no wait).
    virtual std::int64_t SilentMs() { return 0; }
    // After a Drain it did not answer: the datagrams the kernel still held by
    // its last counts, not read and so lost; nothing when it answered.
    virtual std::optional<std::uint64_t> LostAtStop() const { return std::nullopt; }
    // The kernel ring the capture holds outside this process and its memory
    // group, in bytes.
    virtual std::uint64_t KernelRingBytes() const { return 0; }
};

// Opens a capture on the interface with that address, IPv6 datagrams
// included when ipv6 is true; nullptr after telling the sink why not.
using CaptureOpener = std::function<std::unique_ptr<CaptureSource>(const std::string& address, int port,
                                                                   MessageSink& sink, bool ipv6)>;

// The real one: starts the capture program (quillet-capture, beside this
// program's executable) on the interface carrying the address, with no
// environment and no descriptor but its channel, and waits (at most 5 s) for
// it to open the capture, IPv6 datagrams included when ipv6 is true. Its
// failures are those of OpenCaptureSocket, made by the program; a program
// missing or not allowed to start says so, with the command that fixes it.
// Silent for channel::kSilentMs, it does not answer. Closing ends the
// program.
std::unique_ptr<CaptureSource> OpenLiveCapture(const std::string& address, int port, MessageSink& sink,
                                               bool ipv6 = false);

}  // namespace quillet
