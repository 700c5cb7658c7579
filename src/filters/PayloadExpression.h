#pragma once

#include <QStringView>

namespace quillet {

// A case-insensitive regular expression asked of millions of payloads: the
// same engine, options and answers as QRegularExpression with
// CaseInsensitiveOption (PCRE2 over UTF-16, compiled to machine code where
// it can be), without what QRegularExpression makes for each match (its
// match object, a match context and match data). Each thread keeps its own
// match data and a stack for the compiled code of up to 512 KiB, as
// QRegularExpression does. Shared by the filter's threads once made.
class PayloadExpression {
public:
    // Null when the pattern does not compile (the caller has checked it
    // with QRegularExpression first).
    explicit PayloadExpression(QStringView pattern);
    ~PayloadExpression();
    PayloadExpression(const PayloadExpression&) = delete;
    PayloadExpression& operator=(const PayloadExpression&) = delete;

    bool valid() const { return code_ != nullptr; }
    // Whether the expression matches somewhere in text, which holds valid
    // UTF-16 (it is not checked). An error of the engine (a match too deep
    // even for the largest stack) is no match, as for QRegularExpression.
    bool Matches(QStringView text) const;

private:
    void* code_ = nullptr;  // pcre2_code_16
};

}  // namespace quillet
