#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

namespace quillet {

// The owners of local endpoints as the kernel told them during a capture:
// per endpoint (SocketEndpoint key) which process held it from when on, so
// a packet's owner is the one at the packet's own time, also when the
// process has long ended. An endpoint bound to every address of the machine
// is kept under its address of zeros and answers for each address it has
// no entry of its own for.
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
    void Clear() { endpoints_.clear(); }

private:
    struct Change {
        std::int64_t fromUs;
        std::string text;
    };
    // The holder of one endpoint's history at a time: 0 when it does not
    // say, 1 when it says nobody, 2 when text.
    int Find(std::uint64_t key, std::int64_t atUs, const std::string*& text) const;

    std::unordered_map<std::uint64_t, std::vector<Change>> endpoints_;
};

}  // namespace quillet
