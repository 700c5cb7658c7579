#pragma once

#include <atomic>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

namespace quillet {

// What one check resolved for the version of the names a context is at
// (Verdicts made from Version, with Version() const), made by the first
// thread that asks and shared by all. Threads that use the check at once use
// contexts whose names do not change meanwhile.
template <class Verdicts, class Version>
class VerdictCache {
public:
    // The verdicts made for version, nullptr when none are made yet.
    const Verdicts* Current(Version version) const
    {
        const Verdicts* v = current_.load(std::memory_order_acquire);
        return v != nullptr && v->Version() == version ? v : nullptr;
    }
    // The verdicts for version, made by fill when not made yet.
    const Verdicts& Get(Version version, const std::function<void(Verdicts&)>& fill)
    {
        if (const Verdicts* v = Current(version))
            return *v;
        const std::lock_guard<std::mutex> lock(mutex_);
        if (const Verdicts* v = Current(version))
            return *v;
        auto made = std::make_unique<Verdicts>(version);
        fill(*made);
        const Verdicts& verdicts = *made;
        kept_.push_back(std::move(made));
        current_.store(&verdicts, std::memory_order_release);
        while (kept_.size() > kKept)
            kept_.pop_front();
        return verdicts;
    }

private:
    static constexpr std::size_t kKept = 4;  // older verdicts kept for threads still reading them
    std::mutex mutex_;
    std::atomic<const Verdicts*> current_{nullptr};
    std::deque<std::unique_ptr<Verdicts>> kept_;
};

}  // namespace quillet
