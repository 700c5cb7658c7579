#include "programs/ProgramLookup.h"

#include <unordered_set>

#include <QObject>

#include "programs/SocketOwners.h"

namespace quillet {

ProgramLookup::ProgramLookup(QObject* context, Done done) : context_(context), done_(std::move(done)) {}

ProgramLookup::~ProgramLookup()
{
    if (!thread_.joinable())
        return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

bool ProgramLookup::Request(std::vector<OwnerRequest> batch)
{
    if (busy_)
        return false;
    busy_ = true;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        work_ = std::move(batch);
    }
    if (!thread_.joinable())
        thread_ = std::thread([this] { Run(); });
    wake_.notify_one();
    return true;
}

void ProgramLookup::Run()
{
    for (;;) {
        std::vector<OwnerRequest> batch;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            wake_.wait(lock, [this] { return stop_ || work_.has_value(); });
            if (stop_)
                return;
            batch = std::move(*work_);
            work_.reset();
        }
        std::vector<OwnerAnswer> answers = Resolve(batch);
        if (stop_)
            return;
        // Runs on the context's thread; nothing when the context or this
        // lookup is gone by then.
        QMetaObject::invokeMethod(
            context_.data(),
            [this, alive = std::weak_ptr<int>(alive_), answers = std::move(answers)]() mutable {
                if (!alive.lock())
                    return;  // this lookup is gone
                busy_ = false;
                done_(std::move(answers));
            },
            Qt::QueuedConnection);
    }
}

std::vector<OwnerAnswer> ProgramLookup::Resolve(const std::vector<OwnerRequest>& batch)
{
    std::vector<std::uint64_t> keys;
    keys.reserve(batch.size());
    for (const OwnerRequest& r : batch)
        keys.push_back(r.key);
    const std::unordered_map<std::uint64_t, std::uint64_t> inodes = SocketTable::Find(keys, source, nullptr, ipv6Bytes);

    // The inodes no walk has answered for lately.
    const auto now = std::chrono::steady_clock::now();
    std::unordered_set<std::uint64_t> unknown;
    for (const auto& [key, inode] : inodes) {
        if (inode == 0)
            continue;
        const auto it = known_.find(inode);
        if (it == known_.end() || (it->second.text.empty() && now - it->second.at >= kRetryUnknown))
            unknown.insert(inode);
    }
    if (!unknown.empty()) {
        if (known_.size() + unknown.size() > kMaxKnown)
            known_.clear();
        const auto owners = FindSocketOwners(unknown, procRoot, &stop_);
        for (std::uint64_t inode : unknown) {
            const auto it = owners.find(inode);
            known_[inode] = {it == owners.end() ? std::string() : it->second.Text(), now};
        }
    }

    std::vector<OwnerAnswer> answers;
    answers.reserve(batch.size());
    for (const OwnerRequest& r : batch) {
        OwnerAnswer a{r.key, r.fromSeq, OwnerAnswer::None, {}};
        const auto found = inodes.find(r.key);
        if (found != inodes.end()) {
            if (found->second == 0) {
                a.kind = OwnerAnswer::Closing;
            } else if (const auto it = known_.find(found->second); it != known_.end() && !it->second.text.empty()) {
                a.kind = OwnerAnswer::Owner;
                a.text = it->second.text;
            }
        }
        answers.push_back(std::move(a));
    }
    return answers;
}

}  // namespace quillet
