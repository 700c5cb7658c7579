#include "programs/KernelOwners.h"

#include <algorithm>

namespace quillet {

void KernelOwners::Add(std::uint64_t key, std::int64_t fromUs, const std::string& text)
{
    auto it = endpoints_.find(key);
    if (it == endpoints_.end()) {
        if (text.empty() || endpoints_.size() >= kMaxEndpoints)
            return;  // nobody after nobody known says nothing
        it = endpoints_.emplace(key, std::vector<Change>{}).first;
    }
    if (!text.empty() && asked_.count(PortKey(key)) != 0)
        touched_.push_back(PortKey(key));
    std::vector<Change>& history = it->second;
    // Mostly told in time order; a late one goes to its place.
    const auto at = std::upper_bound(history.begin(), history.end(), fromUs,
                                     [](std::int64_t t, const Change& c) { return t < c.fromUs; });
    if (at != history.begin() && at[-1].fromUs == fromUs)
        at[-1].text = text;
    else
        history.insert(at, {fromUs, text});
    if (history.size() > kMaxChanges)
        history.erase(history.begin());
}

int KernelOwners::Find(std::uint64_t key, std::int64_t atUs, const std::string*& text) const
{
    const auto it = endpoints_.find(key);
    if (it == endpoints_.end())
        return 0;
    const std::vector<Change>& history = it->second;
    const auto after = std::upper_bound(history.begin(), history.end(), atUs,
                                        [](std::int64_t t, const Change& c) { return t < c.fromUs; });
    if (after == history.begin())
        return 0;
    if (after[-1].text.empty())
        return 1;
    text = &after[-1].text;
    return 2;
}

const std::string* KernelOwners::At(std::uint64_t key, std::uint64_t wildcardKey, std::int64_t atUs) const
{
    const std::string* text = nullptr;
    const int own = Find(key, atUs, text);
    if (own == 2)
        return text;
    if (own == 0 && wildcardKey != key && Find(wildcardKey, atUs, text) == 2)
        return text;
    return nullptr;
}

void KernelOwners::Clear()
{
    endpoints_.clear();
    asked_.clear();
    touched_.clear();
}

void KernelOwners::Asked(const OwnerRequest& r, std::uint64_t wildcardKey)
{
    if (r.fromUs == 0)
        return;  // no time to find an owner at
    auto it = asked_.find(PortKey(r.key));
    if (it == asked_.end()) {
        if (asked_.size() >= kMaxEndpoints)
            return;
        it = asked_.emplace(PortKey(r.key), std::vector<Request>{}).first;
    }
    std::vector<Request>& requests = it->second;
    if (requests.size() >= kMaxAskedPerPort)
        requests.erase(requests.begin());
    requests.push_back({r.key, wildcardKey, r.fromSeq, r.fromUs});
}

std::vector<OwnerAmend> KernelOwners::Amends()
{
    std::vector<OwnerAmend> amends;
    std::sort(touched_.begin(), touched_.end());
    touched_.erase(std::unique(touched_.begin(), touched_.end()), touched_.end());
    for (const std::uint64_t port : touched_) {
        const auto it = asked_.find(port);
        if (it == asked_.end())
            continue;
        std::vector<Request>& requests = it->second;
        std::vector<bool> named(requests.size(), false);
        // Per endpoint, in asking order: each run of requests one owner now
        // names is one stretch, up to the endpoint's next request.
        for (std::size_t i = 0; i < requests.size(); ++i) {
            if (named[i])
                continue;
            const std::string* text = At(requests[i].key, requests[i].wildcardKey, requests[i].fromUs);
            if (!text)
                continue;
            named[i] = true;
            OwnerAmend amend{requests[i].key, requests[i].fromSeq, 0, *text};
            for (std::size_t j = i + 1; j < requests.size(); ++j) {
                if (requests[j].key != amend.key)
                    continue;
                const std::string* next = At(requests[j].key, requests[j].wildcardKey, requests[j].fromUs);
                if (!next || *next != amend.text) {
                    amend.untilSeq = requests[j].fromSeq;
                    break;
                }
                named[j] = true;
            }
            amends.push_back(std::move(amend));
        }
        std::size_t kept = 0;
        for (std::size_t i = 0; i < requests.size(); ++i)
            if (!named[i])
                requests[kept++] = requests[i];
        requests.resize(kept);
        if (requests.empty())
            asked_.erase(it);
    }
    touched_.clear();
    return amends;
}

}  // namespace quillet
