#include "core/NameTable.h"

#include <atomic>

namespace quillet {

std::uint64_t NewNamesVersion()
{
    static std::atomic<std::uint64_t> last{0};
    return last.fetch_add(1, std::memory_order_relaxed) + 1;
}

NameTable::NameTable(NameTable&& other) noexcept
    : max_(other.max_), names_(std::move(other.names_)), byAddress_(std::move(other.byAddress_)),
      order_(std::move(other.order_)), version_(other.version_)
{
    other.Emptied();
}

NameTable& NameTable::operator=(NameTable&& other) noexcept
{
    if (this != &other) {
        max_ = other.max_;
        names_ = std::move(other.names_);
        byAddress_ = std::move(other.byAddress_);
        order_ = std::move(other.order_);
        version_ = other.version_;
        other.Emptied();
    }
    return *this;
}

void NameTable::Emptied() noexcept
{
    names_.clear();
    byAddress_.clear();
    order_.clear();
    version_ = NewNamesVersion();
}

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
        version_ = NewNamesVersion();
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
    version_ = NewNamesVersion();
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
