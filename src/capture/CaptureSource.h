#pragma once

#include <functional>
#include <memory>
#include <string>

#include "capture/mdlwinsock.h"

namespace quillet {

// What the main window reads a capture through: an open capture handle, or in
// tests a source of prepared datagrams with a descriptor of its own.
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
};

// Opens a capture on the interface with that address, IPv6 datagrams
// included when ipv6 is true; nullptr after telling the sink why not.
using CaptureOpener = std::function<std::unique_ptr<CaptureSource>(const std::string& address, int port,
                                                                   MessageSink& sink, bool ipv6)>;

// The real one: OpenCaptureSocket.
std::unique_ptr<CaptureSource> OpenLiveCapture(const std::string& address, int port, MessageSink& sink,
                                               bool ipv6 = false);

}  // namespace quillet
