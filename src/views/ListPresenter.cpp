#include "views/ListPresenter.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <thread>

namespace quillet {

namespace {

// A filter tab's criteria as address fields: the same decisions as
// cFilter::Admits on the texts, without making them.
struct FieldFilter {
    FieldFilter() = default;
    explicit FieldFilter(const cFilter& f)
        : both(f.bAND), src(f.bSrc && AddressText::Keeps(f.Src)), dest(f.bDest && AddressText::Keeps(f.Dest)),
          srcBits(src ? AddressText(f.Src).bits() : 0), destBits(dest ? AddressText(f.Dest).bits() : 0)
    {
    }
    bool Admits(const clV& r) const
    {
        const bool s = src && r.mSrcAddr.bits() == srcBits;
        const bool d = dest && r.mDestAddr.bits() == destBits;
        return both ? (s && d) : (s || d);
    }

    bool both = false, src = false, dest = false;
    std::uint64_t srcBits = 0, destBits = 0;
};

bool InBits(const std::vector<std::uint64_t>& own, std::uint64_t bits)
{
    // A machine has few addresses: comparing with each of them takes no
    // branch that traffic from everywhere would mispredict.
    if (own.size() <= 8) {
        bool local = false;
        for (const std::uint64_t o : own)
            local |= o == bits;
        return local;
    }
    return std::binary_search(own.begin(), own.end(), bits);
}

// The views' context for a packet just captured: its payload is the one given.
class ArrivalContext : public DisplayFilterContext {
public:
    ArrivalContext(const DisplayFilterContext& views, std::span<const std::uint8_t> payload)
        : views_(views), payload_(payload)
    {
    }
    bool IsLocal(const AddressText& a) const override { return views_.IsLocal(a); }
    QString ProgramOf(std::int64_t seq, const clV& r) const override { return views_.ProgramOf(seq, r); }
    void NamesOf(const AddressText& a, std::vector<QString>& out) const override { views_.NamesOf(a, out); }
    bool PayloadOf(std::int64_t, const clV&, std::string& bytes) const override
    {
        bytes.assign(reinterpret_cast<const char*>(payload_.data()), payload_.size());
        return true;
    }

private:
    const DisplayFilterContext& views_;
    std::span<const std::uint8_t> payload_;
};

const std::atomic<bool> kNeverCancelled{false};

}  // namespace

// What a rebuild tests, fixed when it starts, so threads may read it.
struct ListPresenter::Rules {
    int tab = kTabAll;
    bool haveTabFilter = false;
    FieldFilter fields;
    std::shared_ptr<const std::vector<std::uint64_t>> local;
    std::shared_ptr<const DisplayFilter> filter;

    bool Local(const AddressText& a) const { return local && InBits(*local, a.bits()); }
    // The tab's rule (the IP tab's pairs apart) and the filter.
    bool Passes(std::int64_t seq, const clV& r, const DisplayFilterContext& context, bool& sent) const
    {
        sent = Local(r.mSrcAddr);
        switch (tab) {
        case kTabAll:
        case kTabIp: break;
        case kTabReceived:
            if (sent)
                return false;
            break;
        case kTabSent:
            if (!sent)
                return false;
            break;
        default:
            if (!haveTabFilter || !fields.Admits(r))
                return false;
        }
        return !filter || filter->Matches(seq, r, context);
    }
};

// Shared by the presenter and its threads; the last owner joins them.
struct ListPresenter::Job {
    std::atomic<bool> cancel{false};
    std::atomic<int> running{0};
    std::vector<std::uint64_t> rows[2];
    PairSet seen[2];
    // A payload filter's thread: rows found so far, records examined, and
    // the first record it left to the window's thread.
    std::mutex mutex;
    std::vector<std::uint64_t> found;
    std::atomic<std::int64_t> examined{0};
    std::int64_t stoppedAt = 0;
    std::thread threads[2];

    void Join()
    {
        for (std::thread& t : threads)
            if (t.joinable())
                t.join();
    }
    ~Job()
    {
        cancel = true;
        Join();
    }
};

// The context on a rebuild's threads: the machine's addresses as the rules
// took them, and payloads read from the working file through its own window.
class ListPresenter::ThreadContext : public DisplayFilterContext {
public:
    ThreadContext(const Rules& rules, int fd, std::uint64_t limit) : rules_(rules), fd_(fd), limit_(limit) {}

    bool IsLocal(const AddressText& a) const override { return rules_.Local(a); }
    QString ProgramOf(std::int64_t, const clV&) const override { return {}; }
    void NamesOf(const AddressText&, std::vector<QString>&) const override {}
    // Whether this thread can read the record's payload: in the file for good.
    bool CanRead(const clV& r) const
    {
        return r.mData.empty()
               || (r.mData.headers() != 0 && fd_ >= 0 && r.mData.offset() + r.mData.length() <= limit_);
    }
    bool PayloadOf(std::int64_t, const clV& r, std::string& bytes) const override
    {
        bytes.clear();
        if (r.mData.empty())
            return true;
        if (!CanRead(r))
            return false;
        const std::uint64_t at = r.mData.offset();
        const std::uint32_t length = r.mData.length();
        if (at < windowAt_ || at + length > windowAt_ + windowSize_) {
            // Payloads come in file order: one read per window, not per packet.
            const std::uint64_t want = std::min<std::uint64_t>(std::max<std::uint64_t>(kWindow, length), limit_ - at);
            window_.resize(static_cast<std::size_t>(want));
            windowAt_ = at;
            windowSize_ = 0;
            while (windowSize_ < want) {
                const ssize_t got = ::pread(fd_, window_.data() + windowSize_, want - windowSize_,
                                            static_cast<off_t>(at + windowSize_));
                if (got < 0 && errno == EINTR)
                    continue;
                if (got <= 0)
                    break;
                windowSize_ += static_cast<std::uint64_t>(got);
            }
            if (windowSize_ < length)
                return false;
        }
        bytes.assign(window_.data() + (at - windowAt_), length);
        return true;
    }

private:
    static constexpr std::uint64_t kWindow = 4 << 20;
    const Rules& rules_;
    int fd_;
    std::uint64_t limit_;
    mutable std::vector<char> window_;
    mutable std::uint64_t windowAt_ = 0;
    mutable std::uint64_t windowSize_ = 0;
};

ListPresenter::ListPresenter(const PacketStore& store, PacketListModel& list, HostTreeModel& tree,
                             const PortPreferences& prefs, const DisplayFilterContext& context)
    : store_(store), list_(list), tree_(tree), prefs_(prefs), context_(context),
      local_(std::make_shared<const std::vector<std::uint64_t>>())
{
    QObject::connect(&timer_, &QTimer::timeout, [this] { Tick(); });
}

ListPresenter::~ListPresenter()
{
    Stop();
}

void ListPresenter::SetLocal(std::vector<std::uint64_t> bits)
{
    std::sort(bits.begin(), bits.end());
    local_ = std::make_shared<const std::vector<std::uint64_t>>(std::move(bits));
}

bool ListPresenter::IsLocal(const AddressText& address) const
{
    return InBits(*local_, address.bits());
}

// --- new packets -------------------------------------------------------------------

namespace {

bool TabRule(int tab, bool sent, const clV& r, const std::function<const cFilter*()>& tabFilter)
{
    switch (tab) {
    case ListPresenter::kTabAll:
    case ListPresenter::kTabIp: return true;
    case ListPresenter::kTabReceived: return !sent;
    case ListPresenter::kTabSent: return sent;
    default: {
        const cFilter* filter = tabFilter ? tabFilter() : nullptr;
        return filter && FieldFilter(*filter).Admits(r);
    }
    }
}

}  // namespace

bool ListPresenter::TabAdmits(const clV& record)
{
    if (!TabRule(tab_, IsLocal(record.mSrcAddr), record, tabFilter))
        return false;
    return tab_ != kTabIp || pairs_.find(MakePair(record)) == pairs_.end();
}

ListPresenter::Arrival ListPresenter::Arrived(std::int64_t seq, const clV& record,
                                              std::span<const std::uint8_t> payload)
{
    const bool sent = IsLocal(record.mSrcAddr);
    if (!TabRule(tab_, sent, record, tabFilter))
        return Arrival::Hidden;
    if (filter_ && !filter_->Matches(seq, record, ArrivalContext(context_, payload)))
        return Arrival::Hidden;
    if (busy_ && phase_ == Phase::Rows) {
        later_.push_back(static_cast<std::uint64_t>(seq) | (sent ? PacketListModel::kSentRow : 0));
        return Arrival::Later;
    }
    if (tab_ == kTabIp && pairs_.find(MakePair(record)) != pairs_.end())
        return Arrival::Hidden;
    return Arrival::Show;
}

bool ListPresenter::NotePair(const clV& record)
{
    return tab_ == kTabIp && pairs_.insert(MakePair(record)).second;
}

void ListPresenter::TakeBack(std::int64_t seq, const clV& record, bool pairAdded)
{
    if (!later_.empty() && static_cast<std::int64_t>(later_.back() & ~PacketListModel::kSentRow) == seq)
        later_.pop_back();
    if (pairAdded)
        pairs_.erase(MakePair(record));
}

// --- rebuilds ------------------------------------------------------------------------

std::shared_ptr<const ListPresenter::Rules> ListPresenter::MakeRules() const
{
    auto rules = std::make_shared<Rules>();
    rules->tab = tab_;
    if (tab_ >= kFirstFilterTab)
        if (const cFilter* f = tabFilter ? tabFilter() : nullptr) {
            rules->haveTabFilter = true;
            rules->fields = FieldFilter(*f);
        }
    rules->local = local_;
    rules->filter = filter_;
    return rules;
}

void ListPresenter::Scan(const Rules& rules, const PacketStore::Records& records, const DisplayFilterContext& context,
                         std::int64_t from, std::int64_t to, std::vector<std::uint64_t>& out, PairSet* seen,
                         const std::atomic<bool>& cancel)
{
    for (std::int64_t seq = from; seq <= to; ++seq) {
        if (((seq - from) & 4095) == 0 && cancel.load(std::memory_order_relaxed))
            return;
        const clV& r = records.at(seq);
        bool sent = false;
        if (!rules.Passes(seq, r, context, sent))
            continue;
        if (seen && !seen->insert(MakePair(r)).second)
            continue;
        out.push_back(static_cast<std::uint64_t>(seq) | (sent ? PacketListModel::kSentRow : 0));
    }
}

void ListPresenter::Stop()
{
    timer_.stop();
    job_.reset();  // cancels and joins its threads
    busy_ = false;
}

void ListPresenter::Rebuild()
{
    const bool wasPayload = busy_ && mode_ == Mode::Payload;
    Stop();
    if (wasPayload && onProgress)
        onProgress(-1);
    list_.clear();
    pairs_.clear();
    tree_.clear();
    tree_.AddRoots();
    later_.clear();
    found_.clear();
    treeAt_ = 0;
    rules_ = MakeRules();
    records_ = store_.Snapshot();
    last_ = records_.count();
    at_ = 1;
    busy_ = true;
    phase_ = Phase::Rows;

    const bool payload = filter_ && filter_->UsesPayload();
    const bool views = filter_ && (filter_->UsesProgram() || filter_->UsesHost());
    if (last_ <= kAtOnce) {
        Scan(*rules_, records_, context_, 1, last_, found_, tab_ == kTabIp ? &pairs_ : nullptr, kNeverCancelled);
        AppendRows(found_);
        RowsComplete();
        Finish();
        return;
    }
    if (payload && !views) {
        mode_ = Mode::Payload;
        StartPayload();
        timer_.start(5);
    } else if (views || payload) {
        mode_ = Mode::Slices;
        timer_.start(0);
    } else {
        mode_ = Mode::Threads;
        StartThreads();
        timer_.start(2);
    }
}

void ListPresenter::StartThreads()
{
    job_ = std::make_shared<Job>();
    job_->running = 2;
    const std::int64_t mid = last_ / 2;
    const bool ip = tab_ == kTabIp;
    for (int part = 0; part < 2; ++part) {
        const std::int64_t from = part == 0 ? 1 : mid + 1;
        const std::int64_t to = part == 0 ? mid : last_;
        Job* job = job_.get();
        job->rows[part].reserve(static_cast<std::size_t>(to - from + 1) / 4);
        job->threads[part] = std::thread([job, part, from, to, ip, rules = rules_, records = records_] {
            const ThreadContext context(*rules, -1, 0);
            Scan(*rules, records, context, from, to, job->rows[part], ip ? &job->seen[part] : nullptr, job->cancel);
            job->running.fetch_sub(1, std::memory_order_release);
        });
    }
}

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

void ListPresenter::Finish()
{
    while (busy_) {
        if (phase_ == Phase::Rows && job_ && mode_ != Mode::Slices)
            job_->Join();
        Tick();
    }
}

void ListPresenter::ClearRows()
{
    if (busy_) {
        Stop();
        if (mode_ == Mode::Payload && onProgress)
            onProgress(-1);
    }
    list_.clear();
    pairs_.clear();
    later_.clear();
    found_.clear();
    treeAt_ = 0;
}

void ListPresenter::Tick()
{
    QElapsedTimer clock;
    clock.start();
    if (phase_ == Phase::Rows) {
        bool done = false;
        switch (mode_) {
        case Mode::Threads:
            if (job_->running.load(std::memory_order_acquire) == 0) {
                job_->Join();
                std::vector<std::uint64_t>& first = job_->rows[0];
                std::vector<std::uint64_t>& second = job_->rows[1];
                if (tab_ == kTabIp) {
                    // A pair the first half showed is not shown again by the second.
                    const PairSet& seen = job_->seen[0];
                    std::erase_if(second, [&](std::uint64_t v) {
                        return seen.count(MakePair(records_.at(static_cast<std::int64_t>(v & ~PacketListModel::kSentRow))));
                    });
                    pairs_ = std::move(job_->seen[0]);
                    pairs_.insert(job_->seen[1].begin(), job_->seen[1].end());
                }
                list_.appendMany(first, prefs_.bPorts, prefs_.Prefs);
                list_.appendMany(second, prefs_.bPorts, prefs_.Prefs);
                list_.endBurst();
                job_.reset();
                done = true;
            }
            break;
        case Mode::Slices:
            done = SliceRows();
            break;
        case Mode::Payload:
            if (job_) {
                if (TakePayloadRows()) {
                    at_ = job_->stoppedAt;
                    job_.reset();
                }
            } else {
                done = SliceTail();
            }
            break;
        }
        if (!done) {
            if (mode_ == Mode::Payload)
                FeedTree(clock);
            return;
        }
        RowsComplete();
    }
    if (FeedTree(clock)) {
        timer_.stop();
        busy_ = false;
        if (onDone)
            onDone();
    }
}

bool ListPresenter::SliceRows()
{
    QElapsedTimer clock;
    clock.start();
    const std::int64_t n = std::min(sliceRecords_, last_ - at_ + 1);
    // The views do not change while the slice runs: both halves may read them,
    // unless payloads are read (the working file is read on this thread only).
    const bool two = !filter_->UsesPayload() && n >= 4096;
    std::vector<std::uint64_t> a, b;
    if (two) {
        const std::int64_t mid = at_ + n / 2;
        std::thread other([&] { Scan(*rules_, records_, context_, at_, mid - 1, a, nullptr, kNeverCancelled); });
        Scan(*rules_, records_, context_, mid, at_ + n - 1, b, nullptr, kNeverCancelled);
        other.join();
    } else {
        Scan(*rules_, records_, context_, at_, at_ + n - 1, a, nullptr, kNeverCancelled);
    }
    for (const auto* part : {&a, &b})
        for (const std::uint64_t v : *part)
            if (tab_ != kTabIp
                || pairs_.insert(MakePair(records_.at(static_cast<std::int64_t>(v & ~PacketListModel::kSentRow))))
                       .second)
                found_.push_back(v);
    at_ += n;
    const qint64 took = clock.elapsed();
    if (took * 2 < kSliceMs)
        sliceRecords_ *= 2;
    else if (took > kSliceMs && sliceRecords_ > 1024)
        sliceRecords_ /= 2;
    if (at_ <= last_)
        return false;
    AppendRows(found_);
    return true;
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

void ListPresenter::AppendRows(std::vector<std::uint64_t>& rows)
{
    if (rows.empty())
        return;
    list_.appendMany(rows, prefs_.bPorts, prefs_.Prefs);
    list_.endBurst();
    rows.clear();
    rows.shrink_to_fit();
}

void ListPresenter::RowsComplete()
{
    if (tab_ == kTabIp)
        std::erase_if(later_, [&](std::uint64_t v) {
            return !pairs_.insert(MakePair(store_.at(static_cast<std::int64_t>(v & ~PacketListModel::kSentRow))))
                        .second;
        });
    AppendRows(later_);
    phase_ = Phase::Tree;
    if (timer_.isActive())
        timer_.setInterval(0);  // the tree is fed in slices, one after the other
    if (mode_ == Mode::Payload && onProgress)
        onProgress(-1);
    if (onRowsShown)
        onRowsShown();
}

bool ListPresenter::FeedTree(const QElapsedTimer& clock)
{
    // The tree's memory is asked for some rows ahead: its lookups, not the
    // walk of the rows, take the time.
    constexpr std::size_t kAhead = 16;
    const std::size_t total = list_.totalRows();
    while (treeAt_ < total) {
        const std::size_t end = std::min(total, treeAt_ + 2048);
        for (; treeAt_ < end; ++treeAt_) {
            if (treeAt_ + kAhead < total) {
                const clV& ahead = list_.recordOf(treeAt_ + kAhead);
                tree_.Prefetch(ahead.mSrcAddr, ahead.mSrcPort, ahead.mDestAddr, ahead.mDestPort);
            }
            const clV& r = list_.recordOf(treeAt_);
            tree_.AddToHostTree(r.mSrcAddr, r.mSrcPort, r.mDestAddr, r.mDestPort);
        }
        if (clock.elapsed() >= kSliceMs)
            break;
    }
    tree_.endBurst();
    return phase_ == Phase::Tree && treeAt_ >= list_.totalRows();
}

}  // namespace quillet
