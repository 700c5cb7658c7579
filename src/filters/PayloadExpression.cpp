#include "filters/PayloadExpression.h"

#define PCRE2_CODE_UNIT_WIDTH 16
#include <pcre2.h>

namespace quillet {

namespace {

// What a thread keeps for matching: match data for the whole match only,
// and a match context that hands the compiled code a stack of 32 KiB to
// 512 KiB, made once the default one was too small.
struct ThreadMatching {
    pcre2_match_data* data = pcre2_match_data_create(1, nullptr);
    pcre2_match_context* context = pcre2_match_context_create(nullptr);
    pcre2_jit_stack* stack = nullptr;

    ThreadMatching() = default;
    ThreadMatching(const ThreadMatching&) = delete;
    ThreadMatching& operator=(const ThreadMatching&) = delete;
    ~ThreadMatching()
    {
        pcre2_jit_stack_free(stack);
        pcre2_match_context_free(context);
        pcre2_match_data_free(data);
    }
    bool GrowStack()
    {
        if (stack != nullptr || context == nullptr)
            return false;
        stack = pcre2_jit_stack_create(32 * 1024, 512 * 1024, nullptr);
        if (stack == nullptr)
            return false;
        pcre2_jit_stack_assign(context, nullptr, stack);
        return true;
    }
};

ThreadMatching& Matching()
{
    thread_local ThreadMatching matching;
    return matching;
}

}  // namespace

PayloadExpression::PayloadExpression(QStringView pattern)
{
    int error = 0;
    PCRE2_SIZE offset = 0;
    pcre2_code* code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern.utf16()),
                                     static_cast<PCRE2_SIZE>(pattern.size()), PCRE2_UTF | PCRE2_CASELESS, &error,
                                     &offset, nullptr);
    if (code != nullptr)
        pcre2_jit_compile(code, PCRE2_JIT_COMPLETE);  // where it cannot, pcre2_match interprets
    code_ = code;
}

PayloadExpression::~PayloadExpression()
{
    pcre2_code_free(static_cast<pcre2_code*>(code_));
}

bool PayloadExpression::Matches(QStringView text) const
{
    ThreadMatching& m = Matching();
    if (code_ == nullptr || m.data == nullptr)
        return false;
    const auto* code = static_cast<const pcre2_code*>(code_);
    const auto subject = reinterpret_cast<PCRE2_SPTR>(text.utf16());
    const auto length = static_cast<PCRE2_SIZE>(text.size());
    int result = pcre2_match(code, subject, length, 0, PCRE2_NO_UTF_CHECK, m.data, m.context);
    if (result == PCRE2_ERROR_JIT_STACKLIMIT && m.GrowStack())
        result = pcre2_match(code, subject, length, 0, PCRE2_NO_UTF_CHECK, m.data, m.context);
    // 0: a match, with more groups than the match data keeps.
    return result >= 0;
}

}  // namespace quillet
