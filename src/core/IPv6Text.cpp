#include "core/IPv6Text.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <random>
#include <vector>

#include "core/IPv4Text.h"

namespace quillet {
namespace {

constexpr char kHex[] = "0123456789abcdef";

int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Dotted decimal, four octets of at most three digits each, no leading zeros.
bool DottedFromText(std::string_view s, std::uint8_t* out)
{
    for (int i = 0; i < 4; ++i) {
        const std::size_t dot = i < 3 ? s.find('.') : s.size();
        if (dot == std::string_view::npos || dot == 0 || dot > 3 || (dot > 1 && s[0] == '0'))
            return false;
        unsigned v = 0;
        for (std::size_t k = 0; k < dot; ++k) {
            if (s[k] < '0' || s[k] > '9')
                return false;
            v = v * 10 + static_cast<unsigned>(s[k] - '0');
        }
        if (v > 255)
            return false;
        out[i] = static_cast<std::uint8_t>(v);
        s.remove_prefix(i < 3 ? dot + 1 : dot);
    }
    return true;
}

struct Key {
    std::uint64_t hi, lo;
    bool operator==(const Key&) const = default;
};

Key KeyOf(const std::uint8_t* bytes)
{
    Key key;
    std::memcpy(&key.hi, bytes, 8);
    std::memcpy(&key.lo, bytes + 8, 8);
    return key;
}

// A hash of the two halves, each first mixed with its own salt: one wide
// multiply, folded.
std::uint64_t Hash(const Key& k, std::uint64_t saltHi, std::uint64_t saltLo)
{
    const unsigned __int128 m = static_cast<unsigned __int128>(k.hi ^ saltHi) * (k.lo ^ saltLo);
    return static_cast<std::uint64_t>(m) ^ static_cast<std::uint64_t>(m >> 64);
}

// Numbers index fixed blocks, so a reader on any thread finds the bytes of
// a number without a lock once Intern has handed the number out.
constexpr std::uint32_t kBlockBits = 16;
constexpr std::uint32_t kBlockSize = 1u << kBlockBits;
constexpr std::uint32_t kBlocks = 1u << 16;

std::uint64_t RandomSalt()
{
    std::uint64_t seed = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    try {
        std::random_device device;
        seed ^= std::uint64_t{device()} << 32 | device();
    } catch (...) {
        // the clock alone
    }
    return seed;
}

struct Table {
    // The hash is salted per run, so addresses a sender picks cannot be
    // made to collide on purpose.
    const std::uint64_t saltHi = RandomSalt();
    const std::uint64_t saltLo = RandomSalt();
    std::mutex mutex;
    // Open addressing over the numbers (number + 1; 0 is a free slot), at
    // most half full; the bytes themselves are in the blocks. Under the
    // lock.
    std::vector<std::uint32_t> slots;
    std::atomic<std::uint8_t*> blocks[kBlocks] = {};
    std::atomic<std::uint32_t> count{0};

    std::uint64_t hash(const Key& k) const { return Hash(k, saltHi, saltLo); }
    std::uint8_t* bytesOf(std::uint32_t number) const
    {
        return blocks[number >> kBlockBits].load(std::memory_order_relaxed) +
               std::size_t{number & (kBlockSize - 1)} * 16;
    }
    std::uint32_t& slotFor(const Key& key, std::uint64_t h)
    {
        const std::size_t mask = slots.size() - 1;
        for (std::size_t i = h & mask;; i = (i + 1) & mask) {
            std::uint32_t& slot = slots[i];
            if (slot == 0 || KeyOf(bytesOf(slot - 1)) == key)
                return slot;
        }
    }
    void grow()
    {
        const std::uint32_t n = count.load(std::memory_order_relaxed);
        slots.assign(std::max<std::size_t>(64, slots.size() * 2), 0);
        for (std::uint32_t number = 0; number < n; ++number) {
            const Key key = KeyOf(bytesOf(number));
            slotFor(key, hash(key)) = number + 1;
        }
    }
};

Table& TheTable()
{
    static Table* table = new Table;  // outlives every record, also at exit
    return *table;
}

// The last addresses interned on this thread, two per set: a capture sees
// the same few addresses over and over, and finds them here without the
// lock.
struct Recent {
    static constexpr std::size_t kSets = 256;
    struct Entry {
        Key key{};
        std::uint32_t number = 0;  // number + 1; 0: empty
    };
    Entry entries[kSets][2];
};
thread_local Recent tRecent;

}  // namespace

FixedText<kIPv6TextMax> IPv6BytesToText(const std::uint8_t* b)
{
    std::uint16_t groups[8];
    for (int i = 0; i < 8; ++i)
        groups[i] = static_cast<std::uint16_t>(b[2 * i] << 8 | b[2 * i + 1]);
    char buf[48];
    std::size_t n = 0;
    // ::ffff:a.b.c.d
    if (groups[0] == 0 && groups[1] == 0 && groups[2] == 0 && groups[3] == 0 && groups[4] == 0 &&
        groups[5] == 0xFFFF) {
        std::memcpy(buf, "::ffff:", 7);
        const FixedText<15> v4 = IPv4BytesToText(b + 12);
        std::memcpy(buf + 7, v4.view().data(), v4.size());
        return FixedText<kIPv6TextMax>(std::string_view(buf, 7 + v4.size()));
    }
    int bestAt = -1, bestLen = 1;  // a single zero group stays "0"
    for (int i = 0; i < 8;) {
        if (groups[i] != 0) {
            ++i;
            continue;
        }
        int j = i;
        while (j < 8 && groups[j] == 0)
            ++j;
        if (j - i > bestLen) {
            bestAt = i;
            bestLen = j - i;
        }
        i = j;
    }
    for (int i = 0; i < 8; ++i) {
        if (i == bestAt) {
            buf[n++] = ':';
            if (i == 0)
                buf[n++] = ':';
            i += bestLen - 1;
            continue;
        }
        const unsigned g = groups[i];
        bool started = false;
        for (int shift = 12; shift >= 0; shift -= 4) {
            const unsigned d = (g >> shift) & 0xF;
            if (d != 0 || started || shift == 0) {
                buf[n++] = kHex[d];
                started = true;
            }
        }
        if (i < 7)
            buf[n++] = ':';
    }
    return FixedText<kIPv6TextMax>(std::string_view(buf, n));
}

bool IPv6FromText(std::string_view s, std::uint8_t* bytes)
{
    if (s.size() < 2 || s.size() > 45)
        return false;
    std::uint8_t out[16] = {};
    int groups = 0;     // 16-bit groups written
    int gapAt = -1;     // the group where "::" stands
    std::size_t i = 0;
    if (s[0] == ':') {
        if (s[1] != ':')
            return false;
        gapAt = 0;
        i = 2;
    }
    while (i < s.size()) {
        // A dotted IPv4 tail takes the last two groups.
        const std::size_t end = s.find(':', i);
        const std::string_view part = s.substr(i, end == std::string_view::npos ? std::string_view::npos : end - i);
        if (end == std::string_view::npos && part.find('.') != std::string_view::npos) {
            if (groups > 6 || !DottedFromText(part, out + 2 * groups))
                return false;
            groups += 2;
            i = s.size();
            break;
        }
        if (part.empty() || part.size() > 4 || groups == 8)
            return false;
        unsigned v = 0;
        for (char c : part) {
            const int d = HexDigit(c);
            if (d < 0)
                return false;
            v = v << 4 | static_cast<unsigned>(d);
        }
        out[2 * groups] = static_cast<std::uint8_t>(v >> 8);
        out[2 * groups + 1] = static_cast<std::uint8_t>(v);
        ++groups;
        if (end == std::string_view::npos) {
            i = s.size();
            break;
        }
        i = end + 1;
        if (i < s.size() && s[i] == ':') {
            if (gapAt >= 0)
                return false;
            gapAt = groups;
            ++i;
        } else if (i == s.size()) {
            return false;  // a lone trailing ':'
        }
    }
    if (gapAt < 0) {
        if (groups != 8)
            return false;
    } else {
        if (groups > 7)
            return false;
        const int tail = groups - gapAt;
        std::memmove(out + 2 * (8 - tail), out + 2 * gapAt, static_cast<std::size_t>(2 * tail));
        std::memset(out + 2 * gapAt, 0, static_cast<std::size_t>(2 * (8 - groups)));
    }
    std::memcpy(bytes, out, 16);
    return true;
}

namespace {

// Finds or adds an address the thread's recent ones did not hold.
[[gnu::noinline]] std::uint32_t InternShared(const Key& key, const std::uint8_t* bytes)
{
    Table& table = TheTable();
    std::lock_guard lock(table.mutex);
    const std::uint32_t count = table.count.load(std::memory_order_relaxed);
    if (std::size_t{count} + 1 > table.slots.size() / 2)
        table.grow();
    std::uint32_t& slot = table.slotFor(key, table.hash(key));
    if (slot != 0)
        return slot - 1;
    const std::uint32_t number = count;
    if (number == UINT32_MAX)  // the last number stays unused: the count must fit
        throw std::bad_alloc();
    std::uint8_t* block = table.blocks[number >> kBlockBits].load(std::memory_order_relaxed);
    if (block == nullptr) {
        block = new std::uint8_t[std::size_t{kBlockSize} * 16];
        table.blocks[number >> kBlockBits].store(block, std::memory_order_release);
    }
    std::memcpy(block + std::size_t{number & (kBlockSize - 1)} * 16, bytes, 16);
    slot = number + 1;
    table.count.store(number + 1, std::memory_order_release);
    return number;
}

}  // namespace

std::uint32_t IPv6Table::Intern(const std::uint8_t* bytes)
{
    const Key key = KeyOf(bytes);
    // A fixed salt will do here: a collision costs no more than a miss.
    Recent::Entry* set = tRecent.entries[Hash(key, 0x9E3779B97F4A7C15ull, 0xBF58476D1CE4E5B9ull) % Recent::kSets];
    if (set[0].key == key && set[0].number != 0)
        return set[0].number - 1;
    if (set[1].key == key && set[1].number != 0)
        return set[1].number - 1;
    const std::uint32_t number = InternShared(key, bytes);
    set[1] = set[0];  // the newest first, the older of the two goes
    set[0] = {key, number + 1};
    return number;
}

const std::uint8_t* IPv6Table::At(std::uint32_t number)
{
    Table& table = TheTable();
    if (number >= table.count.load(std::memory_order_acquire))
        return nullptr;
    return table.blocks[number >> kBlockBits].load(std::memory_order_acquire) +
           std::size_t{number & (kBlockSize - 1)} * 16;
}

std::string HostAddressText(HostAddress address)
{
    if (address < kIPv6Host)
        return IPv4ToText(static_cast<IPv4>(address)).str();
    const std::uint8_t* bytes = IPv6Table::At(static_cast<std::uint32_t>(address - kIPv6Host));
    return bytes ? IPv6BytesToText(bytes).str() : std::string();
}

bool SameAddressText(std::string_view a, std::string_view b)
{
    if (a == b)
        return true;
    std::uint8_t x[16], y[16];
    return a.find(':') != std::string_view::npos && b.find(':') != std::string_view::npos && IPv6FromText(a, x) &&
           IPv6FromText(b, y) && std::memcmp(x, y, 16) == 0;
}

bool HostAddressFromText(std::string_view text, HostAddress& address)
{
    std::uint8_t bytes[16];
    if (text.find(':') != std::string_view::npos) {
        if (!IPv6FromText(text, bytes))
            return false;
        address = kIPv6Host + IPv6Table::Intern(bytes);
        return true;
    }
    if (!DottedFromText(text, bytes))
        return false;
    IPv4 v4;
    std::memcpy(&v4, bytes, 4);
    address = v4;
    return true;
}

}  // namespace quillet
