#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/TextMap.h"

namespace quillet {

// A number no table of names has had before: a table takes a new one at
// each change, so equal versions mean equal names.
std::uint64_t NewNamesVersion();

// The names seen in the traffic, by address (its canonical text: dotted
// decimal, or IPv6 in its shortest form). The newest name for an address
// wins; each distinct name is kept once however many addresses it names;
// past kMaxAddresses the address named longest ago is forgotten.
class NameTable {
public:
    static constexpr std::size_t kMaxAddresses = 1u << 16;

    explicit NameTable(std::size_t maxAddresses = kMaxAddresses) : max_(maxAddresses) {}
    NameTable(const NameTable&) = default;
    NameTable& operator=(const NameTable&) = default;
    // A table moved from is empty and has a new version.
    NameTable(NameTable&& other) noexcept;
    NameTable& operator=(NameTable&& other) noexcept;

    // Names the address; false when it already had that name.
    bool Set(std::string_view address, std::string_view name);
    // The name of the address, nullptr when none.
    const std::string* Find(std::string_view address) const;
    std::size_t size() const { return byAddress_.size(); }
    std::size_t DistinctNames() const { return names_.size(); }
    // Changes with every name set or forgotten (NewNamesVersion).
    std::uint64_t Version() const { return version_; }
    // Every (address, name), oldest first.
    std::vector<std::pair<std::string, std::string>> All() const;

private:
    // Each distinct name once, with how many addresses it names.
    using NameIt = std::unordered_map<std::string, std::size_t, TextHash, std::equal_to<>>::iterator;
    struct Entry {
        NameIt name;
        std::list<std::string>::iterator age;
    };
    void Release(NameIt name);
    void Emptied() noexcept;

    std::size_t max_;
    std::unordered_map<std::string, std::size_t, TextHash, std::equal_to<>> names_;
    std::unordered_map<std::string, Entry, TextHash, std::equal_to<>> byAddress_;
    std::list<std::string> order_;  // addresses, the one named longest ago first
    std::uint64_t version_ = NewNamesVersion();
};

}  // namespace quillet
