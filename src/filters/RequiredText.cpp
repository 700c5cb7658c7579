#include "filters/RequiredText.h"

#include <string_view>

namespace quillet {

namespace {

// Characters that stand for themselves unescaped, besides letters and
// digits (no option here makes white space or # special).
constexpr std::string_view kPlain = " !\"#%&',-/:;<=>@_`~";
// Escapes of one letter that match one character of a kind, or none: an
// atom of no known text. Every other escaped letter or digit (\x, \o, \c,
// \p, \g, \k, back references, \Q...\E) is not read here.
constexpr std::string_view kClassEscapes = "dDwWsShHvVRNbBAZzGKXCntrfea";

bool IsAlnum(char16_t u)
{
    return (u >= '0' && u <= '9') || (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z');
}

char Lower(char16_t u)
{
    return u >= 'A' && u <= 'Z' ? static_cast<char>(u | 0x20) : static_cast<char>(u);
}

// Reads the pattern from left to right as a sequence of atoms at the top:
// plain characters join the current piece, anything else ends it; a
// quantifier takes back the character it repeats when that may be absent.
class Reader {
public:
    explicit Reader(const QString& pattern) : p_(pattern), n_(pattern.size()) {}

    RequiredText Read()
    {
        if (!Top())
            return {};
        Keep();
        RequiredText out;
        out.whole = whole_;
        if (whole_ || longest_.size() >= kMinRequired)
            out.text = std::move(longest_);
        return out;
    }

private:
    char16_t At(qsizetype i) const { return i < n_ ? p_[i].unicode() : char16_t(0); }

    void Keep()
    {
        if (current_.size() > longest_.size())
            longest_ = current_;
    }
    // An atom that is no known character: the piece ends before it.
    void Other()
    {
        Keep();
        current_.clear();
        whole_ = false;
        last_ = Last::Other;
    }
    void Plain(char16_t u)
    {
        current_.push_back(Lower(u));
        last_ = Last::Plain;
    }
    // A quantifier on the last atom: at least once (min) or maybe never.
    bool Quantify(bool once)
    {
        whole_ = false;
        if (last_ == Last::Quantifier)
            return false;  // a quantifier on a quantifier: not read here
        if (last_ == Last::Plain) {
            const char c = current_.back();
            if (!once)
                current_.pop_back();
            Keep();
            current_.clear();
            if (once)
                current_.push_back(c);  // the last of its repeats goes on with what follows
        }
        last_ = Last::Quantifier;
        return true;
    }

    bool Top()
    {
        for (i_ = 0; i_ < n_;) {
            const char16_t u = At(i_);
            switch (u) {
            case '\\': {
                const char16_t e = At(i_ + 1);
                if (e >= 0x20 && e < 0x7f && !IsAlnum(e)) {
                    Plain(e);  // escaped punctuation is itself
                } else if (e < 0x80 && e != 0 && kClassEscapes.find(static_cast<char>(e)) != std::string_view::npos &&
                           !(e == 'N' && At(i_ + 2) == '{')) {
                    Other();
                } else {
                    return false;
                }
                i_ += 2;
                break;
            }
            case '[':
                if (!SkipClass())
                    return false;
                Other();
                break;
            case '(':
                if (!SkipGroup())
                    return false;
                Other();
                break;
            case ')':
            case '|':
                return false;  // an alternative at the top: no text is sure
            case '*':
            case '?':
            case '+':
                if (!Quantify(u == '+'))
                    return false;
                ++i_;
                SkipModifier();
                break;
            case '{':
                if (!Braces())
                    return false;
                break;
            default:
                if (IsAlnum(u) || (u < 0x80 && kPlain.find(static_cast<char>(u)) != std::string_view::npos))
                    Plain(u);
                else
                    Other();  // . ^ $ ] } controls and what is not ASCII
                ++i_;
            }
        }
        return true;
    }

    // A lazy or possessive mark after a quantifier.
    void SkipModifier()
    {
        if (At(i_) == '?' || At(i_) == '+')
            ++i_;
    }

    // { at the top: a counted quantifier when only digits, commas and
    // spaces lead to a }, else the brace is a character of its own.
    bool Braces()
    {
        qsizetype j = i_ + 1;
        bool digit = false;
        while (j < n_ && (IsDigit(At(j)) || At(j) == ',' || At(j) == ' ' || At(j) == '\t')) {
            digit = digit || IsDigit(At(j));
            ++j;
        }
        if (j >= n_ || At(j) != '}' || !digit) {
            Other();
            ++i_;
            return true;
        }
        // At least once when the count starts with a number that is not 0.
        qsizetype k = i_ + 1;
        while (At(k) == ' ' || At(k) == '\t')
            ++k;
        bool once = false;
        for (; IsDigit(At(k)); ++k)
            once = once || At(k) != '0';
        if (!Quantify(once))
            return false;
        i_ = j + 1;
        SkipModifier();
        return true;
    }

    static bool IsDigit(char16_t u) { return u >= '0' && u <= '9'; }

    // An escape inside a class or a group: its length, 0 when not read here.
    qsizetype EscapeLength(qsizetype at) const
    {
        const char16_t e = At(at + 1);
        if (e == 0 || e == 'Q')
            return 0;
        return e == 'c' ? 3 : 2;  // \c takes the character after it
    }

    // [ at i_: past its ], or false when its end is not sure.
    bool SkipClass() { return SkipClassAt(i_, i_); }
    bool SkipClassAt(qsizetype at, qsizetype& end) const
    {
        qsizetype k = at + 1;
        if (At(k) == '^')
            ++k;
        if (At(k) == ']')
            ++k;  // a ] first is a member
        while (k < n_) {
            const char16_t u = At(k);
            if (u == ']') {
                end = k + 1;
                return true;
            }
            if (u == '\\') {
                const qsizetype length = EscapeLength(k);
                if (length == 0)
                    return false;
                k += length;
            } else if (u == '[' && (At(k + 1) == ':' || At(k + 1) == '.' || At(k + 1) == '=')) {
                // A named class: to its :] with nothing in between that
                // could make it something else.
                const char16_t close = At(k + 1);
                qsizetype m = k + 2;
                while (m < n_ && !(At(m) == close && At(m + 1) == ']')) {
                    if (At(m) == '\\' || At(m) == '[' || At(m) == ']')
                        return false;
                    ++m;
                }
                if (m >= n_)
                    return false;
                k = m + 2;
            } else {
                ++k;
            }
        }
        return false;
    }

    // ( at `at`: one that only groups or looks around, nothing that sets
    // options, calls, tests conditions or controls the search.
    bool GroupOpens(qsizetype at) const
    {
        const char16_t a = At(at + 1);
        if (a == '*')
            return false;
        if (a != '?')
            return true;
        const char16_t b = At(at + 2);
        const char16_t c = At(at + 3);
        const auto nameStart = [](char16_t u) { return (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || u == '_'; };
        switch (b) {
        case ':':
        case '=':
        case '!':
        case '>':
        case '|':
        case '\'':
            return true;
        case '<': return c == '=' || c == '!' || nameStart(c);
        case 'P': return c == '<';
        default: return false;
        }
    }

    // A group at i_, whatever is inside it: past its ), or false.
    bool SkipGroup()
    {
        if (!GroupOpens(i_))
            return false;
        int depth = 1;
        for (qsizetype k = i_ + 1; k < n_;) {
            const char16_t u = At(k);
            if (u == '\\') {
                const qsizetype length = EscapeLength(k);
                if (length == 0)
                    return false;
                k += length;
            } else if (u == '[') {
                if (!SkipClassAt(k, k))
                    return false;
            } else if (u == '(') {
                if (!GroupOpens(k))
                    return false;
                ++depth;
                ++k;
            } else if (u == ')') {
                ++k;
                if (--depth == 0) {
                    i_ = k;
                    return true;
                }
            } else {
                ++k;
            }
        }
        return false;
    }

    enum class Last { Other, Plain, Quantifier };

    const QString& p_;
    const qsizetype n_;
    qsizetype i_ = 0;
    std::string current_;
    std::string longest_;
    bool whole_ = true;
    Last last_ = Last::Other;
};

}  // namespace

RequiredText RequiredTextOf(const QString& pattern)
{
    return Reader(pattern).Read();
}

}  // namespace quillet
