#include "views/RateHistory.h"

#include <algorithm>

#include "core/ChartScale.h"

namespace quillet {

std::size_t RateHistory::Slot(std::int64_t second)
{
    return static_cast<std::size_t>((second % kSeconds + kSeconds) % kSeconds);
}

bool RateHistory::Holds(std::int64_t second) const
{
    return newest_ != INT64_MIN && second <= newest_ && second > newest_ - kSeconds;
}

void RateHistory::Add(std::int64_t second, std::uint64_t bytes, std::uint32_t packets)
{
    AddToCoarse(second, bytes, packets);
    if (newest_ != INT64_MIN && second <= newest_ - kSeconds)
        return;  // older than what is kept
    if (newest_ == INT64_MIN || second - newest_ >= kSeconds) {
        bytes_.fill(0);
        packets_.fill(0);
        newest_ = second;
    }
    while (newest_ < second) {
        const std::size_t slot = Slot(++newest_);
        bytes_[slot] = 0;
        packets_[slot] = 0;
    }
    bytes_[Slot(second)] += bytes;
    packets_[Slot(second)] += packets;
}

std::uint64_t RateHistory::At(std::int64_t second) const
{
    return Holds(second) ? bytes_[Slot(second)] : 0;
}

std::uint32_t RateHistory::PacketsAt(std::int64_t second) const
{
    return Holds(second) ? packets_[Slot(second)] : 0;
}

std::vector<double> RateHistory::Values(std::int64_t lastSecond, RateMeasure measure) const
{
    std::vector<double> values(kSeconds);
    for (int i = 0; i < kSeconds; ++i) {
        const std::int64_t s = lastSecond - kSeconds + 1 + i;
        values[static_cast<std::size_t>(i)] =
            measure == RateMeasure::Bytes ? static_cast<double>(At(s)) : static_cast<double>(PacketsAt(s));
    }
    return values;
}

void RateHistory::AddToCoarse(std::int64_t second, std::uint64_t bytes, std::uint32_t packets)
{
    if (coarse_.empty())
        coarseFirst_ = FloorTo(second, width_);
    // Wide enough that the run from its first bucket to its last fits.
    for (;;) {
        const std::int64_t from = std::min(coarseFirst_, FloorTo(second, width_));
        const std::int64_t to = std::max(coarseFirst_ + static_cast<std::int64_t>(coarse_.size()) * width_, second + 1);
        if (static_cast<std::uint64_t>((to - from + width_ - 1) / width_) <= kMaxCoarse)
            break;
        Coarsen();
    }
    const std::int64_t start = FloorTo(second, width_);
    if (start < coarseFirst_) {  // before the first: room made in front
        coarse_.insert(coarse_.begin(), static_cast<std::size_t>((coarseFirst_ - start) / width_), Bucket{});
        coarseFirst_ = start;
    }
    const auto at = static_cast<std::size_t>((start - coarseFirst_) / width_);
    if (at >= coarse_.size())
        coarse_.resize(at + 1);
    coarse_[at].bytes += bytes;
    coarse_[at].packets += packets;
}

void RateHistory::Coarsen()
{
    const std::int64_t width = CoarserSeconds(width_);
    const std::int64_t first = FloorTo(coarseFirst_, width);
    std::vector<Bucket> merged;
    for (std::size_t i = 0; i < coarse_.size(); ++i) {
        const auto at = static_cast<std::size_t>((coarseFirst_ + static_cast<std::int64_t>(i) * width_ - first) / width);
        if (at >= merged.size())
            merged.resize(at + 1);
        merged[at].bytes += coarse_[i].bytes;
        merged[at].packets += coarse_[i].packets;
    }
    coarse_.swap(merged);
    coarseFirst_ = first;
    width_ = width;
}

void RateHistory::AddCoarse(std::int64_t first, std::int64_t step, RateMeasure measure,
                            std::vector<double>& totals) const
{
    for (std::size_t i = 0; i < coarse_.size(); ++i) {
        const std::int64_t start = coarseFirst_ + static_cast<std::int64_t>(i) * width_;
        if (start < first)
            continue;
        const auto point = static_cast<std::size_t>((start - first) / step);
        if (point >= totals.size())
            break;
        totals[point] += static_cast<double>(measure == RateMeasure::Bytes ? coarse_[i].bytes : coarse_[i].packets);
    }
}

}  // namespace quillet
