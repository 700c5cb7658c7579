#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// The pcapng blocks this program writes and reads: the block types, option codes and layouts,
// each kind of block written by one routine and parsed by the one beside it. Blocks are written
// in the host's byte order (readers tell it by the section header); they are parsed in either,
// `swapped` meaning the section's order is not the host's. A block is given whole, from its type
// to its closing length.
namespace quillet::pcapng {

// Block types.
inline constexpr std::uint32_t kSectionHeader = 0x0A0D0D0A;
inline constexpr std::uint32_t kInterfaceDescription = 1;
inline constexpr std::uint32_t kObsoletePacket = 2;
inline constexpr std::uint32_t kSimplePacket = 3;
inline constexpr std::uint32_t kNameResolution = 4;
inline constexpr std::uint32_t kEnhancedPacket = 6;
// A section header's byte-order magic, as its writer's order holds it.
inline constexpr std::uint32_t kByteOrderMagic = 0x1A2B3C4D;
// Option codes, and the record types of a name resolution block.
inline constexpr std::uint16_t kOptEndOfOpt = 0;
inline constexpr std::uint16_t kOptComment = 1;
inline constexpr std::uint16_t kOptPacketFlags = 2;  // epb_flags, 4 bytes
// The direction bits of epb_flags.
inline constexpr std::uint32_t kFlagsDirection = 3;
inline constexpr std::uint32_t kFlagsInbound = 1;
inline constexpr std::uint32_t kFlagsOutbound = 2;
inline constexpr std::uint16_t kNameRecordEnd = 0;
inline constexpr std::uint16_t kNameRecordIPv4 = 1;
inline constexpr std::uint16_t kNameRecordIPv6 = 2;
// Longest name a name record is given (a DNS name).
inline constexpr std::size_t kMaxNameBytes = 253;
// Longest block read; a longer one is taken for damage.
inline constexpr std::uint32_t kMaxBlockBytes = 16u << 20;

// What a block's first bytes say: its type, its length and (a section header) its byte order.
inline constexpr std::size_t kBlockHeadBytes = 12;
// The length of the block whose first kBlockHeadBytes are head, with the byte order of its
// section (a section header sets swapped, other blocks read it); 0 when no block is that long
// (under 12 bytes, not a multiple of 4, over kMaxBlockBytes) or a section header's magic is
// neither order's.
std::uint32_t BlockLength(std::span<const std::uint8_t> head, bool& swapped);
// Whether head (kBlockHeadBytes) starts a section header of either byte order: a pcapng file.
bool StartsSection(std::span<const std::uint8_t> head);
std::uint32_t BlockType(std::span<const std::uint8_t> block, bool swapped);
// Whether a block of this type holds one packet (the ones a reader counts as frames).
bool IsPacketBlock(std::uint32_t type);

// Section header: version 1.0, section length unknown, no options.
void PutSectionHeader(std::vector<std::uint8_t>& out);
// Whether block is a section header of version 1; swapped tells its byte order.
bool ParseSectionHeader(std::span<const std::uint8_t> block, bool& swapped);

// Interface description: the link type and the longest captured length, no options (so
// timestamps count microseconds).
void PutInterface(std::vector<std::uint8_t>& out, int linkType, std::uint32_t snapLength);
bool ParseInterface(std::span<const std::uint8_t> block, bool swapped, int& linkType, std::uint32_t& snapLength);

// One packet of an enhanced packet block (or, read, of an obsolete packet block).
struct Packet {
    std::int64_t timestampUs = 0;  // since the epoch; written as 0 when negative
    std::span<const std::uint8_t> data;
    std::uint32_t originalLength = 0;  // written as data.size() when less
    std::string_view comment;          // opt_comment, when not empty
    std::uint32_t interface = 0;
    std::uint32_t flags = 0;           // epb_flags (written when not 0; 0 when the block has none)
};
// Bytes of the block PutPacket writes: a comment longer than 65535 bytes is left out.
std::size_t PacketBytes(std::size_t captured, std::string_view comment = {}, std::uint32_t flags = 0);
// Writes the block at out (PacketBytes long); returns where the packet's data starts in it.
std::uint32_t PutPacket(std::uint8_t* out, const Packet& packet);
// The packet of block (data and comment point into it); false when it is no packet block or its
// captured length runs past it. The comment and the flags are the first ones (none when an
// option runs past).
bool ParsePacket(std::span<const std::uint8_t> block, bool swapped, Packet& packet);

// The fields just before a packet's data in an enhanced packet block of this host's order:
// what reading a packet back by the offset of its data needs.
inline constexpr std::uint32_t kFieldsBeforeData = 16;
struct PacketFields {
    std::int64_t timestampUs = 0;
    std::uint32_t captured = 0;
    std::uint32_t originalLength = 0;
};
PacketFields ParseFieldsBeforeData(std::span<const std::uint8_t, kFieldsBeforeData> fields);

// (address text, host name) pairs.
using Names = std::vector<std::pair<std::string, std::string>>;
// A name resolution block of one record per pair; pairs whose address is neither dotted decimal
// nor IPv6 text, or whose name is empty, longer than kMaxNameBytes or holds a zero byte, are
// left out.
void PutNames(std::vector<std::uint8_t>& out, const Names& names);
// Appends the IPv4 and IPv6 records of block to names: the address as text (IPv6 in its short
// form) and the record's first name, up to its zero byte. Records after a damaged one are lost.
void ParseNames(std::span<const std::uint8_t> block, bool swapped, Names& names);

}  // namespace quillet::pcapng
