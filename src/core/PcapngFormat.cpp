#include "core/PcapngFormat.h"

#include <arpa/inet.h>

#include <cstring>

#include "core/FormatBytes.h"
#include "core/IPv4Text.h"
#include "core/IPv6Text.h"

namespace quillet::pcapng {

using formatbytes::PutAt;
using formatbytes::U16;
using formatbytes::U32;

namespace {

constexpr std::size_t kPacketHeader = 28;  // block type .. original length
constexpr std::size_t kMaxOptionBytes = 0xFFFF;

std::size_t Padded(std::size_t n)
{
    return (n + 3u) & ~std::size_t{3};
}

template <typename T>
void Put(std::vector<std::uint8_t>& out, T value)
{
    const auto at = out.size();
    out.resize(at + sizeof value);
    std::memcpy(out.data() + at, &value, sizeof value);
}

// Writes the closing length and the length after the type of the block of out from at.
void CloseBlock(std::vector<std::uint8_t>& out, std::size_t at)
{
    const auto total = static_cast<std::uint32_t>(out.size() + 4 - at);
    Put<std::uint32_t>(out, total);
    std::memcpy(out.data() + at + 4, &total, 4);
}

// The options of a block, from at to the closing length: the value of the first option of code,
// empty when there is none or an option before it runs past the block.
std::string_view Option(std::span<const std::uint8_t> block, std::size_t at, bool swapped, std::uint16_t code)
{
    const std::size_t end = block.size() - 4;
    while (at + 4 <= end) {
        const std::uint16_t type = U16(&block[at], swapped);
        const std::size_t length = U16(&block[at + 2], swapped);
        if (type == kOptEndOfOpt || at + 4 + length > end)
            break;
        if (type == code)
            return {reinterpret_cast<const char*>(&block[at + 4]), length};
        at += 4 + Padded(length);
    }
    return {};
}

}  // namespace

std::uint32_t BlockLength(std::span<const std::uint8_t> head, bool& swapped)
{
    if (head.size() < kBlockHeadBytes)
        return 0;
    if (U32(head.data(), false) == kSectionHeader) {
        // A new section may have the other byte order.
        if (!StartsSection(head))
            return 0;
        swapped = U32(&head[8], false) != kByteOrderMagic;
    }
    const std::uint32_t total = U32(&head[4], swapped);
    return total < 12 || total % 4 != 0 || total > kMaxBlockBytes ? 0 : total;
}

bool StartsSection(std::span<const std::uint8_t> head)
{
    if (head.size() < kBlockHeadBytes || U32(head.data(), false) != kSectionHeader)
        return false;
    const std::uint32_t magic = U32(&head[8], false);
    return magic == kByteOrderMagic || magic == __builtin_bswap32(kByteOrderMagic);
}

std::uint32_t BlockType(std::span<const std::uint8_t> block, bool swapped)
{
    return block.size() < 4 ? 0 : U32(block.data(), swapped);
}

bool IsPacketBlock(std::uint32_t type)
{
    return type == kEnhancedPacket || type == kObsoletePacket || type == kSimplePacket;
}

void PutSectionHeader(std::vector<std::uint8_t>& out)
{
    const std::size_t at = out.size();
    Put<std::uint32_t>(out, kSectionHeader);
    Put<std::uint32_t>(out, 0);
    Put<std::uint32_t>(out, kByteOrderMagic);
    Put<std::uint16_t>(out, 1);  // version 1.0
    Put<std::uint16_t>(out, 0);
    Put<std::int64_t>(out, -1);  // section length unknown
    CloseBlock(out, at);
}

bool ParseSectionHeader(std::span<const std::uint8_t> block, bool& swapped)
{
    bool order = false;
    if (block.size() < 28 || BlockType(block, false) != kSectionHeader || BlockLength(block, order) != block.size()
        || U16(&block[12], order) != 1)
        return false;
    swapped = order;
    return true;
}

void PutInterface(std::vector<std::uint8_t>& out, int linkType, std::uint32_t snapLength)
{
    const std::size_t at = out.size();
    Put<std::uint32_t>(out, kInterfaceDescription);
    Put<std::uint32_t>(out, 0);
    Put<std::uint16_t>(out, static_cast<std::uint16_t>(linkType));
    Put<std::uint16_t>(out, 0);  // reserved
    Put<std::uint32_t>(out, snapLength);
    CloseBlock(out, at);
}

bool ParseInterface(std::span<const std::uint8_t> block, bool swapped, int& linkType, std::uint32_t& snapLength)
{
    if (block.size() < 20 || BlockType(block, swapped) != kInterfaceDescription)
        return false;
    linkType = U16(&block[8], swapped);
    snapLength = U32(&block[12], swapped);
    return true;
}

namespace {

bool WritesComment(std::string_view comment)
{
    return !comment.empty() && comment.size() <= kMaxOptionBytes;
}

}  // namespace

std::size_t PacketBytes(std::size_t captured, std::string_view comment, std::uint32_t flags)
{
    std::size_t options = (WritesComment(comment) ? 4 + Padded(comment.size()) : 0) + (flags != 0 ? 8 : 0);
    if (options != 0)
        options += 4;  // opt_endofopt
    return kPacketHeader + Padded(captured) + options + 4;
}

std::uint32_t PutPacket(std::uint8_t* out, const Packet& packet)
{
    const auto caplen = static_cast<std::uint32_t>(packet.data.size());
    const std::uint32_t origlen = packet.originalLength < caplen ? caplen : packet.originalLength;
    const std::uint64_t ts = packet.timestampUs < 0 ? 0 : static_cast<std::uint64_t>(packet.timestampUs);
    const auto total = static_cast<std::uint32_t>(PacketBytes(caplen, packet.comment, packet.flags));
    const std::uint32_t padded = static_cast<std::uint32_t>(Padded(caplen));
    PutAt(out, kEnhancedPacket);
    PutAt(out, total);
    PutAt(out, packet.interface);
    PutAt(out, static_cast<std::uint32_t>(ts >> 32));
    PutAt(out, static_cast<std::uint32_t>(ts));
    PutAt(out, caplen);
    PutAt(out, origlen);
    if (caplen != 0)
        std::memcpy(out, packet.data.data(), caplen);
    std::memset(out + caplen, 0, padded - caplen);
    out += padded;
    if (WritesComment(packet.comment)) {
        const auto length = static_cast<std::uint16_t>(packet.comment.size());
        PutAt(out, kOptComment);
        PutAt(out, length);
        std::memcpy(out, packet.comment.data(), length);
        std::memset(out + length, 0, Padded(length) - length);
        out += Padded(length);
    }
    if (packet.flags != 0) {
        PutAt(out, kOptPacketFlags);
        PutAt(out, std::uint16_t{4});
        PutAt(out, packet.flags);
    }
    if (kPacketHeader + padded + 4 < total) {
        std::memset(out, 0, 4);  // opt_endofopt
        out += 4;
    }
    PutAt(out, total);
    return kPacketHeader;
}

bool ParsePacket(std::span<const std::uint8_t> block, bool swapped, Packet& packet)
{
    const std::uint32_t type = BlockType(block, swapped);
    if ((type != kEnhancedPacket && type != kObsoletePacket) || block.size() < kPacketHeader + 4)
        return false;
    const std::uint32_t captured = U32(&block[20], swapped);
    if (captured > block.size() - kPacketHeader - 4)
        return false;
    packet.interface = type == kEnhancedPacket ? U32(&block[8], swapped) : U16(&block[8], swapped);
    packet.timestampUs =
        static_cast<std::int64_t>((std::uint64_t{U32(&block[12], swapped)} << 32) | U32(&block[16], swapped));
    packet.originalLength = U32(&block[24], swapped);
    packet.data = block.subspan(kPacketHeader, captured);
    packet.comment = Option(block, kPacketHeader + Padded(captured), swapped, kOptComment);
    packet.flags = 0;
    if (type == kEnhancedPacket)
        if (const std::string_view flags = Option(block, kPacketHeader + Padded(captured), swapped, kOptPacketFlags);
            flags.size() == 4)
            packet.flags = U32(reinterpret_cast<const std::uint8_t*>(flags.data()), swapped);
    return true;
}

PacketFields ParseFieldsBeforeData(std::span<const std::uint8_t, kFieldsBeforeData> fields)
{
    PacketFields f;
    f.timestampUs = static_cast<std::int64_t>((std::uint64_t{U32(&fields[0], false)} << 32) | U32(&fields[4], false));
    f.captured = U32(&fields[8], false);
    f.originalLength = U32(&fields[12], false);
    return f;
}

void PutNames(std::vector<std::uint8_t>& out, const Names& names)
{
    const std::size_t at = out.size();
    Put<std::uint32_t>(out, kNameResolution);
    Put<std::uint32_t>(out, 0);
    for (const auto& [address, name] : names) {
        std::uint8_t bytes[16];
        std::uint16_t type = kNameRecordEnd;
        std::size_t size = 0;
        if (::inet_pton(AF_INET, address.c_str(), bytes) == 1) {
            type = kNameRecordIPv4;
            size = 4;
        } else if (::inet_pton(AF_INET6, address.c_str(), bytes) == 1) {
            type = kNameRecordIPv6;
            size = 16;
        }
        if (type == kNameRecordEnd || name.empty() || name.size() > kMaxNameBytes
            || name.find('\0') != std::string::npos)
            continue;
        const std::size_t length = size + name.size() + 1;
        Put<std::uint16_t>(out, type);
        Put<std::uint16_t>(out, static_cast<std::uint16_t>(length));
        out.insert(out.end(), bytes, bytes + size);
        out.insert(out.end(), name.begin(), name.end());
        out.resize(out.size() + 1 + (Padded(length) - length), 0);  // the name's zero, padding
    }
    Put<std::uint32_t>(out, 0);  // nrb_record_end
    CloseBlock(out, at);
}

void ParseNames(std::span<const std::uint8_t> block, bool swapped, Names& names)
{
    if (block.size() < 12 || BlockType(block, swapped) != kNameResolution)
        return;
    const std::size_t end = block.size() - 4;
    std::size_t at = 8;
    while (at + 4 <= end) {
        const std::uint16_t type = U16(&block[at], swapped);
        const std::size_t length = U16(&block[at + 2], swapped);
        if (type == kNameRecordEnd || at + 4 + length > end)
            return;
        const std::size_t size = type == kNameRecordIPv4 ? 4 : type == kNameRecordIPv6 ? 16 : 0;
        if (size != 0 && length > size) {
            const std::uint8_t* address = &block[at + 4];
            const auto* value = reinterpret_cast<const char*>(address + size);
            names.emplace_back(size == 4 ? IPv4BytesToText(address).str() : IPv6BytesToText(address).str(),
                               std::string(value, strnlen(value, length - size)));
        }
        at += 4 + Padded(length);
    }
}

}  // namespace quillet::pcapng
