#include "programs/ProgramComment.h"

#include <cstdint>

#include "programs/SocketOwners.h"

namespace quillet {

namespace {

// Characters of a text as ShownName reads it: a UTF-8 sequence is one, and so is every byte that
// starts none.
std::size_t Characters(std::string_view text)
{
    std::size_t n = 0;
    for (std::size_t i = 0; i < text.size(); ++n) {
        const auto c = static_cast<unsigned char>(text[i]);
        const std::size_t length = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 ? 2 : 1;
        std::size_t k = 1;
        while (k < length && i + k < text.size() && (static_cast<unsigned char>(text[i + k]) & 0xC0) == 0x80)
            ++k;
        i += k == length ? length : 1;
    }
    return n;
}

}  // namespace

std::string ProgramOfComment(std::string_view comment)
{
    if (!comment.starts_with(kProgramCommentPrefix))
        return {};
    std::string_view rest = comment.substr(kProgramCommentPrefix.size());
    if (rest.size() < 3 || rest.back() != ')')
        return {};
    const std::size_t open = rest.rfind('(');
    if (open == std::string_view::npos)
        return {};
    const std::string_view digits = rest.substr(open + 1, rest.size() - open - 2);
    if (digits.empty() || digits.size() > 10)
        return {};
    std::uint64_t pid = 0;
    for (const char c : digits) {
        if (c < '0' || c > '9')
            return {};
        pid = pid * 10 + static_cast<std::uint64_t>(c - '0');
    }
    if (pid > UINT32_MAX)
        return {};
    // "NAME (PID)", or "(PID)" alone for a process without a name.
    std::string_view name;
    if (open > 0) {
        if (open < 2 || rest[open - 1] != ' ')
            return {};
        name = rest.substr(0, open - 1);
        if (name.empty())
            return {};
    }
    if (Characters(name) > kMaxProgramNameChars)
        return {};
    // Escapes only lengthen a name; one that grows past the bound would not be read back from a save.
    const std::string shown = ShownName(name);
    if (shown.size() > kMaxProgramNameChars && Characters(shown) > kMaxProgramNameChars)
        return {};
    return (shown.empty() ? std::string() : shown + " ") + "(" + std::to_string(pid) + ")";
}

std::string CommentOfProgram(std::string_view program)
{
    if (program.empty())
        return {};
    std::string comment(kProgramCommentPrefix);
    comment.append(program);
    return comment;
}

}  // namespace quillet
