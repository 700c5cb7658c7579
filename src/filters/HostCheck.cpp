#include "filters/DisplayFilter.h"

#include <vector>

#include "filters/DisplayFilterProgram.h"
#include "filters/HostVerdicts.h"

namespace quillet {

namespace {

using Test = FilterCheck::Test;

// The answer of a host check from the verdicts of both addresses.
inline bool HostAnswer(Test t, std::uint8_t verdict)
{
    const bool any = (verdict & HostVerdicts::kNamed) != 0;
    const bool hit = (verdict & HostVerdicts::kHit) != 0;
    return t == Test::Present ? any : t == Test::None ? any && !hit : hit;
}

// The verdict of one address's names, asked of the context.
std::uint8_t VerdictByNames(const FilterCheck& c, const AddressText& a, const DisplayFilterContext& context,
                            std::vector<QString>& names)
{
    names.clear();
    context.NamesOf(a, names);
    std::uint8_t verdict = names.empty() ? 0 : HostVerdicts::kNamed;
    if (c.test != Test::Present)
        for (const QString& name : names)
            if (TextHolds(c, name)) {
                verdict |= HostVerdicts::kHit;
                break;
            }
    return verdict;
}

// The names of both addresses, asked of the context row by row.
bool HostByNames(const FilterCheck& c, const clV& r, const DisplayFilterContext& context)
{
    std::vector<QString> names;
    const std::uint8_t verdict = VerdictByNames(c, r.mSrcAddr, context, names);
    return HostAnswer(c.test, verdict | VerdictByNames(c, r.mDestAddr, context, names));
}

// An address's verdict: a look-up for an address of either family; another
// text (or none) is asked of the context.
inline std::uint8_t SideVerdict(const FilterCheck& c, const HostVerdicts& verdicts, const AddressText& a,
                                const DisplayFilterContext& context)
{
    HostAddress host = 0;
    if (a.host(host))
        return verdicts.Of(host);
    if (a.empty())
        return 0;
    std::vector<QString> names;
    return VerdictByNames(c, a, context, names);
}

inline bool HostByVerdicts(const FilterCheck& c, const HostVerdicts& verdicts, const clV& r,
                           const DisplayFilterContext& context)
{
    return HostAnswer(c.test,
                      SideVerdict(c, verdicts, r.mSrcAddr, context) | SideVerdict(c, verdicts, r.mDestAddr, context));
}

// The check's verdicts at the context's names, made now when not made yet;
// nullptr when the context gives no whole list of names.
const HostVerdicts* Resolve(const FilterCheck& c, const DisplayFilterContext& context)
{
    const HostNamesVersion version = context.NamesVersion();
    if (version == HostNamesVersion{} || !c.hostVerdicts)
        return nullptr;
    return &c.hostVerdicts->Get(version, [&](HostVerdicts& verdicts) {
        context.EachHostName([&](HostAddress address, const QString& name) {
            const bool hit = c.test != Test::Present && TextHolds(c, name);
            verdicts.Add(address, HostVerdicts::kNamed | (hit ? HostVerdicts::kHit : 0));
        });
        const bool needsNamed = c.test == Test::Present || c.test == Test::None;
        verdicts.Seal(needsNamed ? HostVerdicts::kNamed : HostVerdicts::kHit);
    });
}

// One row: the verdicts when they are made for the context's names (a
// rebuild made them), else the names asked row by row.
bool Host(const FilterCheck& c, std::int64_t, const clV& r, const DisplayFilterContext& context)
{
    const HostNamesVersion version = context.NamesVersion();
    if (version != HostNamesVersion{} && c.hostVerdicts)
        if (const HostVerdicts* verdicts = c.hostVerdicts->Current(version))
            return HostByVerdicts(c, *verdicts, r, context);
    return HostByNames(c, r, context);
}

// Consecutive rows: the names resolved once for all of them.
template <bool Negate, bool And>
void HostSpan(const FilterCheck& c, std::int64_t, const clV* records, std::size_t count,
              const DisplayFilterContext& context, std::uint8_t* passed)
{
    const HostVerdicts* verdicts = Resolve(c, context);
    for (std::size_t i = 0; i < count; ++i) {
        const bool hit = verdicts ? HostByVerdicts(c, *verdicts, records[i], context)
                                  : HostByNames(c, records[i], context);
        const auto b = static_cast<std::uint8_t>(hit != Negate);
        if constexpr (And)
            passed[i] &= b;
        else
            passed[i] |= b;
    }
}

bool NegatedHost(const FilterCheck& c, std::int64_t seq, const clV& r, const DisplayFilterContext& context)
{
    return !Host(c, seq, r, context);
}

}  // namespace

void SetHostRuns(FilterCheck& c)
{
    c.hostVerdicts = std::make_shared<HostVerdictCache>();
    c.run = c.negate ? NegatedHost : Host;
    c.andSpan = c.negate ? HostSpan<true, true> : HostSpan<false, true>;
    c.orSpan = c.negate ? HostSpan<true, false> : HostSpan<false, false>;
}

void ResolveHostNames(const FilterCheck& c, const DisplayFilterContext& context)
{
    Resolve(c, context);
}

}  // namespace quillet
