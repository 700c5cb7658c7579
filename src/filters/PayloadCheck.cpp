// The checks of a row's payload: contains, matches and the comparisons of
// its bytes, read through the context.
#include <algorithm>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "filters/DisplayFilterProgram.h"
#include "filters/RequiredText.h"

namespace quillet {

using Test = FilterCheck::Test;

namespace {

inline char AsciiLower(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c | 0x20) : c;
}

// Whether bytes hold lower (ASCII, lower case) in either case: what a
// case-insensitive expression of that plain text finds in them read as
// Latin-1, where only ASCII letters fold to ASCII letters. The places of the
// first character are found 16 bytes at a time.
bool ContainsCaseless(std::string_view bytes, std::string_view lower)
{
    const std::size_t m = lower.size();
    if (m == 0)
        return true;
    if (bytes.size() < m)
        return false;
    const char* p = bytes.data();
    const std::size_t starts = bytes.size() - m + 1;
    // A letter and its capital differ in bit 5 alone.
    const char first = lower[0];
    const char fold = first >= 'a' && first <= 'z' ? 0x20 : 0;
    const auto rest = [&](std::size_t at) {
        std::size_t k = 1;
        while (k < m && AsciiLower(p[at + k]) == lower[k])
            ++k;
        return k == m;
    };
    std::size_t i = 0;
#ifdef __SSE2__
    const __m128i want = _mm_set1_epi8(first);
    const __m128i bit = _mm_set1_epi8(fold);
    const auto places = [&](std::size_t at) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + at));
        return static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_or_si128(v, bit), want)));
    };
    for (; i + 16 <= starts; i += 16)
        for (unsigned hits = places(i); hits != 0; hits &= hits - 1)
            if (rest(i + static_cast<std::size_t>(__builtin_ctz(hits))))
                return true;
    // The last places, fewer than 16, from 16 bytes that lie within the
    // payload (ending at its end when the places do not reach 16 bytes);
    // places searched already or past the last are masked off.
    if (i < starts && bytes.size() >= 16) {
        const std::size_t at = std::min(i, bytes.size() - 16);
        const unsigned live = ((1u << (starts - at)) - 1) & ~((1u << (i - at)) - 1);
        for (unsigned hits = places(at) & live; hits != 0; hits &= hits - 1)
            if (rest(at + static_cast<std::size_t>(__builtin_ctz(hits))))
                return true;
        return false;
    }
#endif
    for (; i < starts; ++i)
        if (static_cast<char>(p[i] | fold) == first && rest(i))
            return true;
    return false;
}

// The payload read as Latin-1 against the expression; the text is made in a
// buffer of the thread's, not for each row. Latin-1 made UTF-16 has no
// surrogate, so the expression is spared checking the text is valid UTF-16
// (a third of its work on a short payload). Apart, so that the search for
// a text before it stays as small as a plain text's.
[[gnu::noinline]] bool ExpressionMatches(const FilterCheck& c, std::string_view bytes)
{
    thread_local QString text;
    text = QLatin1StringView(bytes.data(), static_cast<qsizetype>(bytes.size()));
    if (c.expression)
        return c.expression->Matches(text);
    return c.regex
        .match(QStringView(text), 0, QRegularExpression::NormalMatch,
               QRegularExpression::DontCheckSubjectStringMatchOption)
        .hasMatch();
}

// The expression asked only of a payload that holds what every match holds.
bool PayloadMatches(const FilterCheck& c, std::string_view bytes)
{
    return ContainsCaseless(bytes, c.literalText) && (c.literal || ExpressionMatches(c, bytes));
}

}  // namespace

// Sets a payload expression's plain text when it has one, else a text
// every match holds when one is sure. The expression has no option beyond
// case (so only ASCII letters fold to ASCII letters in Latin-1 text), as
// RequiredTextOf assumes.
void FindLiteral(FilterCheck& c)
{
    RequiredText required;
    if (c.regex.patternOptions() == QRegularExpression::CaseInsensitiveOption)
        required = RequiredTextOf(c.regex.pattern());
    c.literal = required.whole;
    c.literalText = std::move(required.text);
    // Asked of every payload: matched without QRegularExpression's own
    // costs of a match, where the pattern compiles the same way.
    if (!c.literal && c.regex.patternOptions() == QRegularExpression::CaseInsensitiveOption) {
        auto expression = std::make_shared<const PayloadExpression>(c.regex.pattern());
        if (expression->valid())
            c.expression = std::move(expression);
    }
}

bool PayloadCheck(const FilterCheck& c, std::int64_t seq, const clV& r, const DisplayFilterContext& context)
{
    std::string scratch;  // only a context that copies the bytes fills it
    std::string_view bytes;
    if (r.mData.empty() || !context.PayloadView(seq, r, scratch, bytes) || bytes.empty())
        return false;
    switch (c.test) {
    case Test::Present: return true;
    case Test::Contains: return bytes.find(c.byteNeedle) != std::string_view::npos;
    case Test::Matches: return PayloadMatches(c, bytes);
    case Test::None: return std::find(c.blobs.begin(), c.blobs.end(), bytes) == c.blobs.end();
    case Test::Any: return std::find(c.blobs.begin(), c.blobs.end(), bytes) != c.blobs.end();
    }
    return false;
}

}  // namespace quillet
