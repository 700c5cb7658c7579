#pragma once

#include <array>
#include <cstdint>
#include <vector>

namespace quillet {

// What a chart of a row counts each second.
enum class RateMeasure { Bytes, Packets };

// Bytes and packets by the second of the packets' timestamps: every second
// of the last five minutes, and the whole run in coarser buckets, a minute
// each at first (aligned to whole minutes since the epoch). When the run
// outgrows kMaxCoarse buckets they are merged into the next width
// (CoarserSeconds: 5, 15, 30 minutes, an hour, ...), so a run of any length
// costs at most kMaxCoarse buckets, and a short one what it spans.
class RateHistory {
public:
    static constexpr int kSeconds = 300;
    static constexpr std::size_t kMaxCoarse = 512;

    void Add(std::int64_t second, std::uint64_t bytes, std::uint32_t packets);
    // Bytes in that second (0 when it is outside the five minutes kept).
    std::uint64_t At(std::int64_t second) const;
    std::uint32_t PacketsAt(std::int64_t second) const;
    // The kSeconds values up to and including lastSecond, oldest first.
    std::vector<double> Values(std::int64_t lastSecond, RateMeasure measure = RateMeasure::Bytes) const;

    // The width of the coarse buckets, in seconds.
    std::int64_t CoarseSeconds() const { return width_; }
    // Adds the coarse buckets' counts into totals[i], the point of the step
    // seconds from first + i * step (step a multiple of CoarseSeconds(),
    // first a multiple of step); buckets outside are left out.
    void AddCoarse(std::int64_t first, std::int64_t step, RateMeasure measure, std::vector<double>& totals) const;

private:
    struct Bucket {
        std::uint64_t bytes = 0, packets = 0;
    };
    static std::size_t Slot(std::int64_t second);
    bool Holds(std::int64_t second) const;
    void AddToCoarse(std::int64_t second, std::uint64_t bytes, std::uint32_t packets);
    // Into buckets of the next width, realigned.
    void Coarsen();

    std::array<std::uint64_t, kSeconds> bytes_{};
    std::array<std::uint32_t, kSeconds> packets_{};
    std::int64_t newest_ = INT64_MIN;
    std::vector<Bucket> coarse_;
    std::int64_t coarseFirst_ = 0;  // the second coarse_[0] starts at
    std::int64_t width_ = 60;
};

}  // namespace quillet
