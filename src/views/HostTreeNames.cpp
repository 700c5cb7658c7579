#include "views/HostTreeNames.h"

#include <utility>

namespace quillet {

HostTreeNames::HostTreeNames(HostTreeModel& tree, std::unique_ptr<ReverseResolver> resolver, bool on)
    : tree_(tree), resolver_(std::move(resolver))
{
    resolver_->onName = [this](HostAddress address, const QString& name) {
        // Answers to look-ups made before the names were turned off.
        if (on_)
            tree_.SetHostName(address, name);
    };
    SetEnabled(on);
}

HostTreeNames::~HostTreeNames()
{
    tree_.onNewHosts = nullptr;
    resolver_->onName = nullptr;
}

void HostTreeNames::Listen()
{
    tree_.onNewHosts = [this](const std::vector<HostAddress>& hosts) {
        for (const HostAddress address : hosts)
            resolver_->Request(address);
    };
}

void HostTreeNames::SetEnabled(bool on)
{
    if (on == on_)
        return;
    on_ = on;
    if (!on) {
        tree_.onNewHosts = nullptr;
        resolver_->Cancel();
        tree_.ClearHostNames();
        return;
    }
    Listen();
    for (const HostAddress address : tree_.HostAddresses())
        resolver_->Request(address);
}

}  // namespace quillet
