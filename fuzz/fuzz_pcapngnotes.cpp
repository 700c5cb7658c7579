// Feeds arbitrary bytes to the reader of what a pcapng file says beside its
// packets: every program a packet comment names must read as the program
// column shows one (escaped, "NAME (PID)", NAME of at most 64 characters), and
// every name of a name block must be a host name for an address text.
#include <arpa/inet.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "FuzzCheck.h"
#include "core/PcapngNotes.h"
#include "programs/ProgramComment.h"

using quillet::fuzz::Check;
using quillet::fuzz::CheckHostName;

namespace {

// Valid UTF-8 with no control character (C0, DEL, C1) and no character that
// reorders text; returns the number of characters.
std::size_t CheckPlainText(std::string_view text)
{
    std::size_t characters = 0;
    for (std::size_t i = 0; i < text.size(); ++characters) {
        const auto c = static_cast<unsigned char>(text[i]);
        Check(c >= 0x20 && c != 0x7F && c != 0xC0 && c != 0xC1 && c < 0xF5);
        const std::size_t length = c < 0x80 ? 1 : c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : 2;
        Check(c < 0x80 || c >= 0xC2);
        Check(i + length <= text.size());
        std::uint32_t code = length == 1 ? c : length == 4 ? c & 0x07u : length == 3 ? c & 0x0Fu : c & 0x1Fu;
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            Check((next & 0xC0) == 0x80);
            code = code << 6 | (next & 0x3Fu);
        }
        Check(!(code >= 0x80 && code <= 0x9F) && code != 0x061C && code != 0x200E && code != 0x200F
              && !(code >= 0x202A && code <= 0x202E) && !(code >= 0x2066 && code <= 0x2069));
        i += length;
    }
    return characters;
}

void CheckProgram(const std::string& program)
{
    if (program.empty())
        return;
    Check(program.back() == ')');
    const std::size_t open = program.rfind('(');
    Check(open != std::string::npos && open + 2 < program.size());
    for (std::size_t i = open + 1; i + 1 < program.size(); ++i)
        Check(program[i] >= '0' && program[i] <= '9');
    Check(open == 0 || (open >= 2 && program[open - 1] == ' '));
    if (open > 0)
        Check(CheckPlainText(std::string_view(program).substr(0, open - 1)) <= quillet::kMaxProgramNameChars);
    // Shown and saved, it reads back the same.
    Check(quillet::ProgramOfComment(quillet::CommentOfProgram(program)) == program);
}

void CheckAddress(const std::string& address)
{
    unsigned char bytes[16];
    Check(inet_pton(AF_INET, address.c_str(), bytes) == 1 || inet_pton(AF_INET6, address.c_str(), bytes) == 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const int fd = memfd_create("in", MFD_CLOEXEC);
    Check(fd >= 0);
    Check(write(fd, data, size) == static_cast<ssize_t>(size));
    const auto notes = quillet::PcapngNotes::Open("/proc/self/fd/" + std::to_string(fd));
    close(fd);
    if (!notes)
        return 0;
    std::string comment;
    std::size_t packets = 0;
    while (notes->NextPacket(comment)) {
        Check(++packets <= size / 12);  // every packet block takes 12 bytes at least
        CheckProgram(quillet::ProgramOfComment(comment));
        for (const auto& [address, name] : notes->TakeNames()) {
            CheckAddress(address);
            CheckHostName(name);
        }
    }
    for (const auto& [address, name] : notes->TakeNames()) {
        CheckAddress(address);
        CheckHostName(name);
    }
    return 0;
}
