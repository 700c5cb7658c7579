#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace quillet {

// What a pcapng file says beside its packets: the comment of each packet
// block and the names of its name resolution blocks. Read in step with the
// packets (libpcap reads the packets themselves and skips both).
class PcapngNotes {
public:
    // nullptr when the file is not pcapng (classic pcap has neither).
    static std::unique_ptr<PcapngNotes> Open(const std::string& path);
    ~PcapngNotes();
    PcapngNotes(const PcapngNotes&) = delete;
    PcapngNotes& operator=(const PcapngNotes&) = delete;

    // Moves to the next packet block; comment is its first comment, empty
    // when it has none. false at the end, or where the file is damaged.
    bool NextPacket(std::string& comment);
    // The (address text, name) pairs of the name blocks passed so far, once;
    // a name that is no host name (IsHostName) is left out.
    std::vector<std::pair<std::string, std::string>> TakeNames();

private:
    explicit PcapngNotes(std::FILE* file) : file_(file) {}
    std::uint32_t U32(const std::uint8_t* p) const;
    std::uint16_t U16(const std::uint8_t* p) const;
    void ReadNames(const std::vector<std::uint8_t>& body);
    std::string Comment(const std::vector<std::uint8_t>& body, std::size_t optionsAt) const;

    std::FILE* file_;
    bool swapped_ = false;
    bool ended_ = false;
    std::vector<std::uint8_t> body_;
    std::vector<std::pair<std::string, std::string>> names_;
};

}  // namespace quillet
