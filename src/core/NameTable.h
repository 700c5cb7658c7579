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
    // Not copied: its entries point into its own tables.
    NameTable(const NameTable&) = delete;
    NameTable& operator=(const NameTable&) = delete;
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

    // From here on Set() can be undone: RollBack() puts the table back as it
    // was at the last Mark() (version included), allocating nothing; what an
    // undone Set() made goes, what it forgot comes back. Until Mark() is first
    // called nothing is kept for it.
    void Mark();
    void RollBack() noexcept;

private:
    // Each distinct name once, with how many addresses it names.
    using Names = std::unordered_map<std::string, std::size_t, TextHash, std::equal_to<>>;
    using NameIt = Names::iterator;
    struct Entry {
        NameIt name;
        std::list<std::string>::iterator age;
    };
    using Addresses = std::unordered_map<std::string, Entry, TextHash, std::equal_to<>>;
    // One step of a Set() since the mark, noted before it is taken.
    struct Change {
        enum Kind : std::uint8_t {
            NewName,  // name was made
            Moved,    // address's age moved to the newest, from before next
            Renamed,  // address named name before (given back when it was freed)
            Evicted,  // forgotten: the address (its age in spareAges_), its name when freed
            Added,    // address was added, the newest
        } kind = NewName;
        bool made = false;  // the step was taken
        NameIt name{};
        Addresses::iterator address{};
        std::list<std::string>::iterator next{};
        Names::node_type freedName;
        Addresses::node_type forgotten;
    };
    // Counts one address less for the name, freeing it when none is left
    // (kept in change while marked).
    void Release(NameIt name, Change* change = nullptr);
    Change* Note(Change::Kind kind);
    void Emptied() noexcept;

    std::size_t max_;
    Names names_;
    Addresses byAddress_;
    std::list<std::string> order_;  // addresses, the one named longest ago first
    std::uint64_t version_ = NewNamesVersion();
    bool marked_ = false;
    std::uint64_t markedVersion_ = 0;
    std::vector<Change> changes_;          // since the mark
    std::list<std::string> spareAges_;     // of the addresses forgotten since the mark
};

}  // namespace quillet
