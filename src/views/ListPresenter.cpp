#include "views/ListPresenter.h"

#include "views/ListPresenterParts.h"

namespace quillet {

using namespace list_rebuild;

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
    // The filter is asked for a run of records at a time, then the tab's rule.
    constexpr std::size_t kSpan = 4096;
    std::uint8_t passed[kSpan];
    for (std::int64_t seq = from; seq <= to;) {
        if (cancel.load(std::memory_order_relaxed))
            return;
        const std::size_t n = records.Contiguous(seq, std::min<std::uint64_t>(kSpan, static_cast<std::uint64_t>(to - seq + 1)));
        const clV* run = &records.at(seq);
        if (rules.filter)
            rules.filter->MatchSpan(seq, run, n, context, passed);
        for (std::size_t k = 0; k < n; ++k) {
            bool sent = false;
            if ((rules.filter && !passed[k]) || !rules.TabPasses(run[k], sent))
                continue;
            if (seen && !seen->insert(MakePair(run[k])).second)
                continue;
            out.push_back(static_cast<std::uint64_t>(seq + static_cast<std::int64_t>(k))
                          | (sent ? PacketListModel::kSentRow : 0));
        }
        seq += static_cast<std::int64_t>(n);
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
