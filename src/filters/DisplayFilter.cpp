#include "filters/DisplayFilter.h"

#include <algorithm>
#include <cstring>

#include "filters/DisplayFilterProgram.h"

namespace quillet {

template <class T>
void RangeSet<T>::seal()
{
    std::sort(ranges_.begin(), ranges_.end(), [](const Range& a, const Range& b) { return a.lo < b.lo; });
    std::vector<Range> merged;
    for (const Range& r : ranges_) {
        if (!merged.empty() && (r.lo <= merged.back().hi || r.lo - 1 == merged.back().hi))
            merged.back().hi = std::max(merged.back().hi, r.hi);
        else
            merged.push_back(r);
    }
    ranges_ = std::move(merged);
}

template class RangeSet<std::uint64_t>;
template class RangeSet<U128>;

namespace {

using Test = FilterCheck::Test;

// A field of one value: absent, or in the set or not.
template <Test T>
inline bool One(const FilterCheck& c, bool present, std::uint64_t x)
{
    if constexpr (T == Test::Present)
        return present;
    else if constexpr (T == Test::None)
        return present & !c.numbers.holds(x);
    else
        return present & c.numbers.holds(x);
}

// A field of up to two values: how many the row has and whether one of
// them is in the set.
template <Test T>
inline bool Two(int count, bool hit)
{
    if constexpr (T == Test::Present)
        return count > 0;
    else if constexpr (T == Test::None)
        return (count > 0) & !hit;
    else
        return hit;
}

inline std::uint64_t IPv4Number(std::uint32_t network)
{
    return __builtin_bswap32(network);
}

// The 128 bits of an IPv6 address field; false for any other field.
inline bool IPv6Number(const AddressText& a, U128& v)
{
    HostAddress host = 0;
    if (!a.host(host) || host < kIPv6Host)
        return false;
    const std::uint8_t* bytes = IPv6Table::At(static_cast<std::uint32_t>(host - kIPv6Host));
    if (bytes == nullptr)
        return false;
    std::uint64_t hi = 0;
    std::uint64_t lo = 0;
    std::memcpy(&hi, bytes, 8);
    std::memcpy(&lo, bytes + 8, 8);
    v = U128{__builtin_bswap64(hi)} << 64 | __builtin_bswap64(lo);
    return true;
}

// The payload size, also when it is kept as a text (past 2^30 - 1).
inline bool SizeOf(const SizeText& size, std::uint64_t& v)
{
    std::uint32_t packed = 0;
    if (size.packed(packed)) {
        v = packed;
        return true;
    }
    if (size.empty())
        return false;
    const auto text = size.text();
    v = 0;
    for (const char c : text.view()) {
        if (c < '0' || c > '9')
            return false;
        v = v * 10 + static_cast<unsigned>(c - '0');
    }
    return true;
}

// --- checks of the record: no branch on the row's values where it can be helped

template <Test T>
bool Protocol(const FilterCheck& c, std::int64_t, const clV& r, const DisplayFilterContext&)
{
    std::uint32_t p = 0;
    const bool present = r.mProtocol.packed(p);
    return One<T>(c, present, p & 0xFF);  // ICMPv6 is held as 0x100 | 58
}

bool Family4(const FilterCheck&, std::int64_t, const clV& r, const DisplayFilterContext&)
{
    std::uint32_t v = 0;
    return r.mSrcAddr.packed(v);
}

bool Family6(const FilterCheck&, std::int64_t, const clV& r, const DisplayFilterContext&)
{
    return r.mSrcAddr.ipv6();
}

// The direction from the addresses the context holds: no call per row.
bool Sent(const FilterCheck&, std::int64_t, const clV& r, const DisplayFilterContext& context)
{
    return InLocalBits(context.LocalBits(), r.mSrcAddr.bits());
}

bool Received(const FilterCheck&, std::int64_t, const clV& r, const DisplayFilterContext& context)
{
    return !InLocalBits(context.LocalBits(), r.mSrcAddr.bits());
}

template <Test T>
bool Addr4(const FilterCheck& c, std::int64_t, const clV& r, const DisplayFilterContext&)
{
    std::uint32_t s = 0;
    std::uint32_t d = 0;
    const bool hasSrc = c.src & r.mSrcAddr.packed(s);
    const bool hasDest = c.dest & r.mDestAddr.packed(d);
    const bool hit = (hasSrc & c.numbers.holds(IPv4Number(s))) | (hasDest & c.numbers.holds(IPv4Number(d)));
    return Two<T>(int{hasSrc} + int{hasDest}, hit);
}

template <Test T>
bool Addr6(const FilterCheck& c, std::int64_t, const clV& r, const DisplayFilterContext&)
{
    U128 s = 0;
    U128 d = 0;
    const bool hasSrc = c.src && IPv6Number(r.mSrcAddr, s);
    const bool hasDest = c.dest && IPv6Number(r.mDestAddr, d);
    const bool hit = (hasSrc && c.v6.holds(s)) || (hasDest && c.v6.holds(d));
    return Two<T>(int{hasSrc} + int{hasDest}, hit);
}

template <Test T>
bool Addr(const FilterCheck& c, std::int64_t, const clV& r, const DisplayFilterContext&)
{
    int count = 0;
    bool hit = false;
    const auto side = [&](bool asked, const AddressText& a) {
        std::uint32_t v4 = 0;
        U128 v6 = 0;
        if (!asked)
            return;
        if (a.packed(v4)) {
            ++count;
            hit = hit || c.numbers.holds(IPv4Number(v4));
        } else if (IPv6Number(a, v6)) {
            ++count;
            hit = hit || c.v6.holds(v6);
        }
    };
    side(c.src, r.mSrcAddr);
    side(c.dest, r.mDestAddr);
    return Two<T>(count, hit);
}

// Ports of TCP (6), UDP (17) or either (0).
template <Test T, std::uint32_t P>
bool Port(const FilterCheck& c, std::int64_t, const clV& r, const DisplayFilterContext&)
{
    std::uint32_t p = 0;
    const bool packed = r.mProtocol.packed(p);
    const bool ours = packed & (P != 0 ? p == P : (p == 6) | (p == 17));
    std::uint32_t s = 0;
    std::uint32_t d = 0;
    const bool hasSrc = ours & c.src & r.mSrcPort.packed(s);
    const bool hasDest = ours & c.dest & r.mDestPort.packed(d);
    const bool hit = (hasSrc & c.numbers.holds(s)) | (hasDest & c.numbers.holds(d));
    return Two<T>(int{hasSrc} + int{hasDest}, hit);
}

template <Test T>
bool Len(const FilterCheck& c, std::int64_t, const clV& r, const DisplayFilterContext&)
{
    std::uint64_t size = 0;
    const bool present = SizeOf(r.mSize, size);
    return One<T>(c, present, size);
}

// --- checks that ask the context

// The conversation's number of a TCP (6) or UDP (17) row.
template <Test T, std::uint32_t P>
bool Stream(const FilterCheck& c, std::int64_t seq, const clV& r, const DisplayFilterContext& context)
{
    std::uint32_t p = 0;
    if (!r.mProtocol.packed(p) || p != P)
        return false;
    const std::int64_t stream = context.StreamOf(seq, r);
    return One<T>(c, stream >= 0, static_cast<std::uint64_t>(stream));
}

}  // namespace

bool TextHolds(const FilterCheck& c, const QString& t)
{
    switch (c.test) {
    case Test::Contains: return t.contains(c.textNeedle);
    case Test::Matches: return c.regex.match(t).hasMatch();
    default: return std::find(c.texts.begin(), c.texts.end(), t) != c.texts.end();
    }
}

bool ProgramHolds(const FilterCheck& c, const QString& program)
{
    if (program.isEmpty())
        return false;
    return c.test == Test::Present || (c.test == Test::None ? !TextHolds(c, program) : TextHolds(c, program));
}

namespace {

#define QUILLET_CHECK_TEMPLATE(Name, Fn) \
    template <Test T>                    \
    struct Name {                        \
        static constexpr FilterCheckRun run = Fn<T>; \
    };
QUILLET_CHECK_TEMPLATE(ProtocolRun, Protocol)
QUILLET_CHECK_TEMPLATE(Addr4Run, Addr4)
QUILLET_CHECK_TEMPLATE(Addr6Run, Addr6)
QUILLET_CHECK_TEMPLATE(AddrRun, Addr)
QUILLET_CHECK_TEMPLATE(LenRun, Len)
#undef QUILLET_CHECK_TEMPLATE
template <Test T>
struct TcpPortRun {
    static constexpr FilterCheckRun run = Port<T, 6>;
};
template <Test T>
struct UdpPortRun {
    static constexpr FilterCheckRun run = Port<T, 17>;
};
template <std::uint32_t P>
struct StreamOfProtocol {
    template <Test T>
    struct Run {
        static constexpr FilterCheckRun run = Stream<T, P>;
    };
};
template <Test T>
struct EitherPortRun {
    static constexpr FilterCheckRun run = Port<T, 0>;
};

// A check over consecutive records, the check itself inlined in the loop.
template <FilterCheckRun F>
void AndSpan(const FilterCheck& c, std::int64_t seq, const clV* records, std::size_t count,
             const DisplayFilterContext& context, std::uint8_t* passed)
{
    for (std::size_t i = 0; i < count; ++i)
        passed[i] &= static_cast<std::uint8_t>(F(c, seq + static_cast<std::int64_t>(i), records[i], context));
}

template <FilterCheckRun F>
void OrSpan(const FilterCheck& c, std::int64_t seq, const clV* records, std::size_t count,
            const DisplayFilterContext& context, std::uint8_t* passed)
{
    for (std::size_t i = 0; i < count; ++i)
        passed[i] |= static_cast<std::uint8_t>(F(c, seq + static_cast<std::int64_t>(i), records[i], context));
}

struct CheckRuns {
    FilterCheckRun run;
    FilterCheckSpan andSpan;
    FilterCheckSpan orSpan;
};

// sent (WantSent) or received over consecutive records: the machine's
// few addresses held in registers, compared with every source without a
// branch.
template <bool WantSent, bool And>
void DirectionSpan(const FilterCheck&, std::int64_t, const clV* records, std::size_t count,
                   const DisplayFilterContext& context, std::uint8_t* passed)
{
    const std::span<const std::uint64_t> own = context.LocalBits();
    constexpr std::size_t kHeld = 8;
    std::uint64_t o[kHeld];
    const bool held = own.size() <= kHeld;
    for (std::size_t k = 0; k < kHeld; ++k)
        o[k] = own.empty() ? 0 : own[std::min(k, own.size() - 1)];  // a repeated address changes nothing
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint64_t bits = records[i].mSrcAddr.bits();
        bool local = false;
        if (held) {
            for (std::size_t k = 0; k < kHeld; ++k)
                local |= bits == o[k];
            local &= !own.empty();
        } else {
            local = InLocalBits(own, bits);
        }
        const auto v = static_cast<std::uint8_t>(local == WantSent);
        passed[i] = And ? static_cast<std::uint8_t>(passed[i] & v) : static_cast<std::uint8_t>(passed[i] | v);
    }
}


template <FilterCheckRun F>
bool Negated(const FilterCheck& c, std::int64_t seq, const clV& r, const DisplayFilterContext& context)
{
    return !F(c, seq, r, context);
}

template <FilterCheckRun F>
CheckRuns Runs(bool negate)
{
    if (negate)
        return {Negated<F>, AndSpan<Negated<F>>, OrSpan<Negated<F>>};
    return {F, AndSpan<F>, OrSpan<F>};
}

// sent or received, over spans by DirectionSpan.
CheckRuns DirectionRuns(bool sentField, bool negate)
{
    const bool sent = sentField != negate;
    CheckRuns runs = Runs<Sent>(false);
    runs.run = sent ? FilterCheckRun{Sent} : FilterCheckRun{Received};
    runs.andSpan = sent ? DirectionSpan<true, true> : DirectionSpan<false, true>;
    runs.orSpan = sent ? DirectionSpan<true, false> : DirectionSpan<false, false>;
    return runs;
}

template <template <Test> class F>
CheckRuns RunsByTest(Test t, bool negate)
{
    switch (t) {
    case Test::Present: return Runs<F<Test::Present>::run>(negate);
    case Test::None: return Runs<F<Test::None>::run>(negate);
    default: return Runs<F<Test::Any>::run>(negate);
    }
}

CheckRuns RunOf(const FilterCheck& c)
{
    switch (c.field) {
    case FilterField::Protocol: return RunsByTest<ProtocolRun>(c.test, c.negate);
    case FilterField::Family4: return Runs<Family4>(c.negate);
    case FilterField::Family6: return Runs<Family6>(c.negate);
    case FilterField::Sent: return DirectionRuns(true, c.negate);
    case FilterField::Received: return DirectionRuns(false, c.negate);
    case FilterField::Addr4: return RunsByTest<Addr4Run>(c.test, c.negate);
    case FilterField::Addr6: return RunsByTest<Addr6Run>(c.test, c.negate);
    case FilterField::Addr: return RunsByTest<AddrRun>(c.test, c.negate);
    case FilterField::Port:
        return c.protocol == 6    ? RunsByTest<TcpPortRun>(c.test, c.negate)
               : c.protocol == 17 ? RunsByTest<UdpPortRun>(c.test, c.negate)
                                  : RunsByTest<EitherPortRun>(c.test, c.negate);
    case FilterField::Len: return RunsByTest<LenRun>(c.test, c.negate);
    case FilterField::Program: break;  // SetProgramRuns
    case FilterField::Host: break;  // SetHostRuns
    case FilterField::Payload: return Runs<PayloadCheck>(c.negate);
    case FilterField::Stream:
        return c.protocol == 6 ? RunsByTest<StreamOfProtocol<6>::Run>(c.test, c.negate)
                               : RunsByTest<StreamOfProtocol<17>::Run>(c.test, c.negate);
    }
    return Runs<Family4>(c.negate);
}

bool Evaluate(const DisplayFilter::Program& p, std::uint32_t index, std::int64_t seq, const clV& r,
              const DisplayFilterContext& context)
{
    using Op = DisplayFilter::Program::Op;
    const DisplayFilter::Program::Node& n = p.nodes[index];
    const std::uint32_t* kid = p.kids.data() + n.first;
    const std::uint32_t* end = kid + n.count;
    switch (n.op) {
    case Op::Check: {
        const FilterCheck& c = p.checks[n.first];
        return c.run(c, seq, r, context);
    }
    case Op::Not: return !Evaluate(p, *kid, seq, r, context);
    case Op::And: {
        if (n.strict) {
            bool all = true;
            for (; kid != end; ++kid)
                all &= Evaluate(p, *kid, seq, r, context);
            return all;
        }
        for (; kid != end; ++kid)
            if (!Evaluate(p, *kid, seq, r, context))
                return false;
        return true;
    }
    case Op::Or: {
        if (n.strict) {
            bool any = false;
            for (; kid != end; ++kid)
                any |= Evaluate(p, *kid, seq, r, context);
            return any;
        }
        for (; kid != end; ++kid)
            if (Evaluate(p, *kid, seq, r, context))
                return true;
        return false;
    }
    }
    return false;
}

}  // namespace

void PrepareChecks(DisplayFilter::Program& p)
{
    using Op = DisplayFilter::Program::Op;
    for (FilterCheck& c : p.checks) {
        if (c.field == FilterField::Host) {
            SetHostRuns(c);
            continue;
        }
        if (c.field == FilterField::Program) {
            SetProgramRuns(c);
            continue;
        }
        if (c.field == FilterField::Payload && c.test == Test::Matches)
            FindLiteral(c);
        const CheckRuns runs = RunOf(c);
        c.run = runs.run;
        c.andSpan = runs.andSpan;
        c.orSpan = runs.orSpan;
    }
    const auto& root = p.nodes[p.root];
    p.terms.clear();
    p.flat = true;
    if (root.op == Op::Check) {
        p.terms.push_back(&p.checks[root.first]);
        p.flatOp = Op::And;
        p.flatStrict = true;
        return;
    }
    if (root.op == Op::And || root.op == Op::Or) {
        for (std::uint32_t k = root.first; k < root.first + root.count; ++k) {
            const auto& kid = p.nodes[p.kids[k]];
            if (kid.op != Op::Check) {
                p.flat = false;
                return;
            }
            p.terms.push_back(&p.checks[kid.first]);
        }
        p.flatOp = root.op;
        p.flatStrict = root.strict;
        return;
    }
    p.flat = false;
}

DisplayFilter::DisplayFilter() = default;
DisplayFilter::~DisplayFilter() = default;

std::shared_ptr<const DisplayFilter> DisplayFilter::Compile(const QString& text, DisplayFilterError* error)
{
    DisplayFilterError unused;
    DisplayFilterError& e = error != nullptr ? *error : unused;
    e = {};
    if (text.trimmed().isEmpty())
        return nullptr;
    auto program = std::make_unique<Program>();
    if (!CompileDisplayFilter(text, *program, e))
        return nullptr;
    std::shared_ptr<DisplayFilter> filter(new DisplayFilter());
    filter->text_ = text;
    for (const FilterCheck& c : program->checks) {
        filter->usesPayload_ |= c.field == FilterField::Payload;
        filter->usesProgram_ |= c.field == FilterField::Program;
        filter->usesHost_ |= c.field == FilterField::Host;
        filter->usesDirection_ |= c.field == FilterField::Sent || c.field == FilterField::Received;
        filter->usesStream_ |= c.field == FilterField::Stream;
    }
    PrepareChecks(*program);
    filter->program_ = std::move(program);
    return filter;
}

bool DisplayFilter::Matches(std::int64_t seq, const clV& record, const DisplayFilterContext& context) const
{
    const Program& p = *program_;
    if (!p.flat)
        return Evaluate(p, p.root, seq, record, context);
    const FilterCheck* const* term = p.terms.data();
    const FilterCheck* const* end = term + p.terms.size();
    if (p.flatStrict) {
        if (p.flatOp == Program::Op::And) {
            bool all = true;
            for (; term != end; ++term)
                all &= (*term)->run(**term, seq, record, context);
            return all;
        }
        bool any = false;
        for (; term != end; ++term)
            any |= (*term)->run(**term, seq, record, context);
        return any;
    }
    if (p.flatOp == Program::Op::And) {
        for (; term != end; ++term)
            if (!(*term)->run(**term, seq, record, context))
                return false;
        return true;
    }
    for (; term != end; ++term)
        if ((*term)->run(**term, seq, record, context))
            return true;
    return false;
}

void DisplayFilter::MatchSpan(std::int64_t firstSeq, const clV* records, std::size_t count,
                              const DisplayFilterContext& context, std::uint8_t* passed) const
{
    const Program& p = *program_;
    if (p.flat && p.flatStrict) {
        const bool all = p.flatOp == Program::Op::And;
        std::fill(passed, passed + count, std::uint8_t{all});
        for (const FilterCheck* term : p.terms)
            (all ? term->andSpan : term->orSpan)(*term, firstSeq, records, count, context, passed);
        return;
    }
    // Host checks deep in the tree resolve their names once for the span.
    if (usesHost_)
        for (const FilterCheck& c : p.checks)
            if (c.field == FilterField::Host)
                ResolveHostNames(c, context);
    for (std::size_t i = 0; i < count; ++i)
        passed[i] = Matches(firstSeq + static_cast<std::int64_t>(i), records[i], context);
}

}  // namespace quillet
