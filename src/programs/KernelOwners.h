#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "programs/ProgramOwners.h"

namespace quillet {

// Owners the kernel told after the packets they name were asked about: the
// endpoint's owner is text for its packets from fromSeq up to untilSeq (0:
// on), and what held from untilSeq on stays.
struct OwnerAmend {
    std::uint64_t key = 0;
    std::int64_t fromSeq = 0;
    std::int64_t untilSeq = 0;
    std::string text;
};

// The owners of local endpoints as the kernel told them during a capture:
// per endpoint (SocketEndpoint key) which process held it from when on, so
// a packet's owner is the one at the packet's own time, also when the
// process has long ended. An endpoint bound to every address of the machine
// is kept under its address of zeros and answers for each address it has
// no entry of its own for.
//
// Some owners are told only after their packets were asked about (a
// connected UDP socket's endpoint at its release): the requests the kernel
// could not answer are kept a while, and Amends() names them once an owner
// told later covers them.
class KernelOwners {
public:
    // Endpoints beyond this many are not kept (the look-ups answer for them).
    static constexpr std::size_t kMaxEndpoints = 1u << 18;
    // Changes kept per endpoint; older ones go first.
    static constexpr std::size_t kMaxChanges = 64;

    // From fromUs on, text ("name (pid)") holds the endpoint; empty text:
    // no process does from then on.
    void Add(std::uint64_t key, std::int64_t fromUs, const std::string& text);
    // Who held the endpoint key (or else wildcardKey, the same endpoint on
    // every address) at atUs; nullptr when the kernel told of nobody then.
    const std::string* At(std::uint64_t key, std::uint64_t wildcardKey, std::int64_t atUs) const;
    std::size_t size() const { return endpoints_.size(); }
    void Clear();

    // A request the kernel could not answer when asked (wildcardKey as for At).
    void Asked(const OwnerRequest& r, std::uint64_t wildcardKey);
    // The requests kept that owners added since the last call now name, as
    // stretches per endpoint; those named are not kept any longer.
    std::vector<OwnerAmend> Amends();
    // Requests kept per port (the most recent).
    static constexpr std::size_t kMaxAskedPerPort = 32;

private:
    struct Change {
        std::int64_t fromUs;
        std::string text;
    };
    // The holder of one endpoint's history at a time: 0 when it does not
    // say, 1 when it says nobody, 2 when text.
    int Find(std::uint64_t key, std::int64_t atUs, const std::string*& text) const;

    struct Request {
        std::uint64_t key;
        std::uint64_t wildcardKey;
        std::int64_t fromSeq;
        std::int64_t fromUs;
    };
    // An endpoint's key without its address: an owner told for every
    // address names the requests of each.
    static std::uint64_t PortKey(std::uint64_t key) { return key & ~std::uint64_t{0xffffffff}; }

    std::unordered_map<std::uint64_t, std::vector<Change>> endpoints_;
    std::unordered_map<std::uint64_t, std::vector<Request>> asked_;  // by PortKey, in asking order
    std::vector<std::uint64_t> touched_;                             // PortKeys told an owner since Amends()
};

}  // namespace quillet
