#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <QCoreApplication>
#include <QString>

#include "filters/DisplayFilterProgram.h"

// The words of the filter language and the values written in it.
namespace quillet::filterlang {

// The texts of faults, context "DisplayFilter".
inline QString translate(const char* context, const char* text)
{
    return QCoreApplication::translate(context, text);
}

// A fault at a place of the text (0-based index of its first character)
// and what is wrong there.
struct Fault {
    int at;
    QString detail;
};

struct Token {
    enum Kind { Word, String, Symbol, Open, Close, OpenSet, CloseSet, Comma, Range, End };
    Kind kind = End;
    int at = 0;
    QString text;             // as written; a string's text without its quotes, escapes applied
    std::string bytes;        // String: the bytes it stands for (UTF-8, \xHH as that byte)
    std::vector<int> source;  // String: where each character of text was written
};

// The tokens of text, ending with an End token at its length. A word is a
// run of ASCII letters, digits, '_', '.', ':', '/' and '-', where ".." stands
// apart as a Range token (8000..8100 is three tokens). Throws Fault.
std::vector<Token> Tokenize(const QString& text);

// A number in decimal or 0x hexadecimal; false when the word is none,
// overflow when it does not fit 64 bits.
bool Number(const QString& word, std::uint64_t& value, bool& overflow);
// The number of a word, 0..max; throws Fault otherwise.
std::uint64_t NumberValue(const Token& t, std::uint64_t max);

enum class AddressFamily : std::uint8_t { Any, V4, V6 };

// An address or a CIDR block as the range of addresses it holds: an IPv4
// address as its 32-bit number, an IPv6 one as its 128 bits, the first
// byte highest.
struct AddressValue {
    bool v6 = false;
    bool block = false;  // written with a prefix length
    U128 lo = 0;
    U128 hi = 0;
};
// An address of the family (any text form of IPv6), with an optional
// prefix length; throws Fault.
AddressValue Address(const Token& t, AddressFamily family);

// The bytes of 47:45:54 (or 474554); throws Fault.
std::string Bytes(const Token& t);

}  // namespace quillet::filterlang
