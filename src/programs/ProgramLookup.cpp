#include "programs/ProgramLookup.h"

#include <unordered_set>

#include <QObject>

#include "programs/SocketOwners.h"

namespace quillet {

struct ProgramLookup::Worker {
    // What the process walk found for an inode. Not found: tried again
    // after kRetryUnknown, not at every batch.
    struct Known {
        std::string text;  // empty: no readable process holds it
        int pid = 0;
        std::string name;
        std::chrono::steady_clock::time_point at;
    };
    static constexpr auto kRetryUnknown = std::chrono::seconds(5);
    static constexpr std::size_t kMaxKnown = 1u << 16;

    std::mutex mutex;
    std::condition_variable wake;
    std::condition_variable ended;
    std::optional<std::vector<OwnerRequest>> work;
    std::atomic<bool> stop{false};
    bool finished = false;
    std::unordered_map<std::uint64_t, Known> known;  // the thread's

    std::vector<OwnerAnswer> Resolve(const std::vector<OwnerRequest>& batch, SocketTable::Source source,
                                     const std::string& procRoot, const FindSockets& find,
                                     const SocketTable::IPv6Bytes& ipv6Bytes);
};

ProgramLookup::ProgramLookup(QObject* context, Done done)
    : context_(context), done_(std::move(done)), worker_(std::make_shared<Worker>())
{
}

ProgramLookup::~ProgramLookup()
{
    if (!thread_.joinable())
        return;
    bool ended = false;
    {
        std::unique_lock<std::mutex> lock(worker_->mutex);
        worker_->stop = true;
        worker_->wake.notify_all();
        ended = worker_->ended.wait_for(lock, kStopWait, [this] { return worker_->finished; });
    }
    if (ended)
        thread_.join();
    else
        thread_.detach();  // waiting on the kernel: it ends by itself and posts nothing
}

bool ProgramLookup::Request(std::vector<OwnerRequest> batch)
{
    if (busy_)
        return false;
    busy_ = true;
    {
        std::lock_guard<std::mutex> lock(worker_->mutex);
        worker_->work = std::move(batch);
    }
    if (!thread_.joinable()) {
        thread_ = std::thread([this, w = worker_, context = context_, alive = std::weak_ptr<int>(alive_),
                               source = source, procRoot = procRoot, find = findSockets, bytes = ipv6Bytes] {
            for (;;) {
                std::vector<OwnerRequest> batch;
                {
                    std::unique_lock<std::mutex> lock(w->mutex);
                    w->wake.wait(lock, [&w] { return w->stop || w->work.has_value(); });
                    if (w->stop)
                        break;
                    batch = std::move(*w->work);
                    w->work.reset();
                }
                std::vector<OwnerAnswer> answers = w->Resolve(batch, source, procRoot, find, bytes);
                if (w->stop)
                    break;
                // Runs on the context's thread; nothing when the context or
                // this lookup is gone by then.
                QMetaObject::invokeMethod(
                    context.data(),
                    [this, alive, answers = std::move(answers)]() mutable {
                        if (!alive.lock())
                            return;  // this lookup is gone
                        busy_ = false;
                        done_(std::move(answers));
                    },
                    Qt::QueuedConnection);
            }
            std::lock_guard<std::mutex> lock(w->mutex);
            w->finished = true;
            w->ended.notify_all();
        });
    }
    worker_->wake.notify_one();
    return true;
}

std::vector<OwnerAnswer> ProgramLookup::Resolve(const std::vector<OwnerRequest>& batch)
{
    return worker_->Resolve(batch, source, procRoot, findSockets, ipv6Bytes);
}

std::vector<OwnerAnswer> ProgramLookup::Worker::Resolve(const std::vector<OwnerRequest>& batch,
                                                        SocketTable::Source source, const std::string& procRoot,
                                                        const FindSockets& find,
                                                        const SocketTable::IPv6Bytes& ipv6Bytes)
{
    std::vector<std::uint64_t> keys;
    keys.reserve(batch.size());
    for (const OwnerRequest& r : batch)
        keys.push_back(r.key);
    const std::unordered_map<std::uint64_t, std::uint64_t> inodes =
        find ? find(keys, source) : SocketTable::Find(keys, source, nullptr, ipv6Bytes);

    // The inodes no walk has answered for lately, and known owners that no
    // longer hold their socket.
    const auto now = std::chrono::steady_clock::now();
    std::unordered_set<std::uint64_t> unknown;
    for (const auto& [key, inode] : inodes) {
        if (inode == 0 || unknown.count(inode))
            continue;
        const auto it = known.find(inode);
        if (it == known.end()) {
            unknown.insert(inode);
        } else if (it->second.text.empty()) {
            if (now - it->second.at >= kRetryUnknown)
                unknown.insert(inode);
        } else if (now - it->second.at >= kRecheck) {
            if (HoldsSocket(it->second.pid, inode, it->second.name, procRoot))
                it->second.at = now;
            else
                unknown.insert(inode);
        }
    }
    if (!unknown.empty()) {
        if (known.size() + unknown.size() > kMaxKnown)
            known.clear();
        const auto owners = FindSocketOwners(unknown, procRoot, &stop);
        for (std::uint64_t inode : unknown) {
            const auto it = owners.find(inode);
            known[inode] = it == owners.end() ? Known{{}, 0, {}, now}
                                              : Known{it->second.Text(), it->second.pid, it->second.name, now};
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
            } else if (const auto it = known.find(found->second); it != known.end() && !it->second.text.empty()) {
                a.kind = OwnerAnswer::Owner;
                a.text = it->second.text;
            }
        }
        answers.push_back(std::move(a));
    }
    return answers;
}

}  // namespace quillet
