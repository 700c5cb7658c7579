#include "filters/HostVerdicts.h"

#include <algorithm>
#include <bit>

namespace quillet {

void HostVerdicts::Add(HostAddress address, std::uint8_t verdict)
{
    added_.push_back({address, verdict});
}

void HostVerdicts::Seal(std::uint8_t wanted)
{
    std::sort(added_.begin(), added_.end(), [](const Entry& a, const Entry& b) { return a.address < b.address; });
    std::vector<Entry> merged;
    for (const Entry& e : added_) {
        if (!merged.empty() && merged.back().address == e.address)
            merged.back().verdict |= e.verdict;
        else
            merged.push_back(e);
    }
    std::erase_if(merged, [wanted](const Entry& e) { return (e.verdict & wanted) == 0; });
    added_ = {};
    table_.clear();
    mask_ = 0;
    if (merged.empty())
        return;
    const std::size_t size = std::bit_ceil(std::max<std::size_t>(16, merged.size() * 2));
    mask_ = size - 1;
    table_.assign(size, Entry{});
    for (const Entry& e : merged) {
        std::size_t i = Slot(e.address);
        while (table_[i].address != kNone)
            i = (i + 1) & mask_;
        table_[i] = e;
    }
}

}  // namespace quillet
