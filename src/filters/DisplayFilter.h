#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <QString>
#include <QStringList>

#include "decode/clV.h"

namespace quillet {

// Why a filter text was refused.
struct DisplayFilterError {
    int position = 0;  // 1-based character of the fault
    QString message;   // the whole text to show: "第 12 个字符：…"
};

// Whether bits (an AddressText's bits()) is one of own, sorted.
inline bool InLocalBits(std::span<const std::uint64_t> own, std::uint64_t bits)
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

// Which names a context shows, as the versions of its tables of names;
// equal versions, equal names. All zero: the context gives no whole list.
struct HostNamesVersion {
    std::uint64_t traffic = 0;
    std::uint64_t reverse = 0;
    bool operator==(const HostNamesVersion&) const = default;
};

// The owners a row's program column shows, by number (0: none): first's
// name, then ", " and second's when second is not 0 (it differs from first).
struct ProgramIds {
    std::uint32_t first = 0;
    std::uint32_t second = 0;
};

// What a filter asks of the world beyond the record; the views implement it.
// A filter calls only the parts for the fields it uses; the calls may come
// from several threads at once. The machine's own addresses are handed over
// once, as values, so that sent and received cost no call per row.
class DisplayFilterContext {
public:
    virtual ~DisplayFilterContext() = default;
    // The machine's own addresses as AddressText bits(), sorted. The owner
    // keeps them alive and unchanged while filters run with this context.
    void SetLocalBits(std::span<const std::uint64_t> bits) { localBits_ = bits; }
    std::span<const std::uint64_t> LocalBits() const { return localBits_; }
    // Whether the address is one of them (sent / received).
    bool IsLocal(const AddressText& address) const { return InLocalBits(localBits_, address.bits()); }
    // The program column's text of the row.
    virtual QString ProgramOf(std::int64_t seq, const clV& record) const = 0;
    // The version of the owners' numbers; while it stays the same and is not
    // 0, the numbers 1 .. ProgramCount() - 1 name the same owners
    // (ProgramName) and ProgramIdsOf gives for each row the owners whose
    // names ProgramOf shows (a filter resolves its program checks once per
    // version instead of making the column's text per row). A new number
    // comes with a new version. By default 0: no numbers.
    virtual std::uint64_t ProgramsVersion() const { return 0; }
    virtual std::uint32_t ProgramCount() const { return 0; }
    virtual QString ProgramName(std::uint32_t /*id*/) const { return {}; }
    // The owners of count consecutive rows from firstSeq, their records one
    // after another from records, into ids.
    virtual void ProgramIdsOf(std::int64_t /*firstSeq*/, const clV* /*records*/, std::size_t count,
                              ProgramIds* ids) const
    {
        std::fill(ids, ids + count, ProgramIds{});
    }
    // Appends the names the host tree shows for the address.
    virtual void NamesOf(const AddressText& address, std::vector<QString>& out) const = 0;
    // The version of the names NamesOf gives; while it stays the same,
    // EachHostName gives, for every address of either family, the names
    // NamesOf gives for it (a filter resolves its host checks once per
    // version instead of once per row); an empty address field has no
    // names then. By default no whole list.
    virtual HostNamesVersion NamesVersion() const { return {}; }
    virtual void EachHostName(const std::function<void(HostAddress address, const QString& name)>& /*each*/) const {}
    // The row's payload bytes into bytes (may read a file); false when they
    // cannot be read.
    virtual bool PayloadOf(std::int64_t seq, const clV& record, std::string& bytes) const = 0;
    // The same bytes as a view, valid until this thread asks the context for
    // another row's; false when they cannot be read. A context that reads
    // them in place copies nothing; by default they are PayloadOf's, kept in
    // scratch.
    virtual bool PayloadView(std::int64_t seq, const clV& record, std::string& scratch,
                             std::string_view& bytes) const
    {
        if (!PayloadOf(seq, record, scratch))
            return false;
        bytes = scratch;
        return true;
    }
    // How many payloads PayloadOf or PayloadView could not read so far (a
    // failed read of the working file): a filter counts those rows as not
    // matching, and the window tells how many. By default none.
    virtual std::int64_t PayloadsUnread() const { return 0; }
    // The number of the row's conversation among its protocol's (TCP or
    // UDP), -1 when it has none or the context does not know.
    virtual std::int64_t StreamOf(std::int64_t /*seq*/, const clV& /*record*/) const { return -1; }

private:
    std::span<const std::uint64_t> localBits_;
};

// A display filter: a text in the filter language compiled once, then asked
// of each row. Compiled filters never change and may be shared by threads.
//
// The language: fields (FieldNames(): tcp, ip.addr, ipv6.src, port,
// udp.dstport, tcp.stream, ip.proto, len, payload, host, program, sent, …) compared
// with == != < <= > >= (eq ne lt le gt ge), contains, matches (~, a
// case-insensitive regular expression) and in {53 80 8000..8100}; and / &&,
// or / ||, not / !, parentheses; not binds tighter than and, and tighter
// than or. An address value may be a CIDR block and an IPv6 one any written
// form. A field of two values (addresses, ports, names) compares true when
// either value does, != only when neither equals; a field the row lacks
// makes every comparison false; a field alone asks whether the row has it.
class DisplayFilter {
public:
    // The compiled filter, or nullptr: with *error set when the text is not
    // a filter, with error->position 0 when the text is empty or blank
    // (which means "every row").
    static std::shared_ptr<const DisplayFilter> Compile(const QString& text, DisplayFilterError* error);

    // Whether the row passes. Thread-safe.
    bool Matches(std::int64_t seq, const clV& record, const DisplayFilterContext& context) const;

    // Whether each of count consecutive rows passes: rows firstSeq,
    // firstSeq + 1, … with their records one after another from records;
    // passed[i] is set to 1 or 0. Gives what Matches gives, faster for a
    // filter of the record's fields alone. Thread-safe.
    void MatchSpan(std::int64_t firstSeq, const clV* records, std::size_t count,
                   const DisplayFilterContext& context, std::uint8_t* passed) const;

    // Which parts of the context the filter asks for.
    bool UsesPayload() const { return usesPayload_; }
    bool UsesProgram() const { return usesProgram_; }
    bool UsesHost() const { return usesHost_; }
    bool UsesDirection() const { return usesDirection_; }
    bool UsesStream() const { return usesStream_; }

    const QString& Text() const { return text_; }

    // Every field name the language knows, for completion.
    static const QStringList& FieldNames();

    ~DisplayFilter();
    DisplayFilter(const DisplayFilter&) = delete;
    DisplayFilter& operator=(const DisplayFilter&) = delete;

    struct Program;  // the compiled form (DisplayFilterProgram.h)

private:
    DisplayFilter();

    QString text_;
    std::unique_ptr<Program> program_;
    bool usesPayload_ = false;
    bool usesProgram_ = false;
    bool usesHost_ = false;
    bool usesDirection_ = false;
    bool usesStream_ = false;
};

}  // namespace quillet
