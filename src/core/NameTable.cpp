#include "core/NameTable.h"

namespace quillet {

void NameTable::Release(NameIt name)
{
    if (--name->second == 0)
        names_.erase(name);
}

bool NameTable::Set(std::string_view address, std::string_view name)
{
    if (max_ == 0 || address.empty() || name.empty())
        return false;
    auto named = names_.find(name);
    if (named == names_.end())
        named = names_.emplace(std::string(name), 0).first;
    const auto it = byAddress_.find(address);
    if (it != byAddress_.end()) {
        order_.splice(order_.end(), order_, it->second.age);
        if (it->second.name == named)
            return false;
        ++named->second;
        Release(it->second.name);
        it->second.name = named;
        return true;
    }
    ++named->second;
    if (byAddress_.size() >= max_) {
        const auto oldest = byAddress_.find(order_.front());
        Release(oldest->second.name);
        byAddress_.erase(oldest);
        order_.pop_front();
    }
    order_.emplace_back(address);
    byAddress_.emplace(std::string(address), Entry{named, std::prev(order_.end())});
    return true;
}

const std::string* NameTable::Find(std::string_view address) const
{
    const auto it = byAddress_.find(address);
    return it == byAddress_.end() ? nullptr : &it->second.name->first;
}

std::vector<std::pair<std::string, std::string>> NameTable::All() const
{
    std::vector<std::pair<std::string, std::string>> all;
    all.reserve(byAddress_.size());
    for (const std::string& address : order_)
        all.emplace_back(address, *Find(address));
    return all;
}

}  // namespace quillet
