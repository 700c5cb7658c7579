#include "core/NameTable.h"

#include <algorithm>
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
        marked_ = false;
        changes_.clear();
        spareAges_.clear();
        other.Emptied();
    }
    return *this;
}

void NameTable::Emptied() noexcept
{
    names_.clear();
    byAddress_.clear();
    order_.clear();
    marked_ = false;
    changes_.clear();
    spareAges_.clear();
    version_ = NewNamesVersion();
}

void NameTable::Release(NameIt name, Change* change)
{
    if (--name->second != 0)
        return;
    if (change)
        change->freedName = names_.extract(name);
    else
        names_.erase(name);
}

NameTable::Change* NameTable::Note(Change::Kind kind)
{
    if (!marked_)
        return nullptr;
    changes_.emplace_back().kind = kind;
    return &changes_.back();
}

void NameTable::Mark()
{
    marked_ = true;
    markedVersion_ = version_;
    changes_.clear();
    spareAges_.clear();
}

bool NameTable::Set(std::string_view address, std::string_view name)
{
    if (max_ == 0 || address.empty() || name.empty())
        return false;
    // A Set() takes at most three steps: noting them cannot fail once it began.
    if (marked_ && changes_.capacity() < changes_.size() + 3)
        changes_.reserve(std::max<std::size_t>(2 * changes_.size(), changes_.size() + 3));
    auto named = names_.find(name);
    if (named == names_.end()) {
        Change* change = Note(Change::NewName);
        named = names_.emplace(std::string(name), 0).first;
        if (change) {
            change->name = named;
            change->made = true;
        }
    }
    const auto it = byAddress_.find(address);
    if (it != byAddress_.end()) {
        if (Change* change = Note(Change::Moved)) {
            change->address = it;
            change->next = std::next(it->second.age);
            change->made = true;
        }
        order_.splice(order_.end(), order_, it->second.age);
        if (it->second.name == named)
            return false;
        Change* change = Note(Change::Renamed);
        ++named->second;
        if (change) {
            change->address = it;
            change->name = it->second.name;
            change->made = true;
        }
        Release(it->second.name, change);
        it->second.name = named;
        version_ = NewNamesVersion();
        return true;
    }
    Change* added = Note(Change::Added);
    ++named->second;
    if (byAddress_.size() >= max_) {
        Change* change = Note(Change::Evicted);
        const auto oldest = byAddress_.find(order_.front());
        Release(oldest->second.name, change);
        if (change) {
            change->forgotten = byAddress_.extract(oldest);
            spareAges_.splice(spareAges_.end(), order_, order_.begin());
            change->made = true;
        } else {
            byAddress_.erase(oldest);
            order_.pop_front();
        }
    }
    try {
        order_.emplace_back(address);
        try {
            byAddress_.emplace(std::string(address), Entry{named, std::prev(order_.end())});
        } catch (...) {
            order_.pop_back();
            throw;
        }
    } catch (...) {
        --named->second;
        throw;
    }
    if (added) {
        added->address = byAddress_.find(address);
        added->made = true;
    }
    version_ = NewNamesVersion();
    return true;
}

void NameTable::RollBack() noexcept
{
    // Newest first. Giving a node back never grows a table past a size it
    // had: nothing is allocated.
    for (auto c = changes_.rbegin(); c != changes_.rend(); ++c) {
        if (!c->made)
            continue;
        switch (c->kind) {
        case Change::NewName:
            names_.erase(c->name);
            break;
        case Change::Moved:
            order_.splice(c->next, order_, c->address->second.age);
            break;
        case Change::Renamed: {
            NameIt old = c->name;
            if (!c->freedName.empty())
                old = names_.insert(std::move(c->freedName)).position;
            ++old->second;
            --c->address->second.name->second;
            c->address->second.name = old;
            break;
        }
        case Change::Evicted: {
            Entry& entry = c->forgotten.mapped();
            if (!c->freedName.empty())
                entry.name = names_.insert(std::move(c->freedName)).position;
            ++entry.name->second;
            order_.splice(order_.begin(), spareAges_, entry.age);
            byAddress_.insert(std::move(c->forgotten));
            break;
        }
        case Change::Added:
            --c->address->second.name->second;
            order_.erase(c->address->second.age);
            byAddress_.erase(c->address);
            break;
        }
    }
    changes_.clear();
    spareAges_.clear();
    if (marked_)
        version_ = markedVersion_;
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
