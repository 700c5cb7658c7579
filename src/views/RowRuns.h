#pragma once

#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

namespace quillet {

// List row values (a sequence number, with PacketListModel::kSentRow for a
// sent row) in runs one after another: a run of millions made by a thread
// is taken over without a copy, and the values are read back in pieces that
// lie within one run. Appending copies onto a run of bounded length only,
// so no append moves millions of values.
class RowRuns {
public:
    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }

    // Takes the run over as it is.
    void Take(std::vector<std::uint64_t>&& run)
    {
        if (run.empty())
            return;
        starts_.push_back(size_);
        size_ += run.size();
        runs_.push_back(std::move(run));
        open_ = false;
    }
    // Copies the values after the last ones.
    void Append(std::span<const std::uint64_t> values)
    {
        for (std::size_t i = 0; i < values.size();) {
            if (!open_ || runs_.back().size() >= kOpenRun) {
                starts_.push_back(size_);
                runs_.emplace_back().reserve(kOpenRun);
                open_ = true;
            }
            std::vector<std::uint64_t>& run = runs_.back();
            const std::size_t n = std::min(values.size() - i, kOpenRun - run.size());
            run.insert(run.end(), values.begin() + static_cast<std::ptrdiff_t>(i),
                       values.begin() + static_cast<std::ptrdiff_t>(i + n));
            size_ += n;
            i += n;
        }
    }
    // The values from at on, at most max of them, as far as at's run goes.
    std::span<const std::uint64_t> From(std::size_t at, std::size_t max) const
    {
        if (at >= size_)
            return {};
        const auto k = static_cast<std::size_t>(std::upper_bound(starts_.begin(), starts_.end(), at) - starts_.begin()) - 1;
        const std::vector<std::uint64_t>& run = runs_[k];
        const std::size_t offset = at - starts_[k];
        return {run.data() + offset, std::min(max, run.size() - offset)};
    }
    void clear()
    {
        runs_.clear();
        starts_.clear();
        size_ = 0;
        open_ = false;
    }

private:
    static constexpr std::size_t kOpenRun = std::size_t{1} << 16;
    std::vector<std::vector<std::uint64_t>> runs_;
    std::vector<std::size_t> starts_;  // the index of each run's first value
    std::size_t size_ = 0;
    bool open_ = false;  // the last run takes copies
};

}  // namespace quillet
