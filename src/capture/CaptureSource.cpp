#include "capture/CaptureSource.h"

namespace quillet {

namespace {

class LiveCapture : public CaptureSource {
public:
    explicit LiveCapture(CaptureHandle handle) : handle_(std::move(handle)) {}

    int selectableFd() const override { return handle_.selectableFd(); }
    int Read(int maxDatagrams, const DatagramCallback& fn) override { return handle_.Read(maxDatagrams, fn); }
    int Drain(const DatagramCallback& fn) override { return handle_.Drain(fn); }
    CaptureHandle::Stats stats() const override { return handle_.stats(); }
    void Close() override { handle_.Close(); }
    std::string LastError() const override { return handle_.lastError(); }
    std::string InterfaceName() const override { return handle_.interfaceName(); }
    LinkState Link() const override { return handle_.linkState(); }

private:
    CaptureHandle handle_;
};

}  // namespace

std::unique_ptr<CaptureSource> OpenLiveCapture(const std::string& address, int port, MessageSink& sink, bool ipv6)
{
    CaptureHandle handle = OpenCaptureSocket(address, port, sink, ipv6);
    if (!handle.valid())
        return nullptr;
    return std::make_unique<LiveCapture>(std::move(handle));
}

}  // namespace quillet
