#pragma once

#include <cstdint>
#include <memory>
#include <string>
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

// What a filter asks of the world beyond the record; the views implement it.
// A filter calls only the parts for the fields it uses; the calls may come
// from several threads at once.
class DisplayFilterContext {
public:
    virtual ~DisplayFilterContext() = default;
    // Whether the address is one of the machine's own (sent / received).
    virtual bool IsLocal(const AddressText& address) const = 0;
    // The program column's text of the row.
    virtual QString ProgramOf(std::int64_t seq, const clV& record) const = 0;
    // Appends the names the host tree shows for the address.
    virtual void NamesOf(const AddressText& address, std::vector<QString>& out) const = 0;
    // The row's payload bytes into bytes (may read a file); false when they
    // cannot be read.
    virtual bool PayloadOf(std::int64_t seq, const clV& record, std::string& bytes) const = 0;
};

// A display filter: a text in the filter language compiled once, then asked
// of each row. Compiled filters never change and may be shared by threads.
//
// The language: fields (FieldNames(): tcp, ip.addr, ipv6.src, port,
// udp.dstport, ip.proto, len, payload, host, program, sent, …) compared
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
};

}  // namespace quillet
