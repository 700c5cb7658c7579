#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <ostream>
#include <string>
#include <string_view>

namespace quillet {

// A short text held inline, without a heap allocation: the record fields that
// never grow past a few characters (addresses, ports, protocol, time).
// Assigning a longer text keeps its first N characters.
template <std::size_t N>
class FixedText {
    static_assert(N > 0 && N < 256);

public:
    constexpr FixedText() = default;
    FixedText(std::string_view s) { assign(s); }  // NOLINT: implicit by design
    FixedText(const char* s) : FixedText(std::string_view(s)) {}  // NOLINT

    void assign(std::string_view s)
    {
        len_ = static_cast<std::uint8_t>(std::min(s.size(), N));
        if (len_ != 0)
            std::memcpy(buf_, s.data(), len_);
    }

    std::string_view view() const { return {buf_, len_}; }
    std::string str() const { return std::string(view()); }
    operator std::string_view() const { return view(); }  // NOLINT

    bool empty() const { return len_ == 0; }
    std::size_t size() const { return len_; }
    static constexpr std::size_t capacity() { return N; }

    friend bool operator==(const FixedText& a, std::string_view b) { return a.view() == b; }
    friend std::ostream& operator<<(std::ostream& os, const FixedText& t) { return os << t.view(); }

private:
    char buf_[N] = {};
    std::uint8_t len_ = 0;
};

}  // namespace quillet
