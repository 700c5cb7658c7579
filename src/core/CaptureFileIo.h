#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

// What the capture file writer and the working file share: descriptors that close themselves,
// unguessable names, and writes that go on until all is written.
namespace quillet::fileio {

std::string ErrnoText(int err);

// Closes what it holds unless released.
struct FdGuard {
    int fd = -1;
    ~FdGuard();
    int release() { return std::exchange(fd, -1); }
};

// The characters of the random part of a name, and how many RandomName adds.
inline constexpr std::string_view kNameChars = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
inline constexpr std::size_t kRandomChars = 12;
// A name no one can guess: prefix and kRandomChars random letters and digits.
std::string RandomName(const std::string& prefix);

// write() until all is written; false and errno's text on failure. written counts what reached
// the file either way.
bool WriteFully(int fd, const std::uint8_t* data, std::size_t size, std::uint64_t& written, std::string& error);
// pwrite() of size bytes at offset at until all are written; false and errno's text on failure.
// wrote counts what was written either way.
bool PwriteAll(int fd, const std::uint8_t* data, std::size_t size, std::uint64_t at, std::uint64_t& wrote,
               std::string& why);

}  // namespace quillet::fileio
