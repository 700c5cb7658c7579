#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace quillet {

// List row values (a sequence number, with PacketListModel::kSentRow for a
// sent row) in runs one after another: a run of millions made by a thread
// is taken over without a copy, and so is a part of a buffer a thread
// filled with several runs; the values are read back in pieces that lie
// within one run. Appending copies onto a run of bounded length only, so no
// append moves millions of values.
class RowRuns {
public:
    using Buffer = std::shared_ptr<const std::vector<std::uint64_t>>;

    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }

    // Takes the run over as it is.
    void Take(std::vector<std::uint64_t>&& run)
    {
        if (run.empty())
            return;
        auto owned = std::make_shared<std::vector<std::uint64_t>>(std::move(run));
        const std::span<const std::uint64_t> all(*owned);
        Keep(std::move(owned), all);
    }
    // The values of part, which lie in buffer, as the next run; the buffer
    // is kept while a run of it is.
    void TakePart(const Buffer& buffer, std::span<const std::uint64_t> part)
    {
        if (part.empty())
            return;
        Keep(buffer, part);
    }
    // Copies the values after the last ones.
    void Append(std::span<const std::uint64_t> values)
    {
        for (std::size_t i = 0; i < values.size();) {
            if (!open_ || open_->size() >= kOpenRun) {
                auto fresh = std::make_shared<std::vector<std::uint64_t>>();
                fresh->reserve(kOpenRun);  // never moves: the run's view stays good
                open_ = fresh;
                Keep(std::move(fresh), {});
            }
            const std::size_t n = std::min(values.size() - i, kOpenRun - open_->size());
            open_->insert(open_->end(), values.begin() + static_cast<std::ptrdiff_t>(i),
                          values.begin() + static_cast<std::ptrdiff_t>(i + n));
            runs_.back() = {open_->data(), open_->size()};
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
        const std::span<const std::uint64_t> run = runs_[k];
        const std::size_t offset = at - starts_[k];
        return run.subspan(offset, std::min(max, run.size() - offset));
    }
    void clear()
    {
        runs_.clear();
        starts_.clear();
        buffers_.clear();
        open_.reset();
        size_ = 0;
    }

private:
    static constexpr std::size_t kOpenRun = std::size_t{1} << 16;

    void Keep(Buffer buffer, std::span<const std::uint64_t> run)
    {
        if (buffers_.empty() || buffers_.back() != buffer)
            buffers_.push_back(std::move(buffer));
        starts_.push_back(size_);
        size_ += run.size();
        runs_.push_back(run);
        if (buffers_.back() != open_)
            open_.reset();  // the last run takes no more copies
    }

    std::vector<std::span<const std::uint64_t>> runs_;
    std::vector<std::size_t> starts_;  // the index of each run's first value
    std::vector<Buffer> buffers_;      // what the runs lie in
    std::shared_ptr<std::vector<std::uint64_t>> open_;  // the last run, while it takes copies
    std::size_t size_ = 0;
};

}  // namespace quillet
