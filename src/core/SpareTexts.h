#pragma once

#include <cstdint>
#include <string_view>

namespace quillet {

// Texts that have no compact form in a packet record (a protocol, address,
// port, size or time text that is not one the decoder writes), each kept once
// for the whole run and named by a number. Thread-safe; only grows.
class SpareTexts {
public:
    // The number of the text, the same one each time the text comes again.
    static std::uint32_t Intern(std::string_view text);
    // The text of a number Intern returned; stays valid for the whole run.
    static std::string_view At(std::uint32_t number);
    // How many texts are kept.
    static std::uint32_t Count();
};

}  // namespace quillet
