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
inline bool One(const FilterCheck& c, bool present, std::uint64_t x)
{
    if (!present)
        return false;
    switch (c.test) {
    case Test::Present: return true;
    case Test::None: return !c.numbers.holds(x);
    default: return c.numbers.holds(x);
    }
}

// A field of up to two values: how many the row has and whether one of
// them is in the set.
inline bool Two(const FilterCheck& c, int count, bool hit)
{
    switch (c.test) {
    case Test::Present: return count > 0;
    case Test::None: return count > 0 && !hit;
    default: return hit;
    }
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

bool TextHolds(const FilterCheck& c, const QString& t)
{
    switch (c.test) {
    case Test::Contains: return t.contains(c.textNeedle);
    case Test::Matches: return c.regex.match(t).hasMatch();
    default: return std::find(c.texts.begin(), c.texts.end(), t) != c.texts.end();
    }
}

bool Texts(const FilterCheck& c, const std::vector<QString>& values)
{
    bool hit = false;
    for (const QString& v : values)
        if (TextHolds(c, v)) {
            hit = true;
            break;
        }
    return Two(c, static_cast<int>(values.size()), hit);
}

bool PayloadHolds(const FilterCheck& c, const std::string& bytes)
{
    switch (c.test) {
    case Test::Present: return true;
    case Test::Contains: return bytes.find(c.byteNeedle) != std::string::npos;
    case Test::Matches:
        return c.regex.match(QString::fromLatin1(bytes.data(), static_cast<qsizetype>(bytes.size()))).hasMatch();
    case Test::None: return std::find(c.blobs.begin(), c.blobs.end(), bytes) == c.blobs.end();
    case Test::Any: return std::find(c.blobs.begin(), c.blobs.end(), bytes) != c.blobs.end();
    }
    return false;
}

}  // namespace

bool EvaluateCheck(const FilterCheck& c, std::int64_t seq, const clV& r, const DisplayFilterContext& context)
{
    switch (c.field) {
    case FilterField::Protocol: {
        std::uint32_t p = 0;
        const bool present = r.mProtocol.packed(p);
        return One(c, present, p & 0xFF);  // ICMPv6 is held as 0x100 | 58
    }
    case FilterField::Family4: {
        std::uint32_t v = 0;
        return r.mSrcAddr.packed(v);
    }
    case FilterField::Family6: return r.mSrcAddr.ipv6();
    case FilterField::Sent: return context.IsLocal(r.mSrcAddr);
    case FilterField::Received: return !context.IsLocal(r.mSrcAddr);
    case FilterField::Addr4: {
        std::uint32_t s = 0;
        std::uint32_t d = 0;
        const bool hasSrc = c.src && r.mSrcAddr.packed(s);
        const bool hasDest = c.dest && r.mDestAddr.packed(d);
        const bool hit = (hasSrc && c.numbers.holds(IPv4Number(s))) || (hasDest && c.numbers.holds(IPv4Number(d)));
        return Two(c, int{hasSrc} + int{hasDest}, hit);
    }
    case FilterField::Addr6: {
        U128 s = 0;
        U128 d = 0;
        const bool hasSrc = c.src && IPv6Number(r.mSrcAddr, s);
        const bool hasDest = c.dest && IPv6Number(r.mDestAddr, d);
        const bool hit = (hasSrc && c.v6.holds(s)) || (hasDest && c.v6.holds(d));
        return Two(c, int{hasSrc} + int{hasDest}, hit);
    }
    case FilterField::Addr: {
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
        return Two(c, count, hit);
    }
    case FilterField::Port: {
        std::uint32_t p = 0;
        if (!r.mProtocol.packed(p) || (c.protocol != 0 ? p != c.protocol : (p != 6 && p != 17)))
            return false;
        std::uint32_t s = 0;
        std::uint32_t d = 0;
        const bool hasSrc = c.src && r.mSrcPort.packed(s);
        const bool hasDest = c.dest && r.mDestPort.packed(d);
        const bool hit = (hasSrc && c.numbers.holds(s)) || (hasDest && c.numbers.holds(d));
        return Two(c, int{hasSrc} + int{hasDest}, hit);
    }
    case FilterField::Len: {
        std::uint64_t size = 0;
        const bool present = SizeOf(r.mSize, size);
        return One(c, present, size);
    }
    case FilterField::Program: {
        const QString program = context.ProgramOf(seq, r);
        if (program.isEmpty())
            return false;
        return c.test == Test::Present || (c.test == Test::None ? !TextHolds(c, program) : TextHolds(c, program));
    }
    case FilterField::Host: {
        std::vector<QString> names;
        context.NamesOf(r.mSrcAddr, names);
        context.NamesOf(r.mDestAddr, names);
        return Texts(c, names);
    }
    case FilterField::Payload: {
        std::string bytes;
        if (r.mData.empty() || !context.PayloadOf(seq, r, bytes) || bytes.empty())
            return false;
        return PayloadHolds(c, bytes);
    }
    }
    return false;
}

namespace {

bool Evaluate(const DisplayFilter::Program& p, std::uint32_t index, std::int64_t seq, const clV& r,
              const DisplayFilterContext& context)
{
    using Op = DisplayFilter::Program::Op;
    const DisplayFilter::Program::Node& n = p.nodes[index];
    switch (n.op) {
    case Op::Check: return EvaluateCheck(p.checks[n.first], seq, r, context);
    case Op::Not: return !Evaluate(p, p.kids[n.first], seq, r, context);
    case Op::And:
        for (std::uint32_t k = n.first; k < n.first + n.count; ++k)
            if (!Evaluate(p, p.kids[k], seq, r, context))
                return false;
        return true;
    case Op::Or:
        for (std::uint32_t k = n.first; k < n.first + n.count; ++k)
            if (Evaluate(p, p.kids[k], seq, r, context))
                return true;
        return false;
    }
    return false;
}

}  // namespace

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
    }
    filter->program_ = std::move(program);
    return filter;
}

bool DisplayFilter::Matches(std::int64_t seq, const clV& record, const DisplayFilterContext& context) const
{
    return Evaluate(*program_, program_->root, seq, record, context);
}

}  // namespace quillet
