#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/CapturedDatagram.h"
#include "core/IPv4Text.h"

namespace quillet {

// Marks a text of the program for the translation tools (the window shows it
// in the language chosen); the same definition as the toolkit's.
#ifndef QT_TRANSLATE_NOOP
#define QT_TRANSLATE_NOOP(scope, x) x
#endif

// Why a capture cannot be opened: one of the program's texts (marked with
// QT_TRANSLATE_NOOP("CaptureReason", ...)), whose %1, %2, ... the words in
// args fill (names, numbers, the system's own words).
struct Reason {
    std::string text;
    std::vector<std::string> args;
};

// The reason's text with its places filled.
std::string FilledReason(const Reason& why);

// A failure and its reason in one line of text, for passing it between
// programs; and back (false for a text that is not one).
std::string EncodedReason(const Reason& why);
bool DecodeReason(const std::string& encoded, Reason& why);

// How the capture engine tells the user about a failure. The main window shows
// each message in a message box; tests collect them.
class MessageSink {
public:
    virtual ~MessageSink() = default;
    virtual void ShowMessage(const std::string& text) = 0;
    // A failure: first the system's own word ("INVALID_SOCKET", "bind err",
    // ...), then why. The window shows the reason in its language; by
    // default it is filled in as it stands.
    virtual void ShowFailure(const std::string& first, const Reason& why)
    {
        ShowMessage(first + "\n" + FilledReason(why));
    }
};

// Registration with the network stack. On this platform nothing needs
// registering; the flag keeps the same rules all the same.
void WinsockStart();
void WinsockStop();
bool WinsockStarted();

// One datagram as read from the capture, live: the IP datagram, header
// included, link-layer header stripped (its bytes viewed where the capture
// holds them, valid during the call), the capture timestamp in microseconds
// since the epoch, the datagram's original length (more than its size when
// only the first part of a longer frame was captured; see OriginalLengthOf)
// and its direction when the frame tells it (DirectionOf).
using DatagramCallback = std::function<void(const CapturedDatagram& datagram)>;

// One captured frame as the interface delivered it, link-layer header
// included, with its length on the wire and its capture timestamp.
using FrameCallback = std::function<void(std::span<const std::uint8_t> frame, std::uint32_t wireLength,
                                         std::int64_t timestampUs)>;

// Whether the interface a capture was opened on can still deliver: up, down
// (administratively or without carrier; a capture waits for it), or gone
// (deleted: nothing will ever arrive again).
enum class LinkState { Up, Down, Gone };

// What the system says of the interface with that index (two small calls;
// not per packet). Needs no right.
LinkState InterfaceLinkState(unsigned ifIndex);

// True when a read error's text says the interface no longer exists, in the
// capture library's words or the system's (ENODEV, ENXIO).
bool SaysInterfaceGone(const std::string& errorText);

// An open capture on one interface. Move-only; closing (or destruction) leaves
// no descriptor open.
class CaptureHandle {
public:
    CaptureHandle() = default;
    CaptureHandle(CaptureHandle&&) noexcept;
    CaptureHandle& operator=(CaptureHandle&&) noexcept;
    CaptureHandle(const CaptureHandle&) = delete;
    CaptureHandle& operator=(const CaptureHandle&) = delete;
    ~CaptureHandle();

    bool valid() const;
    // The descriptor to watch for readiness, or -1.
    int selectableFd() const;

    // Reads what is ready now, at most maxDatagrams, without blocking.
    // Returns the number of datagrams handed to fn, or -1 on a read error.
    // fn must not close, move or read the handle; an exception it throws
    // ends the read and reaches the caller.
    int Read(int maxDatagrams, const DatagramCallback& fn);
    // The same for whole frames, IPv4 or not, link-layer header included
    // (of linkType()); counts and returns frames.
    int ReadFrames(int maxFrames, const FrameCallback& fn);

    // Hands over what was held for this capture when it was called, including
    // the part of the kernel ring not yet released to user space: at most
    // what the kernel had counted into the ring by then (never what arrives
    // while it runs), and for at most kDrainMs. Returns the number of
    // datagrams handed over.
    int Drain(const DatagramCallback& fn);
    int DrainFrames(const FrameCallback& fn);
    static constexpr int kDrainMs = 200;
    // The longest frame handed over: room for the largest IPv4 datagram
    // (65535 bytes) behind any link header this capture understands, VLAN
    // tags included.
    static constexpr int kSnapLength = 65535 + 64;

    // The libpcap data-link type of the frames, -1 when closed.
    int linkType() const;

    // The system's or the capture library's words for the last failed Read.
    std::string lastError() const;
    // The name of the interface the capture is on.
    std::string interfaceName() const;
    // Asks the system about the interface (two small calls; not per packet).
    LinkState linkState() const;

    struct Stats {
        std::uint64_t received = 0;  // seen by the kernel filter
        std::uint64_t dropped = 0;   // dropped for lack of buffer space
        std::uint64_t ifDropped = 0; // dropped by the interface
    };
    Stats stats() const;

    void Close();

    struct Impl;  // opaque: the capture library's state

private:
    explicit CaptureHandle(Impl* impl);
    int Read(int max, const DatagramCallback* fn, const FrameCallback* frames);
    int Drain(const DatagramCallback* fn, const FrameCallback* frames);
    Impl* impl_ = nullptr;
    friend CaptureHandle OpenCaptureInterface(const std::string&, int, MessageSink&, bool);
};

// Opens the capture on the interface that carries the given address (dotted
// text, IPv6 text or host name): promiscuous, IPv4 (untagged and
// VLAN-tagged), and IPv6 the same way when ipv6 is true,
// whole datagrams of up to 65535 bytes, non-blocking. On failure shows one
// message and returns an invalid handle. The message's first line is
//   "INVALID_SOCKET"  no such address, no interface carries it, no rights to
//                     capture, or no descriptor to watch;
//   "setsockopt err"  capture options or the IPv4 filter refused;
//   "bind err"        the interface cannot be captured on (down, gone, or a
//                     link type this program cannot read);
//   "WSAIoctl err"    promiscuous mode refused;
// its second line says why, in the system's words where it has them.
// The port changes nothing: a capture sees the whole interface.
CaptureHandle OpenCaptureSocket(const std::string& address, int port, MessageSink& sink, bool ipv6 = false);

// The name of the interface carrying the address (dotted text, IPv6 text or
// host name),
// or nothing after an "INVALID_SOCKET" message.
std::optional<std::string> CaptureInterfaceOf(const std::string& address, MessageSink& sink);

// The open itself, on a named interface with a kernel ring of that many
// bytes, IPv6 datagrams included when ipv6 is true; the same messages.
CaptureHandle OpenCaptureInterface(const std::string& interfaceName, int ringBytes, MessageSink& sink,
                                   bool ipv6 = false);

// The machine's memory in bytes, 0 when unknown.
long long PhysicalMemoryBytes();
// The file this program runs from; empty when the system does not say.
std::string ExecutablePath();

// The kernel ring size a capture asks for on a machine with that much memory
// (0: unknown): 128 MiB, at most 1/32 of the memory, at least 32 MiB.
int CaptureBufferBytes(long long physicalBytes);

// The address of a dotted-decimal text or of a host name, or kNoAddress.
IPv4 ResolveIPv4(const std::string& text);

// The IPv4 addresses of the machine's interfaces in the system's order,
// loopback included, at most 8. Returns 0, or an error code with list empty.
int ListLocalAddresses(std::vector<std::string>& list);

// The IPv6 addresses of the machine's interfaces as RFC 5952 texts, in the
// system's order: chooser gets those neither loopback nor link-local, own
// every one but ::1 (link-local included). Returns 0, or an error code
// with both empty.
int ListLocalIPv6Addresses(std::vector<std::string>& chooser, std::vector<std::string>& own);

// The dotted address of the named host (the last one it has), of the local
// host when name is empty; "Unknown" when it cannot be found; an empty text
// (after a message) when the local host name cannot be read.
std::string HostNameToAddress(const std::string& name, MessageSink& sink);

}  // namespace quillet
