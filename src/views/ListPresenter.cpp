#include "views/ListPresenter.h"

#include <sys/mman.h>

#include <utility>

#include "views/ListPresenterParts.h"

namespace quillet {

using namespace list_rebuild;

ListPresenter::ListPresenter(const PacketStore& store, PacketListModel& list, HostTreeModel& tree,
                             const PortPreferences& prefs, const DisplayFilterContext& context)
    : store_(store), list_(list), tree_(tree), prefs_(prefs), context_(context),
      local_(std::make_shared<const std::vector<std::uint64_t>>())
{
    QObject::connect(&timer_, &QTimer::timeout, [this] { Tick(); });
    MakeBuiltInTabs();
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
    return InLocalBits(*local_, address.bits());
}

// --- new packets -------------------------------------------------------------------

namespace {

// Room of millions of rows in pages of 2 MiB where the kernel has them:
// a fault per 2 MiB, not per 4 KiB, as the rows are written.
void AskHugePages(std::vector<std::uint64_t>& rows)
{
    constexpr std::uintptr_t kHuge = std::uintptr_t{2} << 20;
    const auto begin = reinterpret_cast<std::uintptr_t>(rows.data());
    const std::uintptr_t end = begin + rows.capacity() * sizeof(std::uint64_t);
    const std::uintptr_t from = (begin + kHuge - 1) & ~(kHuge - 1);
    const std::uintptr_t to = end & ~(kHuge - 1);
    if (to > from)
        ::madvise(reinterpret_cast<void*>(from), to - from, MADV_HUGEPAGE);
}

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
    const std::uint64_t row = static_cast<std::uint64_t>(seq) | (sent ? PacketListModel::kSentRow : 0);
    if (busy_ && phase_ == Phase::Rows && !cleared_) {
        later_.push_back(row);
        return Arrival::Later;
    }
    if (tab_ == kTabIp && pairs_.find(MakePair(record)) != pairs_.end())
        return Arrival::Hidden;
    if (busy_)
        tail_.push_back(row);  // the tree feed reaches it after the rebuild's rows
    return Arrival::Show;
}

bool ListPresenter::NotePair(const clV& record)
{
    return tab_ == kTabIp && pairs_.insert(MakePair(record)).second;
}

void ListPresenter::TakeBack(std::int64_t seq, const clV& record, bool pairAdded)
{
    const auto last = [seq](const std::vector<std::uint64_t>& rows) {
        return !rows.empty() && static_cast<std::int64_t>(rows.back() & ~PacketListModel::kSentRow) == seq;
    };
    if (last(later_))
        later_.pop_back();
    else if (last(tail_))
        tail_.pop_back();
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
    std::uint64_t rows[kSpan];
    for (std::int64_t seq = from; seq <= to;) {
        if (cancel.load(std::memory_order_relaxed))
            return;
        const std::size_t n = records.Contiguous(seq, std::min<std::uint64_t>(kSpan, static_cast<std::uint64_t>(to - seq + 1)));
        const clV* run = &records.at(seq);
        if (rules.filter)
            rules.filter->MatchSpan(seq, run, n, context, passed);
        else
            std::fill(passed, passed + n, std::uint8_t{1});
        // Few rows pass a selective filter: they are picked out one by
        // one (a branch seldom taken); many, without a branch on each.
        std::size_t passing = 0;
        for (std::size_t k = 0; k < n; ++k)
            passing += passed[k];
        if (passing == 0) {
            seq += static_cast<std::int64_t>(n);
            continue;
        }
        if (seen || passing < n / 8) {
            for (std::size_t k = 0; k < n; ++k) {
                bool sent = false;
                if (!passed[k] || !rules.TabPasses(run[k], sent) || (seen && !seen->insert(MakePair(run[k])).second))
                    continue;
                out.push_back(static_cast<std::uint64_t>(seq + static_cast<std::int64_t>(k))
                              | (sent ? PacketListModel::kSentRow : 0));
            }
        } else {
            // Every row is written and kept or not by its verdict.
            std::size_t kept = 0;
            for (std::size_t k = 0; k < n; ++k) {
                bool sent = false;
                const bool pass = rules.TabPasses(run[k], sent);
                rows[kept] = static_cast<std::uint64_t>(seq + static_cast<std::int64_t>(k))
                             | (sent ? PacketListModel::kSentRow : 0);
                kept += static_cast<std::size_t>(passed[k] & static_cast<std::uint8_t>(pass));
            }
            out.insert(out.end(), rows, rows + kept);
        }
        seq += static_cast<std::int64_t>(n);
    }
}

std::int64_t ListPresenter::UnreadPayloads() const
{
    return unreadInParts_ + context_.PayloadsUnread() - unreadBefore_;
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
    seenPairs_.clear();
    tree_.clear();
    tree_.AddRoots();
    retestFrom_ = 0;
    clearedThrough_ = 0;
    Start(1);
}

void ListPresenter::Start(std::int64_t from)
{
    rows_.clear();
    later_.clear();
    tail_.clear();
    listAt_ = treeAt_ = tailAt_ = 0;
    rules_ = MakeRules();
    records_ = store_.Snapshot();
    unreadInParts_ = 0;
    unreadBefore_ = context_.PayloadsUnread();
    last_ = records_.count();
    at_ = from;
    busy_ = true;
    scanned_ = false;
    cleared_ = false;
    phase_ = Phase::Rows;

    const bool payload = filter_ && filter_->UsesPayload();
    const bool views = filter_ && (filter_->UsesProgram() || filter_->UsesHost() || filter_->UsesStream());
    if (last_ - from < kAtOnce) {
        std::vector<std::uint64_t> rows;
        Scan(*rules_, records_, context_, from, last_, rows, tab_ == kTabIp ? &seenPairs_ : nullptr, kNeverCancelled);
        rows_.Take(std::move(rows));
        scanned_ = true;
        Finish();
        return;
    }
    if (payload && !views && from == 1) {
        mode_ = Mode::Payload;
        StartPayload();
        timer_.start(5);
    } else if (views || payload || from != 1) {
        mode_ = Mode::Slices;
        timer_.start(0);
    } else {
        mode_ = Mode::Threads;
        StartThreads();
        timer_.start(2);
    }
}

void ListPresenter::OwnersChanged(std::int64_t from)
{
    if (!filter_ || !filter_->UsesProgram() || from <= 0)
        return;
    from = std::max(from, clearedThrough_ + 1);  // emptied rows stay gone
    if (from > store_.count())
        return;
    if (busy_) {
        // The running rebuild may have tested them already: once it ends.
        retestFrom_ = retestFrom_ != 0 ? std::min(retestFrom_, from) : from;
        return;
    }
    Retest(from);
}

void ListPresenter::Retest(std::int64_t from)
{
    // The rows shown from there on, and (the IP tab) the pairs only they show.
    const std::size_t kept = list_.rowAtOrAfter(from);
    std::vector<std::uint64_t> shown;
    shown.reserve(list_.totalRows() - kept);
    for (std::size_t r = kept; r < list_.totalRows(); ++r)
        shown.push_back(static_cast<std::uint64_t>(list_.sequenceOf(r)) | (list_.imageOf(r) == 4 ? PacketListModel::kSentRow : 0));
    if (tab_ == kTabIp)
        for (const std::uint64_t v : shown)
            pairs_.erase(MakePair(store_.at(static_cast<std::int64_t>(v & ~PacketListModel::kSentRow))));
    seenPairs_ = tab_ == kTabIp ? pairs_ : PairSet{};
    if (store_.count() - from < kAtOnce) {
        // A few rows: tested now, and the list changed from the first row
        // that differs.
        rules_ = MakeRules();
        std::vector<std::uint64_t> rows;
        Scan(*rules_, store_.Snapshot(), context_, from, store_.count(), rows, tab_ == kTabIp ? &seenPairs_ : nullptr,
             kNeverCancelled);
        if (tab_ == kTabIp)
            pairs_ = std::move(seenPairs_);
        seenPairs_.clear();
        const auto differ = std::mismatch(rows.begin(), rows.end(), shown.begin(), shown.end());
        const auto same = static_cast<std::size_t>(differ.first - rows.begin());
        if (differ.first == rows.end() && differ.second == shown.end())
            return;
        list_.removeFrom(kept + same);
        const std::span<const std::uint64_t> added(rows.data() + same, rows.size() - same);
        list_.appendMany(added, prefs_.bPorts, prefs_.Prefs);
        list_.endBurst();
        FeedTreeRows(added);
        tree_.endBurst();
        if (onRowsShown)
            onRowsShown();
        return;
    }
    // Many: a rebuild from there, the rows before kept and the tree as they are.
    list_.removeFrom(kept);
    Start(from);
}

void ListPresenter::StartThreads()
{
    job_ = std::make_shared<Job>();
    job_->running = 2;
    if (tab_ != kTabIp) {
        StartPieces();
        return;
    }
    // The IP tab: two halves, each keeping the pairs it showed.
    const std::int64_t mid = last_ / 2;
    for (int part = 0; part < 2; ++part) {
        const std::int64_t from = part == 0 ? 1 : mid + 1;
        const std::int64_t to = part == 0 ? mid : last_;
        Job* job = job_.get();
        // Room for every record of the half: only the pages written are
        // memory, and no row is copied as the rows grow.
        job->rows[part].reserve(static_cast<std::size_t>(to - from + 1));
        AskHugePages(job->rows[part]);
        job->threads[part] = std::thread([job, part, from, to, rules = rules_, records = records_] {
            YieldToWindow();
            const ThreadContext context(*rules, -1, 0);
            Scan(*rules, records, context, from, to, job->rows[part], &job->seen[part], job->cancel);
            job->running.fetch_sub(1, std::memory_order_release);
        });
    }
}

void ListPresenter::StartPieces()
{
    // Pieces of consecutive records, taken in turn by whichever thread is
    // free: a thread that shares its core with others leaves more of them to
    // the other one, and both end together. Each thread writes its rows into
    // one buffer of its own, with room for every record (only the pages
    // written are memory); the pieces are read from there in order.
    Job* job = job_.get();
    job->partCount = (last_ + kThreadPiece - 1) / kThreadPiece;
    job->pieces.resize(static_cast<std::size_t>(job->partCount));
    for (int thread = 0; thread < 2; ++thread) {
        auto buffer = std::make_shared<std::vector<std::uint64_t>>();
        buffer->reserve(static_cast<std::size_t>(last_));
        AskHugePages(*buffer);
        job->buffers[thread] = buffer;
        job->threads[thread] = std::thread([job, thread, buffer, last = last_, rules = rules_, records = records_] {
            YieldToWindow();
            const ThreadContext context(*rules, -1, 0);
            for (;;) {
                const std::int64_t k = job->nextPart.fetch_add(1, std::memory_order_relaxed);
                if (k >= job->partCount || job->cancel.load(std::memory_order_relaxed))
                    break;
                const std::int64_t from = 1 + k * kThreadPiece;
                Job::Piece& piece = job->pieces[static_cast<std::size_t>(k)];
                piece.thread = thread;
                piece.begin = buffer->size();
                Scan(*rules, records, context, from, std::min(last, from + kThreadPiece - 1), *buffer, nullptr,
                     job->cancel);
                piece.end = buffer->size();
            }
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
    list_.clear();
    pairs_.clear();
    clearedThrough_ = store_.count();
    // A rebuild under way hands no more rows to the list; the tree still
    // takes all of them, those that arrived meanwhile, then the rows shown
    // from now on.
    if (busy_ && phase_ == Phase::Rows)
        cleared_ = true;
}

void ListPresenter::Tick()
{
    QElapsedTimer clock;
    clock.start();
    if (phase_ == Phase::Rows) {
        if (!scanned_ && ScanStep()) {
            scanned_ = true;
            if (mode_ == Mode::Payload && onProgress)
                onProgress(-1);
            timer_.setInterval(0);  // rows and tree in slices, one after the other
        }
        if (scanned_)
            TakeLater();
        if (!cleared_)
            HandOver(clock);
        if (scanned_ && later_.empty() && (cleared_ || listAt_ == rows_.size()))
            RowsComplete();
    }
    if (FeedTree(clock)) {
        timer_.stop();
        busy_ = false;
        rows_.clear();
        tail_.clear();
        if (onDone)
            onDone();
        // Owners that changed while it ran: their rows are tested again.
        if (const std::int64_t from = std::exchange(retestFrom_, 0); from != 0 && !busy_)
            OwnersChanged(from);
    }
}

bool ListPresenter::ScanStep()
{
    switch (mode_) {
    case Mode::Threads: {
        if (!job_ || job_->running.load(std::memory_order_acquire) != 0)
            return false;
        job_->Join();
        if (!job_->pieces.empty()) {
            for (const Job::Piece& piece : job_->pieces) {
                const RowRuns::Buffer& buffer = job_->buffers[piece.thread];
                rows_.TakePart(buffer, std::span<const std::uint64_t>(*buffer).subspan(piece.begin, piece.end - piece.begin));
            }
            job_.reset();
            return true;
        }
        // The IP tab's halves: a pair the first showed is not shown again by
        // the second.
        std::vector<std::uint64_t>& first = job_->rows[0];
        std::vector<std::uint64_t>& second = job_->rows[1];
        const PairSet& seen = job_->seen[0];
        std::erase_if(second, [&](std::uint64_t v) {
            return seen.count(MakePair(records_.at(static_cast<std::int64_t>(v & ~PacketListModel::kSentRow))));
        });
        seenPairs_ = std::move(job_->seen[0]);
        seenPairs_.insert(job_->seen[1].begin(), job_->seen[1].end());
        rows_.Take(std::move(first));
        rows_.Take(std::move(second));
        job_.reset();
        return true;
    }
    case Mode::Slices: return SliceRows();
    case Mode::Payload:
        if (job_) {
            if (TakePayloadRows())  // at_ is the first record left to this thread
                job_.reset();
            return false;
        }
        return SliceTail();
    }
    return true;
}

bool ListPresenter::SliceRows()
{
    // Runs of records are taken in order, by both cores, until the time of
    // the slice is up: every run taken is finished, so the runs done are the
    // first ones, however long each record takes. The views do not change
    // while the slice runs: both may read them, unless payloads are read
    // (the working file is read on this thread only).
    constexpr std::int64_t kRun = 256;
    constexpr qint64 kWorkNs = qint64{kSliceMs} * 1000000 / 2;
    QElapsedTimer clock;
    clock.start();
    const std::int64_t runs = (last_ - at_) / kRun + 1;
    std::atomic<std::int64_t> next{0};
    struct Done {
        std::int64_t run;
        std::vector<std::uint64_t> rows;
    };
    const auto work = [&](std::vector<Done>& done) {
        for (;;) {
            const std::int64_t k = next.fetch_add(1, std::memory_order_relaxed);
            if (k >= runs)
                return;
            const std::int64_t from = at_ + k * kRun;
            Done d{k, {}};
            Scan(*rules_, records_, context_, from, std::min(last_, from + kRun - 1), d.rows, nullptr,
                 kNeverCancelled);
            done.push_back(std::move(d));
            if (clock.nsecsElapsed() >= kWorkNs)
                return;
        }
    };
    std::vector<Done> mine, theirs;
    if (!filter_->UsesPayload() && runs >= 16) {
        std::thread other([&] { work(theirs); });
        work(mine);
        other.join();
    } else {
        work(mine);
    }
    mine.insert(mine.end(), std::make_move_iterator(theirs.begin()), std::make_move_iterator(theirs.end()));
    std::sort(mine.begin(), mine.end(), [](const Done& a, const Done& b) { return a.run < b.run; });
    for (Done& d : mine) {
        KeepNewPairs(d.rows);
        rows_.Append(d.rows);
    }
    at_ = std::min(last_ + 1, at_ + static_cast<std::int64_t>(mine.size()) * kRun);
    return at_ > last_;
}

void ListPresenter::KeepNewPairs(std::vector<std::uint64_t>& rows)
{
    if (tab_ == kTabIp)
        std::erase_if(rows, [&](std::uint64_t v) {
            return !seenPairs_.insert(MakePair(store_.at(static_cast<std::int64_t>(v & ~PacketListModel::kSentRow))))
                        .second;
        });
}

void ListPresenter::TakeLater()
{
    if (later_.empty())
        return;
    KeepNewPairs(later_);
    rows_.Append(later_);
    later_.clear();
}

void ListPresenter::HandOver(const QElapsedTimer& clock)
{
    if (listAt_ == rows_.size())
        return;
    const std::size_t end = std::min(rows_.size(), listAt_ + std::max<std::size_t>(1, handOverRows));
    while (listAt_ < end) {
        const std::span<const std::uint64_t> piece = rows_.From(listAt_, std::min(kPieceRows, end - listAt_));
        list_.appendMany(piece, prefs_.bPorts, prefs_.Prefs);
        listAt_ += piece.size();
        if (clock.elapsed() >= kHandOverMs)
            break;
    }
    list_.endBurst();
    if (onRowsShown)
        onRowsShown();
}

void ListPresenter::RowsComplete()
{
    phase_ = Phase::Tree;
    if (tab_ == kTabIp && !cleared_)
        pairs_ = std::move(seenPairs_);  // the list shows these pairs now
    seenPairs_.clear();
    if (!cleared_ && onRowsShown)
        onRowsShown();
}

void ListPresenter::FeedTreeRows(std::span<const std::uint64_t> rows)
{
    // The tree's memory is asked for some rows ahead: its lookups, not the
    // walk of the rows, take the time.
    constexpr std::size_t kAhead = 16;
    const auto record = [&](std::size_t i) -> const clV& {
        return store_.at(static_cast<std::int64_t>(rows[i] & ~PacketListModel::kSentRow));
    };
    for (std::size_t i = 0; i < rows.size(); ++i) {
        if (i + kAhead < rows.size()) {
            const clV& ahead = record(i + kAhead);
            tree_.Prefetch(ahead.mSrcAddr, ahead.mSrcPort, ahead.mDestAddr, ahead.mDestPort);
        }
        const clV& r = record(i);
        tree_.AddToHostTree(r.mSrcAddr, r.mSrcPort, r.mDestAddr, r.mDestPort);
    }
}

bool ListPresenter::FeedTree(const QElapsedTimer& clock)
{
    // The rebuild's rows in order, then, once they are all known, the rows
    // shown since; the clock is read every 512 rows.
    constexpr std::size_t kStep = 512;
    while (clock.elapsed() < kSliceMs) {
        if (treeAt_ < rows_.size()) {
            const std::span<const std::uint64_t> rows = rows_.From(treeAt_, kStep);
            FeedTreeRows(rows);
            treeAt_ += rows.size();
        } else if (phase_ == Phase::Tree && tailAt_ < tail_.size()) {
            const std::size_t n = std::min(kStep, tail_.size() - tailAt_);
            FeedTreeRows({tail_.data() + tailAt_, n});
            tailAt_ += n;
        } else {
            break;
        }
    }
    tree_.endBurst();
    return phase_ == Phase::Tree && treeAt_ == rows_.size() && tailAt_ == tail_.size();
}

}  // namespace quillet
