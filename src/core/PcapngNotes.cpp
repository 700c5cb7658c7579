#include "core/PcapngNotes.h"

#include <cstring>

#include "core/HostName.h"
#include "core/IPv4Text.h"
#include "core/IPv6Text.h"

namespace quillet {

namespace {

constexpr std::uint32_t kSectionHeader = 0x0A0D0D0A;
constexpr std::uint32_t kByteOrder = 0x1A2B3C4D;
constexpr std::uint32_t kMaxBlock = 16u << 20;

}  // namespace

std::unique_ptr<PcapngNotes> PcapngNotes::Open(const std::string& path)
{
    std::FILE* file = std::fopen(path.c_str(), "rbe");
    if (!file)
        return nullptr;
    std::uint8_t head[12];
    if (std::fread(head, 1, sizeof head, file) != sizeof head) {
        std::fclose(file);
        return nullptr;
    }
    std::uint32_t type = 0;
    std::uint32_t magic = 0;
    std::memcpy(&type, head, 4);
    std::memcpy(&magic, head + 8, 4);
    if (type != kSectionHeader || (magic != kByteOrder && magic != __builtin_bswap32(kByteOrder))) {
        std::fclose(file);
        return nullptr;
    }
    std::rewind(file);
    std::unique_ptr<PcapngNotes> notes(new PcapngNotes(file));
    notes->swapped_ = magic != kByteOrder;
    return notes;
}

PcapngNotes::~PcapngNotes()
{
    std::fclose(file_);
}

std::uint32_t PcapngNotes::U32(const std::uint8_t* p) const
{
    std::uint32_t v;
    std::memcpy(&v, p, 4);
    return swapped_ ? __builtin_bswap32(v) : v;
}

std::uint16_t PcapngNotes::U16(const std::uint8_t* p) const
{
    std::uint16_t v;
    std::memcpy(&v, p, 2);
    return swapped_ ? __builtin_bswap16(v) : v;
}

std::string PcapngNotes::Comment(const std::vector<std::uint8_t>& body, std::size_t at) const
{
    while (at + 4 <= body.size()) {
        const std::uint16_t code = U16(&body[at]);
        const std::size_t length = U16(&body[at + 2]);
        if (code == 0 || at + 4 + length > body.size())
            break;
        if (code == 1)
            return std::string(reinterpret_cast<const char*>(&body[at + 4]), length);
        at += 4 + ((length + 3) & ~std::size_t{3});
    }
    return {};
}

void PcapngNotes::ReadNames(const std::vector<std::uint8_t>& body)
{
    std::size_t at = 0;
    while (at + 4 <= body.size()) {
        const std::uint16_t type = U16(&body[at]);
        const std::size_t length = U16(&body[at + 2]);
        if (type == 0 || at + 4 + length > body.size())
            return;
        const std::size_t size = type == 1 ? 4 : type == 2 ? 16 : 0;
        if (size != 0 && length > size) {
            const auto* value = reinterpret_cast<const char*>(&body[at + 4]);
            // The first of the names, up to its terminating zero; taken only
            // as a name from the traffic would be.
            const std::string name(value + size, strnlen(value + size, length - size));
            if (IsHostName(name))
                names_.emplace_back(type == 1 ? IPv4BytesToText(&body[at + 4]).str() : IPv6BytesToText(&body[at + 4]).str(),
                                    name);
        }
        at += 4 + ((length + 3) & ~std::size_t{3});
    }
}

bool PcapngNotes::NextPacket(std::string& comment)
{
    comment.clear();
    while (!ended_) {
        std::uint8_t head[8];
        if (std::fread(head, 1, sizeof head, file_) != sizeof head)
            break;
        std::uint32_t type = 0;
        std::memcpy(&type, head, 4);
        if (type == kSectionHeader) {
            // A new section may have the other byte order.
            std::uint8_t magic[4];
            if (std::fread(magic, 1, 4, file_) != 4)
                break;
            std::uint32_t m = 0;
            std::memcpy(&m, magic, 4);
            if (m != kByteOrder && m != __builtin_bswap32(kByteOrder))
                break;
            swapped_ = m != kByteOrder;
            if (std::fseek(file_, -4, SEEK_CUR) != 0)
                break;
        } else {
            type = U32(head);
        }
        const std::uint32_t total = U32(head + 4);
        if (total < 12 || total % 4 != 0 || total > kMaxBlock)
            break;
        body_.resize(total - 12);
        std::uint8_t tail[4];
        if (std::fread(body_.data(), 1, body_.size(), file_) != body_.size() || std::fread(tail, 1, 4, file_) != 4)
            break;
        if (type == 4) {
            ReadNames(body_);
        } else if (type == 6 || type == 2) {  // enhanced packet, obsolete packet block
            if (body_.size() >= 20) {
                const std::size_t captured = U32(&body_[12]);
                const std::size_t optionsAt = 20 + ((captured + 3) & ~std::size_t{3});
                if (captured <= body_.size())
                    comment = Comment(body_, optionsAt);
            }
            return true;
        } else if (type == 3) {  // simple packet block: no options
            return true;
        }
    }
    ended_ = true;
    return false;
}

std::vector<std::pair<std::string, std::string>> PcapngNotes::TakeNames()
{
    std::vector<std::pair<std::string, std::string>> names;
    names.swap(names_);
    return names;
}

}  // namespace quillet
