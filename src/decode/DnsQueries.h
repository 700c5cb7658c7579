#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace quillet {

// The DNS queries seen lately, so that an answer is believed only when it
// answers one of them: the same id and question (name, compared without
// case, type and class), from the server the query went to back to the
// client that sent it, within kWindowUs of the query by the datagrams' own
// timestamps. Holds at most kCapacity queries (the oldest go first); each
// answer takes its query. Nothing is allocated per query once the first
// one has made the table.
class DnsQueries {
public:
    static constexpr std::size_t kCapacity = 4096;
    static constexpr std::int64_t kWindowUs = 10'000'000;
    static constexpr std::size_t kBuckets = 4096;

    // buckets: how many chains the queries are spread over, a power of two
    // (tests: 1 puts every query in one chain, so each field is compared).
    explicit DnsQueries(std::size_t buckets = kBuckets) : mask_(buckets - 1) {}

    // The two ends of an exchange. Addresses are numbers equal exactly for
    // equal addresses (AddressText::bits()).
    struct Ends {
        std::uint64_t clientAddress = 0;
        std::uint64_t serverAddress = 0;
        std::uint16_t clientPort = 0;
        std::uint16_t serverPort = 0;
        bool operator==(const Ends&) const = default;
    };
    struct Question {
        std::uint16_t id = 0;
        std::string_view name;  // at most 253 characters
        std::uint16_t type = 0;
        std::uint16_t klass = 0;
    };

    // A query the client sent at timeUs.
    void Add(const Ends& ends, const Question& question, std::int64_t timeUs);
    // Whether an answer at timeUs answers a pending query; that query is
    // then no longer pending, and its time goes to queryUs when asked.
    bool Take(const Ends& ends, const Question& question, std::int64_t timeUs, std::int64_t* queryUs = nullptr);
    std::size_t pending() const { return pending_; }

    // Add and Take from here on can be undone: RollBack() puts the queries
    // back as they were at the last Mark(), allocating nothing. Each change
    // is noted before it is made, so one that fails to be noted is not made.
    void Mark() { changes_.clear(); }
    void RollBack() noexcept;

private:
    static constexpr std::size_t kMaxName = 253;
    struct Entry {
        std::int64_t timeUs = 0;
        Ends ends;
        std::uint16_t id = 0, type = 0, klass = 0;
        std::uint8_t nameLength = 0;
        bool live = false;
        std::uint32_t bucket = 0;
        std::int32_t next = -1;  // in its bucket
        char name[kMaxName];     // lower case
    };
    // A change since the mark: the entry at `at` as it was (old), and the
    // one before it in its chain then (-1: the chain's head; unused when it
    // was not pending).
    struct Change {
        std::int32_t at = 0;
        std::int32_t before = -1;
        std::size_t nextSlot = 0;
        Entry old;
    };
    std::uint32_t Bucket(const Ends& ends, const Question& question) const;
    static bool Same(const Entry& e, const Ends& ends, const Question& question);
    // The entry before at in its chain, -1 when at is its head.
    std::int32_t Before(std::int32_t at) const;
    void Note(std::int32_t at);
    void Unlink(std::int32_t at);

    std::size_t mask_;
    std::vector<Entry> entries_;        // kCapacity, a ring; made at the first query
    std::vector<std::int32_t> heads_;   // the chains of entries, by bucket
    std::size_t nextSlot_ = 0;          // the ring's oldest (next replaced) entry
    std::size_t pending_ = 0;
    std::vector<Change> changes_;  // since the mark
};

}  // namespace quillet
