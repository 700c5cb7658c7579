// The owners the kernel tells of during a capture, beside the look-ups.
#include <algorithm>
#include <cstring>
#include <unordered_map>

#include <QCoreApplication>

#include "core/IPv6Text.h"
#include "programs/SocketEndpoint.h"
#include "programs/SocketOwners.h"
#include "session/CaptureSession.h"

namespace quillet {

namespace {

// The endpoint's number in the program column's keys.
std::uint32_t AddressNumber(bool v6, const std::uint8_t* bytes)
{
    if (v6)
        return IPv6Table::Intern(bytes);
    std::uint32_t a;
    std::memcpy(&a, bytes, sizeof a);
    return a;
}

std::uint32_t AnyAddressNumber(bool v6)
{
    static const std::uint8_t zeros[16] = {};
    return AddressNumber(v6, zeros);
}

}  // namespace

void CaptureSession::TakeOwnerNotes()
{
    if (!source_)
        return;
    // A name the kernel could not give is read now, once per process of
    // the notes, however many sockets it made.
    std::unordered_map<int, std::string> read;
    const auto nameOf = [&read](int pid) -> const std::string& {
        auto [at, fresh] = read.try_emplace(pid);
        if (fresh)
            at->second = ProcessName(pid);
        return at->second;
    };
    for (const OwnerNote& n : source_->TakeOwnerNotes()) {
        const std::string name = n.pid > 0 && n.name.empty() ? nameOf(n.pid) : n.name;
        const std::string text = n.pid > 0 ? SocketOwner{n.pid, name}.Text() : std::string();
        const SocketEndpoint e{n.protocol, AddressNumber(n.v6, n.address.data()), n.port, n.v6};
        kernelOwners_.Add(e.Key(), n.fromUs, text);
        // A socket on every IPv6 address takes IPv4 datagrams too.
        static const std::array<std::uint8_t, 16> kAny{};
        if (n.v6 && n.address == kAny)
            kernelOwners_.Add(SocketEndpoint{n.protocol, 0, n.port, false}.Key(), n.fromUs, text);
    }
    AmendFromKernel();
    const OwnersTold now = source_->Owners();
    if (now != ownersTold_) {
        ownersTold_ = now;
        ShowCapturingState();
    }
}

std::vector<OwnerAnswer> CaptureSession::AnswerFromKernel(std::vector<OwnerRequest>& batch)
{
    std::vector<OwnerAnswer> told;
    if (kernelOwners_.size() == 0 && ownersTold_ != OwnersTold::Told)
        return told;
    std::size_t kept = 0;
    for (const OwnerRequest& r : batch) {
        SocketEndpoint any = SocketEndpoint::FromKey(r.key);
        any.addr = AnyAddressNumber(any.v6);
        const std::string* text = r.fromUs != 0 ? kernelOwners_.At(r.key, any.Key(), r.fromUs) : nullptr;
        if (text) {
            told.push_back({r.key, r.fromSeq, OwnerAnswer::Owner, *text});
        } else {
            kernelOwners_.Asked(r, any.Key());
            batch[kept++] = r;
        }
    }
    batch.resize(kept);
    return told;
}

void CaptureSession::AmendFromKernel()
{
    if (programLookup_.Busy())
        return;
    ProgramOwners& owners = views_.Programs();
    std::int64_t lowest = 0;
    for (const OwnerAmend& a : kernelOwners_.Amends())
        if (const std::int64_t from = owners.Amend(a.key, a.fromSeq, a.untilSeq, a.text); from != 0)
            lowest = lowest == 0 ? from : std::min(lowest, from);
    if (lowest != 0)
        views_.OwnersChanged(lowest);
}

}  // namespace quillet
