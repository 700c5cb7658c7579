#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

// The classic pcap file: its file header and its record headers, each written by one routine and
// parsed by the one beside it. Written in the host's byte order with microsecond timestamps;
// parsed in either order (swapped: not the host's), with microsecond or nanosecond timestamps.
namespace quillet::pcapfile {

inline constexpr std::uint32_t kMagicMicro = 0xA1B2C3D4;
inline constexpr std::uint32_t kMagicNano = 0xA1B23C4D;
inline constexpr std::size_t kFileHeaderBytes = 24;
inline constexpr std::size_t kRecordHeaderBytes = 16;

struct FileHeader {
    int linkType = 0;
    std::uint32_t snapLength = 0;
    bool swapped = false;
    bool nanoseconds = false;
};
// Version 2.4, no time zone offset or accuracy.
void PutFileHeader(std::vector<std::uint8_t>& out, int linkType, std::uint32_t snapLength);
// false when the bytes start no pcap file (kFileHeaderBytes at least).
bool ParseFileHeader(std::span<const std::uint8_t> bytes, FileHeader& header);

struct RecordHeader {
    std::int64_t timestampUs = 0;  // written as 0 when negative (32-bit seconds)
    std::uint32_t captured = 0;
    std::uint32_t originalLength = 0;  // written as captured when less
};
// Bytes of a record of captured bytes.
std::size_t RecordBytes(std::size_t captured);
// Writes the record header and the data at out (RecordBytes long); returns where the data starts.
std::uint32_t PutRecord(std::uint8_t* out, std::int64_t timestampUs, std::span<const std::uint8_t> data,
                        std::uint32_t originalLength);
// The header of the record at bytes (kRecordHeaderBytes at least) in a file of header file.
RecordHeader ParseRecordHeader(std::span<const std::uint8_t> bytes, const FileHeader& file);

}  // namespace quillet::pcapfile
