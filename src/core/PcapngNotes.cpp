#include "core/PcapngNotes.h"

#include <algorithm>

#include "core/HostName.h"
#include "core/PcapngFormat.h"

namespace quillet {

namespace {

constexpr std::size_t kReadChunk = 256 << 10;

}  // namespace

std::unique_ptr<PcapngNotes> PcapngNotes::Open(const std::string& path)
{
    std::FILE* file = std::fopen(path.c_str(), "rbe");
    if (!file)
        return nullptr;
    std::unique_ptr<PcapngNotes> notes(new PcapngNotes);
    notes->file_ = file;
    notes->ReadMore();
    if (!notes->IsPcapng())
        return nullptr;
    return notes;
}

PcapngNotes::~PcapngNotes()
{
    if (file_)
        std::fclose(file_);
}

bool PcapngNotes::ReadMore()
{
    std::vector<std::uint8_t> chunk(kReadChunk);
    const std::size_t got = std::fread(chunk.data(), 1, chunk.size(), file_);
    Feed(std::span(chunk).first(got));
    if (got == chunk.size())
        return true;
    std::fclose(file_);  // read to its end
    file_ = nullptr;
    return false;
}

std::uint32_t PcapngNotes::LengthOf(std::span<const std::uint8_t> head)
{
    // A pcapng file starts with a section header.
    if (!started_ && !pcapng::StartsSection(head)) {
        ended_ = true;
        return 0;
    }
    started_ = true;
    const std::uint32_t total = pcapng::BlockLength(head, swapped_);
    if (total == 0)
        ended_ = true;
    return total;
}

void PcapngNotes::Feed(std::span<const std::uint8_t> bytes)
{
    constexpr std::size_t kHead = pcapng::kBlockHeadBytes;
    while (!ended_ && !bytes.empty()) {
        if (carry_.empty() && bytes.size() >= kHead) {
            // Whole blocks straight from the bytes given.
            const std::uint32_t total = LengthOf(bytes.first(kHead));
            if (total == 0)
                return;
            if (total <= bytes.size()) {
                Block(bytes.first(total));
                bytes = bytes.subspan(total);
                continue;
            }
        }
        // A block that runs on past these bytes is gathered in carry_: its head first.
        std::size_t want = kHead;
        if (carry_.size() >= kHead && (want = LengthOf(carry_)) == 0)
            return;
        const std::size_t take = std::min(want - carry_.size(), bytes.size());
        carry_.insert(carry_.end(), bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(take));
        bytes = bytes.subspan(take);
        if (carry_.size() < kHead)
            continue;
        const std::uint32_t total = LengthOf(carry_);
        if (total == 0)
            return;
        if (carry_.size() == total) {
            Block(carry_);
            carry_.clear();
        }
    }
}

void PcapngNotes::Block(std::span<const std::uint8_t> block)
{
    const std::uint32_t type = pcapng::BlockType(block, swapped_);
    if (type == pcapng::kNameResolution) {
        // Taken only as a name from the traffic would be.
        const std::size_t from = names_.size();
        pcapng::ParseNames(block, swapped_, names_);
        names_.erase(std::remove_if(names_.begin() + static_cast<std::ptrdiff_t>(from), names_.end(),
                                    [](const auto& named) { return !IsHostName(named.second); }),
                     names_.end());
    } else if (pcapng::IsPacketBlock(type)) {
        pcapng::Packet packet;
        if (pcapng::ParsePacket(block, swapped_, packet))
            packets_.push_back({std::string(packet.comment), packet.flags});
        else
            packets_.emplace_back();
    }
}

bool PcapngNotes::NextPacket(std::string& comment)
{
    std::uint32_t flags = 0;
    return NextPacket(comment, flags);
}

bool PcapngNotes::NextPacket(std::string& comment, std::uint32_t& flags)
{
    comment.clear();
    flags = 0;
    while (packets_.empty() && file_ && !ended_ && ReadMore())
        continue;
    if (packets_.empty())
        return false;
    comment.swap(packets_.front().comment);
    flags = packets_.front().flags;
    packets_.pop_front();
    return true;
}

std::vector<std::pair<std::string, std::string>> PcapngNotes::TakeNames()
{
    std::vector<std::pair<std::string, std::string>> names;
    names.swap(names_);
    return names;
}

}  // namespace quillet
