// The payload filter's rebuild: a thread of its own reads the payloads from
// the working capture file; the rest is read in slices of the event loop.
#include "views/ListPresenterParts.h"

namespace quillet {

using namespace list_rebuild;

void ListPresenter::StartPayload()
{
    job_ = std::make_shared<Job>();
    job_->running = 1;
    CaptureSpool* spool = store_.Spool();
    const int fd = spool ? spool->ReadDescriptor() : -1;
    const std::uint64_t limit = spool ? spool->BytesInFile() : 0;
    Job* job = job_.get();
    job->threads[0] = std::thread([job, fd, limit, to = last_, rules = rules_, records = records_] {
        const ThreadContext context(*rules, fd, limit);
        std::vector<std::uint64_t> batch;
        std::int64_t seq = 1;
        for (; seq <= to && !job->cancel.load(std::memory_order_relaxed); ++seq) {
            const clV& r = records.at(seq);
            if (!context.CanRead(r))
                break;
            bool sent = false;
            if (rules->Passes(seq, r, context, sent))
                batch.push_back(static_cast<std::uint64_t>(seq) | (sent ? PacketListModel::kSentRow : 0));
            if ((seq & 1023) == 0) {
                std::lock_guard lock(job->mutex);
                job->found.insert(job->found.end(), batch.begin(), batch.end());
                job->examined.store(seq, std::memory_order_relaxed);
                batch.clear();
            }
        }
        {
            std::lock_guard lock(job->mutex);
            job->found.insert(job->found.end(), batch.begin(), batch.end());
            job->examined.store(seq - 1, std::memory_order_relaxed);
            job->stoppedAt = seq;
        }
        job->running.fetch_sub(1, std::memory_order_release);
    });
}

bool ListPresenter::TakePayloadRows()
{
    const bool done = job_->running.load(std::memory_order_acquire) == 0;
    std::vector<std::uint64_t> rows;
    {
        std::lock_guard lock(job_->mutex);
        rows.swap(job_->found);
    }
    if (tab_ == kTabIp)
        std::erase_if(rows, [&](std::uint64_t v) {
            return !pairs_.insert(MakePair(records_.at(static_cast<std::int64_t>(v & ~PacketListModel::kSentRow))))
                        .second;
        });
    AppendRows(rows);
    if (onProgress && last_ > 0)
        onProgress(static_cast<int>(job_->examined.load(std::memory_order_relaxed) * 1000 / last_));
    return done;
}

bool ListPresenter::SliceTail()
{
    QElapsedTimer clock;
    clock.start();
    std::vector<std::uint64_t> rows;
    while (at_ <= last_ && clock.elapsed() < kSliceMs) {
        const std::int64_t to = std::min(last_, at_ + 1023);
        Scan(*rules_, records_, context_, at_, to, rows, tab_ == kTabIp ? &pairs_ : nullptr, kNeverCancelled);
        at_ = to + 1;
    }
    AppendRows(rows);
    if (onProgress && last_ > 0)
        onProgress(static_cast<int>((at_ - 1) * 1000 / last_));
    return at_ > last_;
}

}  // namespace quillet
