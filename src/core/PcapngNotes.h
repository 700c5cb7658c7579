#pragma once

#include <cstdint>
#include <cstdio>
#include <deque>
#include <memory>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace quillet {

// What a pcapng file says beside its packets: the comment and the flags of
// each packet block and the names of its name resolution blocks, in step with the
// packets (libpcap reads the packets themselves and skips both). The notes
// are read from the file's bytes as they pass, so that the file is read once
// (the frame reader hands on what libpcap reads), or from a file by name.
class PcapngNotes {
public:
    // Notes of the bytes given to Feed, from the file's first byte on.
    PcapngNotes() = default;
    // Reads the file itself; nullptr when it is not pcapng (classic pcap has neither).
    static std::unique_ptr<PcapngNotes> Open(const std::string& path);
    ~PcapngNotes();
    PcapngNotes(const PcapngNotes&) = delete;
    PcapngNotes& operator=(const PcapngNotes&) = delete;

    // The file's next bytes, in any pieces. Bytes that start no pcapng file,
    // or a damaged block, end the notes: the packets before keep theirs.
    void Feed(std::span<const std::uint8_t> bytes);
    // Whether the bytes so far start a pcapng file.
    bool IsPcapng() const { return started_; }

    // Moves to the next packet block; comment is its first comment, empty
    // when it has none. false at the end of what was read, or where the file
    // is damaged.
    bool NextPacket(std::string& comment);
    // The same with its flags (epb_flags; 0 when it has none).
    bool NextPacket(std::string& comment, std::uint32_t& flags);
    // The (address text, name) pairs of the name blocks read so far, once;
    // a name that is no host name (IsHostName) is left out.
    std::vector<std::pair<std::string, std::string>> TakeNames();

private:
    std::uint32_t LengthOf(std::span<const std::uint8_t> head);
    void Block(std::span<const std::uint8_t> block);
    bool ReadMore();

    std::FILE* file_ = nullptr;  // Open's
    bool started_ = false;
    bool swapped_ = false;
    bool ended_ = false;
    std::vector<std::uint8_t> carry_;  // a block that runs on past the bytes fed
    struct PacketNote {
        std::string comment;
        std::uint32_t flags = 0;
    };
    std::deque<PacketNote> packets_;  // blocks read and not yet asked for
    std::vector<std::pair<std::string, std::string>> names_;
};

}  // namespace quillet
