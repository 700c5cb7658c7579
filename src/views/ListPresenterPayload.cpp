// The payload filter's rebuild: two threads read the payloads from the
// working capture file, part by part; what they cannot read (payloads not in
// the file for good) is read in slices of the event loop.
#include "views/ListPresenterParts.h"

namespace quillet {

using namespace list_rebuild;

namespace {

// Where the file bytes of the records from..to end (a bound for reading
// ahead), as far as the last of them tell; UINT64_MAX when they do not.
std::uint64_t FileEnd(const PacketStore::Records& records, std::int64_t from, std::int64_t to)
{
    for (std::int64_t seq = to; seq >= from && seq > to - 64; --seq) {
        const PayloadRef& ref = records.at(seq).mData;
        if (ref.headers() != 0 && !ref.empty())
            return ref.offset() + ref.length();
    }
    return UINT64_MAX;
}

}  // namespace

void ListPresenter::StartPayload()
{
    job_ = std::make_shared<Job>();
    CaptureSpool* spool = store_.Spool();
    const int fd = spool ? spool->ReadDescriptor() : -1;
    const std::uint64_t limit = spool ? spool->BytesInFile() : 0;
    Job* job = job_.get();
    job->partCount = (last_ + kPayloadPart - 1) / kPayloadPart;
    job->parts = std::make_unique<Job::PayloadPart[]>(static_cast<std::size_t>(job->partCount));
    // Both threads take the next part, in order, until the parts or a
    // record they cannot read end the pass (from that record on the
    // window's thread reads, as the spool holds it).
    const auto read = [job, fd, limit, to = last_, rules = rules_, records = records_] {
        YieldToWindow();
        const ThreadContext context(*rules, fd, limit);
        std::int64_t told = 0;
        for (;;) {
            const std::int64_t k = job->nextPart.fetch_add(1, std::memory_order_relaxed);
            const std::int64_t from = 1 + k * kPayloadPart;
            if (k >= job->partCount || from >= job->stopFrom.load(std::memory_order_relaxed))
                break;
            const std::int64_t end = std::min(to, from + kPayloadPart - 1);
            Job::PayloadPart& part = job->parts[static_cast<std::size_t>(k)];
            context.ReadAheadTo(FileEnd(records, from, end));
            std::int64_t seq = from;
            for (; seq <= end && !job->cancel.load(std::memory_order_relaxed); ++seq) {
                const clV& r = records.at(seq);
                if (!context.CanRead(r)) {
                    part.stoppedAt = seq;
                    std::int64_t stop = job->stopFrom.load(std::memory_order_relaxed);
                    while (seq < stop && !job->stopFrom.compare_exchange_weak(stop, seq)) {
                    }
                    break;
                }
                bool sent = false;
                if (rules->Passes(seq, r, context, sent))
                    part.rows.push_back(static_cast<std::uint64_t>(seq) | (sent ? PacketListModel::kSentRow : 0));
            }
            if (seq <= end && part.stoppedAt == 0)
                break;  // cancelled
            // Counted with the part: a part handed over tells its payloads
            // that could not be read, one never handed over (after a part
            // that left its records to the window's thread) none.
            part.unread = context.PayloadsUnread() - told;
            told = context.PayloadsUnread();
            part.done.store(true, std::memory_order_release);
        }
        job->running.fetch_sub(1, std::memory_order_release);
    };
    job->running = 2;
    for (std::thread& t : job->threads)
        t = std::thread(read);
}

bool ListPresenter::TakePayloadRows()
{
    // The parts done, in order, for the time of a slice; the pass ends with
    // the last part or with one that left its records to this thread.
    QElapsedTimer clock;
    clock.start();
    Job& job = *job_;
    bool done = job.partsTaken == job.partCount;
    while (!done && clock.elapsed() < kSliceMs) {
        Job::PayloadPart& part = job.parts[static_cast<std::size_t>(job.partsTaken)];
        if (!part.done.load(std::memory_order_acquire))
            break;
        KeepNewPairs(part.rows);
        rows_.Append(part.rows);
        unreadInParts_ += part.unread;
        std::vector<std::uint64_t>().swap(part.rows);
        ++job.partsTaken;
        if (part.stoppedAt != 0) {
            at_ = part.stoppedAt;
            return true;
        }
        done = job.partsTaken == job.partCount;
    }
    if (done) {
        at_ = last_ + 1;
        return true;
    }
    // The records handed over: what the window's thread goes on from when a
    // part leaves records to it.
    if (onProgress && last_ > 0)
        onProgress(static_cast<int>(std::min(last_, job.partsTaken * kPayloadPart) * 1000 / last_));
    return false;
}

bool ListPresenter::SliceTail()
{
    QElapsedTimer clock;
    clock.start();
    std::vector<std::uint64_t> rows;
    while (at_ <= last_ && clock.elapsed() < kSliceMs) {
        const std::int64_t to = std::min(last_, at_ + 1023);
        Scan(*rules_, records_, context_, at_, to, rows, tab_ == kTabIp ? &seenPairs_ : nullptr, kNeverCancelled);
        at_ = to + 1;
    }
    rows_.Append(rows);
    if (onProgress && last_ > 0)
        onProgress(static_cast<int>((at_ - 1) * 1000 / last_));
    return at_ > last_;
}

}  // namespace quillet
