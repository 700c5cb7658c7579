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

}  // namespace quillet
