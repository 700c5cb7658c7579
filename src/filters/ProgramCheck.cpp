// The program check: the owners' names resolved once per version of the
// context's owners, then each row a look-up by its owners' numbers.
#include <algorithm>
#include <vector>

#include "filters/DisplayFilter.h"
#include "filters/DisplayFilterProgram.h"
#include "filters/VerdictCache.h"

namespace quillet {

// Whether each owner's name passes one program check, by owner number.
class ProgramVerdicts {
public:
    explicit ProgramVerdicts(std::uint64_t version) : version_(version) {}
    std::uint64_t Version() const { return version_; }

    void Fill(const FilterCheck& c, const DisplayFilterContext& context)
    {
        passes_.assign(context.ProgramCount(), 0);
        for (std::uint32_t id = 1; id < passes_.size(); ++id)
            passes_[id] = ProgramHolds(c, context.ProgramName(id)) ? 1 : 0;
    }
    // A number past those resolved has no name at this version.
    bool Passes(std::uint32_t id) const { return id < passes_.size() && passes_[id] != 0; }

private:
    std::uint64_t version_;
    std::vector<std::uint8_t> passes_;  // 0: none, never passes
};

namespace {

// The owners' verdicts at the context's version, made now when not made
// yet; nullptr when the context numbers no owners.
const ProgramVerdicts* Resolve(const FilterCheck& c, const DisplayFilterContext& context)
{
    const std::uint64_t version = context.ProgramsVersion();
    if (version == 0 || !c.programVerdicts)
        return nullptr;
    return &c.programVerdicts->Get(version, [&](ProgramVerdicts& v) { v.Fill(c, context); });
}

// A row of two owners shows both names: its text is asked, as the column
// shows it.
inline bool ByIds(const FilterCheck& c, const ProgramVerdicts& verdicts, ProgramIds ids,
                  const DisplayFilterContext& context)
{
    if (ids.second == 0)
        return verdicts.Passes(ids.first);
    return ProgramHolds(c, context.ProgramName(ids.first) + QStringLiteral(", ") + context.ProgramName(ids.second));
}

bool Program(const FilterCheck& c, std::int64_t seq, const clV& r, const DisplayFilterContext& context)
{
    if (const ProgramVerdicts* verdicts = Resolve(c, context)) {
        ProgramIds ids;
        context.ProgramIdsOf(seq, &r, 1, &ids);
        return ByIds(c, *verdicts, ids, context);
    }
    return ProgramHolds(c, context.ProgramOf(seq, r));
}

bool NegatedProgram(const FilterCheck& c, std::int64_t seq, const clV& r, const DisplayFilterContext& context)
{
    return !Program(c, seq, r, context);
}

// Consecutive rows: the owners resolved once, their numbers asked a run at
// a time.
template <bool Negate, bool And>
void ProgramSpan(const FilterCheck& c, std::int64_t firstSeq, const clV* records, std::size_t count,
                 const DisplayFilterContext& context, std::uint8_t* passed)
{
    const auto put = [passed](std::size_t i, bool hit) {
        const auto b = static_cast<std::uint8_t>(hit != Negate);
        if constexpr (And)
            passed[i] &= b;
        else
            passed[i] |= b;
    };
    const ProgramVerdicts* verdicts = Resolve(c, context);
    if (verdicts == nullptr) {
        for (std::size_t i = 0; i < count; ++i)
            put(i, ProgramHolds(c, context.ProgramOf(firstSeq + static_cast<std::int64_t>(i), records[i])));
        return;
    }
    constexpr std::size_t kRun = 512;
    ProgramIds ids[kRun];
    for (std::size_t at = 0; at < count; at += kRun) {
        const std::size_t n = std::min(kRun, count - at);
        context.ProgramIdsOf(firstSeq + static_cast<std::int64_t>(at), records + at, n, ids);
        for (std::size_t i = 0; i < n; ++i)
            put(at + i, ByIds(c, *verdicts, ids[i], context));
    }
}

}  // namespace

void SetProgramRuns(FilterCheck& c)
{
    c.programVerdicts = std::make_shared<ProgramVerdictCache>();
    c.run = c.negate ? NegatedProgram : Program;
    c.andSpan = c.negate ? ProgramSpan<true, true> : ProgramSpan<false, true>;
    c.orSpan = c.negate ? ProgramSpan<true, false> : ProgramSpan<false, false>;
}

}  // namespace quillet
