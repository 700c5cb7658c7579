#pragma once

// The parts of a list rebuild shared by the presenter's files: the rules a
// rebuild tests, the state it shares with its threads, and the context on
// those threads. Used by ListPresenter*.cpp only.

#include <algorithm>
#include <atomic>
#include <mutex>
#include <thread>

#include "core/FileWindow.h"
#include "core/YieldToWindow.h"
#include "views/ListPresenter.h"

namespace quillet {
namespace list_rebuild {

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

// The views' context for a packet just captured: its payload is the one given.
class ArrivalContext : public DisplayFilterContext {
public:
    ArrivalContext(const DisplayFilterContext& views, std::span<const std::uint8_t> payload)
        : views_(views), payload_(payload)
    {
        SetLocalBits(views.LocalBits());
    }
    QString ProgramOf(std::int64_t seq, const clV& r) const override { return views_.ProgramOf(seq, r); }
    std::uint64_t ProgramsVersion() const override { return views_.ProgramsVersion(); }
    std::uint32_t ProgramCount() const override { return views_.ProgramCount(); }
    QString ProgramName(std::uint32_t id) const override { return views_.ProgramName(id); }
    void ProgramIdsOf(std::int64_t firstSeq, const clV* records, std::size_t count, ProgramIds* ids) const override
    {
        views_.ProgramIdsOf(firstSeq, records, count, ids);
    }
    void NamesOf(const AddressText& a, std::vector<QString>& out) const override { views_.NamesOf(a, out); }
    HostNamesVersion NamesVersion() const override { return views_.NamesVersion(); }
    void EachHostName(const std::function<void(HostAddress, const QString&)>& each) const override
    {
        views_.EachHostName(each);
    }
    bool PayloadOf(std::int64_t, const clV&, std::string& bytes) const override
    {
        bytes.assign(reinterpret_cast<const char*>(payload_.data()), payload_.size());
        return true;
    }

private:
    const DisplayFilterContext& views_;
    std::span<const std::uint8_t> payload_;
};

inline const std::atomic<bool> kNeverCancelled{false};

}  // namespace list_rebuild

// What a rebuild tests, fixed when it starts, so threads may read it.
struct ListPresenter::Rules {
    int tab = kTabAll;
    bool haveTabFilter = false;
    list_rebuild::FieldFilter fields;
    std::shared_ptr<const std::vector<std::uint64_t>> local;
    std::shared_ptr<const DisplayFilter> filter;

    bool Local(const AddressText& a) const { return local && InLocalBits(*local, a.bits()); }
    // The tab's rule (the IP tab's pairs apart) and the filter.
    bool Passes(std::int64_t seq, const clV& r, const DisplayFilterContext& context, bool& sent) const
    {
        return TabPasses(r, sent) && (!filter || filter->Matches(seq, r, context));
    }
    // The tab's rule alone.
    bool TabPasses(const clV& r, bool& sent) const
    {
        sent = Local(r.mSrcAddr);
        // The direction's tabs give their verdict without a branch on it.
        switch (tab) {
        case kTabAll:
        case kTabIp: return true;
        case kTabReceived: return !sent;
        case kTabSent: return sent;
        default: return haveTabFilter && fields.Admits(r);
        }
    }
};

// Shared by the presenter and its threads; the last owner joins them.
struct ListPresenter::Job {
    std::atomic<bool> cancel{false};
    std::atomic<int> running{0};
    std::vector<std::uint64_t> rows[2];
    PairSet seen[2];
    // A payload filter's threads: the store in parts of consecutive
    // records, each read by the thread that takes it first; the window's
    // thread hands them over in order as they are done.
    struct PayloadPart {
        std::vector<std::uint64_t> rows;
        std::int64_t stoppedAt = 0;  // the first record left to the window's thread, 0 none
        std::int64_t unread = 0;     // payloads of the part that could not be read
        std::atomic<bool> done{false};
    };
    std::unique_ptr<PayloadPart[]> parts;
    std::int64_t partCount = 0;
    std::atomic<std::int64_t> nextPart{0};
    // No part from this record on is begun: an earlier one left it.
    std::atomic<std::int64_t> stopFrom{INT64_MAX};
    std::int64_t partsTaken = 0;            // by the window's thread
    std::thread threads[2];
    // A record filter's pieces (but on the IP tab, whose halves keep their
    // pairs apart): where each piece's rows lie in its thread's buffer.
    struct Piece {
        int thread = 0;
        std::size_t begin = 0, end = 0;
    };
    std::vector<Piece> pieces;
    std::shared_ptr<std::vector<std::uint64_t>> buffers[2];

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
    ThreadContext(const Rules& rules, int fd, std::uint64_t limit)
        : fd_(fd), limit_(limit), window_(fd, limit, kWindow)
    {
        if (rules.local)
            SetLocalBits(*rules.local);
    }

    QString ProgramOf(std::int64_t, const clV&) const override { return {}; }
    void NamesOf(const AddressText&, std::vector<QString>&) const override {}
    // Whether this thread can read the record's payload: in the file for good.
    bool CanRead(const clV& r) const
    {
        return r.mData.empty()
               || (r.mData.headers() != 0 && fd_ >= 0 && r.mData.offset() + r.mData.length() <= limit_);
    }
    bool PayloadOf(std::int64_t seq, const clV& r, std::string& bytes) const override
    {
        std::string_view view;
        if (!PayloadView(seq, r, bytes, view))
            return false;
        bytes.assign(view);
        return true;
    }
    // The bytes in the window: no copy per row.
    bool PayloadView(std::int64_t, const clV& r, std::string&, std::string_view& bytes) const override
    {
        bytes = {};
        if (r.mData.empty())
            return true;
        if (!CanRead(r))
            return false;
        // Payloads come in file order: one read per window, not per packet.
        const std::uint8_t* at = window_.Read(r.mData.offset(), r.mData.length());
        if (!at) {
            ++unread_;
            return false;
        }
        bytes = {reinterpret_cast<const char*>(at), r.mData.length()};
        return true;
    }
    // The window reads no further than end (the part of the file this
    // thread reads now).
    void ReadAheadTo(std::uint64_t end) const { window_.ReadAheadTo(end); }
    std::int64_t PayloadsUnread() const override { return unread_; }

private:
    static constexpr std::uint64_t kWindow = 512 << 10;  // read and searched while in the cache
    int fd_;
    std::uint64_t limit_;
    mutable FileWindow window_;
    mutable std::int64_t unread_ = 0;
};

}  // namespace quillet
