#pragma once

#include <memory>

#include "core/ReverseResolver.h"
#include "views/HostTreeModel.h"

namespace quillet {

// Host names in the host tree: while on, every host node that appears is
// handed to the resolver and the names that come back are shown after the
// addresses. Off, nothing reaches the resolver (requests still waiting are
// dropped) and the nodes show their addresses alone; on again, the hosts in
// the tree are asked for once more (known answers come from the cache).
class HostTreeNames {
public:
    HostTreeNames(HostTreeModel& tree, std::unique_ptr<ReverseResolver> resolver, bool on);
    ~HostTreeNames();
    HostTreeNames(const HostTreeNames&) = delete;
    HostTreeNames& operator=(const HostTreeNames&) = delete;

    void SetEnabled(bool on);
    bool Enabled() const { return on_; }
    ReverseResolver& Resolver() const { return *resolver_; }

private:
    void Listen();

    HostTreeModel& tree_;
    std::unique_ptr<ReverseResolver> resolver_;
    bool on_ = false;
};

}  // namespace quillet
