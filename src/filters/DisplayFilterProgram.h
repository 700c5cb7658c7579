#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <QRegularExpression>
#include <QString>

#include "filters/DisplayFilter.h"
#include "filters/PayloadExpression.h"

namespace quillet {

// Values of one kind as closed ranges, sorted and merged, so equality, a
// CIDR block, an in-set and an ordering are all "the value is in one of the
// ranges".
template <class T>
class RangeSet {
public:
    void add(T lo, T hi) { ranges_.push_back({lo, hi}); }
    // Sorts and merges; call once after the last add.
    void seal();
    bool empty() const { return ranges_.empty(); }
    bool holds(T x) const
    {
        // Few ranges: a scan without branches to mispredict.
        if (ranges_.size() <= 4) {
            bool in = false;
            for (const Range& r : ranges_)
                in |= (x >= r.lo) & (x <= r.hi);
            return in;
        }
        std::size_t lo = 0;
        std::size_t hi = ranges_.size();
        while (lo < hi) {
            const std::size_t mid = (lo + hi) / 2;
            if (ranges_[mid].hi < x)
                lo = mid + 1;
            else
                hi = mid;
        }
        return lo < ranges_.size() && ranges_[lo].lo <= x;
    }

private:
    struct Range {
        T lo, hi;
    };
    std::vector<Range> ranges_;
};

using U128 = unsigned __int128;

// What one comparison reads of a row.
enum class FilterField : std::uint8_t {
    Protocol,  // the protocol number (ICMPv6 as 58); tcp, udp, icmp, icmpv6 too
    Family4,   // ip: an IPv4 row
    Family6,   // ipv6: an IPv6 row
    Sent,      // the source is one of the machine's own addresses
    Received,  // it is not
    Addr4,     // the IPv4 addresses of the sides asked
    Addr6,     // the IPv6 addresses of the sides asked
    Addr,      // the addresses of either family
    Port,      // the ports of the sides asked, of the protocol asked
    Len,       // the payload size
    Program,   // the program column's text
    Host,      // the names of both addresses
    Payload,   // the payload bytes
    Stream,    // the number of the row's conversation, of the protocol asked
};

struct FilterCheck;
template <class Verdicts, class Version>
class VerdictCache;
class HostVerdicts;
class ProgramVerdicts;
using HostVerdictCache = VerdictCache<HostVerdicts, HostNamesVersion>;
using ProgramVerdictCache = VerdictCache<ProgramVerdicts, std::uint64_t>;
using FilterCheckRun = bool (*)(const FilterCheck&, std::int64_t seq, const clV&, const DisplayFilterContext&);
// The check over consecutive records, its result and-ed or or-ed into passed.
using FilterCheckSpan = void (*)(const FilterCheck&, std::int64_t firstSeq, const clV* records, std::size_t count,
                                 const DisplayFilterContext&, std::uint8_t* passed);

// One comparison of one field, compiled: the row's values of the field
// (none, one or two) against what the filter asks.
struct FilterCheck {
    FilterCheckRun run = nullptr;  // the check, made for this field and test (PrepareChecks)
    FilterCheckSpan andSpan = nullptr;
    FilterCheckSpan orSpan = nullptr;
    FilterField field = FilterField::Protocol;
    bool src = true;   // the source's value counts (two-valued fields)
    bool dest = true;  // the destination's value counts
    std::uint32_t protocol = 0;  // Port: only rows of this protocol (0: TCP or UDP); Stream: 6 or 17

    enum class Test : std::uint8_t {
        Present,   // the row has the field at all (a field alone)
        Any,       // some value is in the set (==, <, in …)
        None,      // the row has the field and no value is in the set (!=)
        Contains,  // some value contains needle
        Matches,   // some value matches regex
    };
    Test test = Test::Present;
    bool negate = false;  // the check under a not: its answer turned over

    RangeSet<std::uint64_t> numbers;  // ports, protocol, size, IPv4 addresses (host order)
    RangeSet<U128> v6;                // IPv6 addresses, the first byte highest
    std::vector<QString> texts;       // program, host: the texts of an equality or in-set
    std::vector<std::string> blobs;   // payload: the bytes of an equality or in-set
    QString textNeedle;               // program, host: contains
    std::string byteNeedle;           // payload: contains
    QRegularExpression regex;         // matches (case-insensitive)
    // payload matches: the expression is a plain ASCII text (literal), here
    // in lower case, searched without the expression; or, when not literal,
    // a text every match holds (or empty): a payload without it fails
    // without the expression.
    bool literal = false;
    std::string literalText;
    std::shared_ptr<const PayloadExpression> expression;  // payload matches: the regex, matched faster
    std::shared_ptr<HostVerdictCache> hostVerdicts;  // host: the names resolved (PrepareChecks)
    std::shared_ptr<ProgramVerdictCache> programVerdicts;  // program: the owners resolved (PrepareChecks)
};

// The compiled filter: a tree of and, or and not over comparisons, in one
// array. Children of a node are consecutive entries of kids.
struct DisplayFilter::Program {
    enum class Op : std::uint8_t { And, Or, Not, Check };
    struct Node {
        Op op = Op::Check;
        std::uint32_t first = 0;  // And, Or, Not: the first child in kids; Check: the check
        std::uint32_t count = 0;  // And, Or, Not: how many children
        // And, Or: every child reads the record only, so all are asked
        // without a branch per child.
        bool strict = false;
    };
    std::vector<Node> nodes;
    std::vector<std::uint32_t> kids;
    std::vector<FilterCheck> checks;
    std::uint32_t root = 0;

    // The common filter, one check or an and / or of checks, as a list.
    bool flat = false;
    Op flatOp = Op::And;
    bool flatStrict = false;
    std::vector<const FilterCheck*> terms;
};

// Compiles a text that is not blank; on a fault fills error and returns
// false. And and or nodes ask the record before the context: the fields of
// the record first, then the direction, the program, the names, the
// payload.
bool CompileDisplayFilter(const QString& text, DisplayFilter::Program& program, DisplayFilterError& error);

// Sets each check's run and the flat list when the filter has that form.
void PrepareChecks(DisplayFilter::Program& program);

// Whether a text (program, host name) passes a check of texts.
bool TextHolds(const FilterCheck& check, const QString& text);
// Sets a host check's runs (HostCheck.cpp): rows are asked of the names
// resolved once per version of the context's names when the context gives
// them whole, else of the names of each row.
void SetHostRuns(FilterCheck& check);
// Resolves a host check's names for the context now, so that each row is a
// look-up.
void ResolveHostNames(const FilterCheck& check, const DisplayFilterContext& context);
// Whether a program column's text passes a program check (no text: never).
bool ProgramHolds(const FilterCheck& check, const QString& text);
// Sets a program check's runs (ProgramCheck.cpp): rows are asked of the
// owners' numbers, their names resolved once per version of the context's
// owners when it numbers them, else of the column's text of each row.
void SetProgramRuns(FilterCheck& check);
// A payload check of a row (PayloadCheck.cpp); a payload the context cannot
// read fails it.
bool PayloadCheck(const FilterCheck& check, std::int64_t seq, const clV& record, const DisplayFilterContext& context);
// Sets a payload expression's plain text, or a text every match holds.
void FindLiteral(FilterCheck& check);

}  // namespace quillet
