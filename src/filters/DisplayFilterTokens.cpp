#include "filters/DisplayFilterTokens.h"

#include <QCoreApplication>

#include "core/IPv6Text.h"

namespace quillet::filterlang {
namespace {

bool WordChar(QChar c)
{
    const char16_t u = c.unicode();
    return (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9') || u == '_' || u == '.'
           || u == ':' || u == '/' || u == '-';
}

int HexDigit(QChar c)
{
    const char16_t u = c.unicode();
    if (u >= '0' && u <= '9')
        return u - '0';
    if (u >= 'a' && u <= 'f')
        return u - 'a' + 10;
    if (u >= 'A' && u <= 'F')
        return u - 'A' + 10;
    return -1;
}

void AppendUtf8(std::string& out, QChar c)
{
    const QByteArray utf8 = QString(c).toUtf8();
    out.append(utf8.constData(), static_cast<std::size_t>(utf8.size()));
}

// A quoted text from text[i] (the quote) on; i ends after the closing quote.
Token ReadString(const QString& text, int& i)
{
    Token t;
    t.kind = Token::String;
    t.at = i;
    const int n = static_cast<int>(text.size());
    ++i;
    while (i < n && text[i] != u'"') {
        QChar c = text[i];
        const int from = i;
        if (c == u'\\') {
            if (i + 1 >= n)
                break;
            const QChar e = text[i + 1];
            i += 2;
            if (e == u'x' && i + 1 < n && HexDigit(text[i]) >= 0 && HexDigit(text[i + 1]) >= 0) {
                const int byte = HexDigit(text[i]) * 16 + HexDigit(text[i + 1]);
                i += 2;
                t.text += QChar(byte);
                t.bytes += static_cast<char>(byte);
                t.source.push_back(from);
                continue;
            }
            switch (e.unicode()) {
            case '\\': c = u'\\'; break;
            case '"': c = u'"'; break;
            case 'n': c = u'\n'; break;
            case 't': c = u'\t'; break;
            case 'r': c = u'\r'; break;
            case '.': case '[': case ']': case '(': case ')': case '*': case '+': case '?': case '{': case '}':
            case '|': case '^': case '$': case 'd': case 'w': case 's': case 'b': case 'D': case 'W': case 'S':
            case 'B':
                // a regular expression's own escape, kept for it
                t.text += u'\\';
                t.source.push_back(from);
                AppendUtf8(t.bytes, u'\\');
                c = e;
                break;
            default:
                throw Fault{from, translate("DisplayFilter", "无效的转义“%1”").arg(text.mid(from, 2))};
            }
            t.text += c;
            AppendUtf8(t.bytes, c);
            t.source.push_back(from + 1);
            continue;
        }
        if (c.isHighSurrogate() && i + 1 < n && text[i + 1].isLowSurrogate()) {
            t.text += c;
            t.text += text[i + 1];
            t.source.push_back(i);
            t.source.push_back(i + 1);
            const QByteArray utf8 = text.mid(i, 2).toUtf8();
            t.bytes.append(utf8.constData(), static_cast<std::size_t>(utf8.size()));
            i += 2;
            continue;
        }
        t.text += c;
        AppendUtf8(t.bytes, c);
        t.source.push_back(i);
        ++i;
    }
    if (i >= n)
        throw Fault{t.at, translate("DisplayFilter", "引号没有结束")};
    ++i;
    return t;
}

}  // namespace

std::vector<Token> Tokenize(const QString& text)
{
    std::vector<Token> tokens;
    const int n = static_cast<int>(text.size());
    int i = 0;
    const auto add = [&](Token::Kind kind, int at, int length) {
        Token t;
        t.kind = kind;
        t.at = at;
        t.text = text.mid(at, length);
        tokens.push_back(std::move(t));
    };
    while (i < n) {
        const QChar c = text[i];
        if (c.isSpace()) {
            ++i;
            continue;
        }
        const QChar next = i + 1 < n ? text[i + 1] : QChar();
        switch (c.unicode()) {
        case '(': add(Token::Open, i++, 1); continue;
        case ')': add(Token::Close, i++, 1); continue;
        case '{': add(Token::OpenSet, i++, 1); continue;
        case '}': add(Token::CloseSet, i++, 1); continue;
        case ',': add(Token::Comma, i++, 1); continue;
        case '"': tokens.push_back(ReadString(text, i)); continue;
        case '=':
        case '!':
        case '<':
        case '>':
            add(Token::Symbol, i, next == u'=' ? 2 : 1);
            i += next == u'=' ? 2 : 1;
            if (tokens.back().text == u"=")
                throw Fault{tokens.back().at, translate("DisplayFilter", "无效的字符“%1”").arg(u"=")};
            continue;
        case '~': add(Token::Symbol, i++, 1); continue;
        case '&':
        case '|':
            if (next != c)
                throw Fault{i, translate("DisplayFilter", "无效的字符“%1”").arg(c)};
            add(Token::Symbol, i, 2);
            i += 2;
            continue;
        default: break;
        }
        if (!WordChar(c)) {
            const int length = c.isHighSurrogate() && next.isLowSurrogate() ? 2 : 1;
            throw Fault{i, translate("DisplayFilter", "无效的字符“%1”").arg(text.mid(i, length))};
        }
        int end = i;
        while (end < n && WordChar(text[end]))
            ++end;
        // "a..b" is three tokens: the ends and the range between them.
        int from = i;
        while (from < end) {
            const int dots = static_cast<int>(text.indexOf(QLatin1String(".."), from));
            const int stop = dots < 0 || dots >= end ? end : dots;
            if (stop > from)
                add(Token::Word, from, stop - from);
            if (stop == end)
                break;
            add(Token::Range, stop, 2);
            from = stop + 2;
        }
        i = end;
    }
    Token end;
    end.kind = Token::End;
    end.at = n;
    tokens.push_back(std::move(end));
    return tokens;
}

// --- values -------------------------------------------------------------------

bool Number(const QString& word, std::uint64_t& value, bool& overflow)
{
    int base = 10;
    int i = 0;
    if (word.size() > 2 && word[0] == u'0' && (word[1] == u'x' || word[1] == u'X')) {
        base = 16;
        i = 2;
    }
    if (i >= word.size())
        return false;
    value = 0;
    overflow = false;
    for (; i < word.size(); ++i) {
        const int d = base == 16 ? HexDigit(word[i]) : (word[i] >= u'0' && word[i] <= u'9' ? word[i].unicode() - '0' : -1);
        if (d < 0)
            return false;
        if (value > (UINT64_MAX - static_cast<unsigned>(d)) / static_cast<unsigned>(base))
            overflow = true;
        else
            value = value * static_cast<unsigned>(base) + static_cast<unsigned>(d);
    }
    return true;
}

std::uint64_t NumberValue(const Token& t, std::uint64_t max)
{
    std::uint64_t v = 0;
    bool overflow = false;
    if (t.kind != Token::Word || !Number(t.text, v, overflow))
        throw Fault{t.at, translate("DisplayFilter", "“%1”不是数字").arg(t.text)};
    if (overflow || v > max)
        throw Fault{t.at, translate("DisplayFilter", "%1 超出范围（%2 至 %3）").arg(t.text).arg(0).arg(max)};
    return v;
}

namespace {

U128 FromBytes(const std::uint8_t* b, int count)
{
    U128 v = 0;
    for (int i = 0; i < count; ++i)
        v = v << 8 | b[i];
    return v;
}

}  // namespace

AddressValue Address(const Token& t, AddressFamily family)
{
    if (t.kind != Token::Word)
        throw Fault{t.at, translate("DisplayFilter", "“%1”不是地址").arg(t.text)};
    const QString& word = t.text;
    const int slash = static_cast<int>(word.indexOf(u'/'));
    const QString body = slash < 0 ? word : word.left(slash);
    AddressValue a;
    std::uint8_t bytes[16] = {};
    int bits = 0;
    if (body.contains(u':')) {
        if (!IPv6FromText(body.toStdString(), bytes) || family == AddressFamily::V4)
            throw Fault{t.at, (family == AddressFamily::V4 ? translate("DisplayFilter", "“%1”不是 IPv4 地址") : translate("DisplayFilter", "“%1”不是 IPv6 地址")).arg(word)};
        a.v6 = true;
        bits = 128;
        a.lo = FromBytes(bytes, 16);
    } else {
        const QStringList parts = body.split(u'.');
        bool ok = parts.size() == 4;
        bool tooBig = false;
        for (int i = 0; ok && i < 4; ++i) {
            std::uint64_t v = 0;
            bool overflow = false;
            ok = parts[i].size() <= 3 && Number(parts[i], v, overflow) && !parts[i].startsWith(QLatin1String("0x"));
            tooBig |= ok && v > 255;
            bytes[i] = static_cast<std::uint8_t>(v);
        }
        if (!ok && family == AddressFamily::V6)
            throw Fault{t.at, translate("DisplayFilter", "“%1”不是 IPv6 地址").arg(word)};
        if (!ok)
            throw Fault{t.at, (family == AddressFamily::V4 ? translate("DisplayFilter", "“%1”不是 IPv4 地址") : translate("DisplayFilter", "“%1”不是地址")).arg(word)};
        if (tooBig)
            throw Fault{t.at, translate("DisplayFilter", "“%1”超出地址范围").arg(word)};
        if (family == AddressFamily::V6)
            throw Fault{t.at, translate("DisplayFilter", "“%1”不是 IPv6 地址").arg(word)};
        bits = 32;
        a.lo = FromBytes(bytes, 4);
    }
    a.hi = a.lo;
    if (slash >= 0) {
        Token prefix;
        prefix.kind = Token::Word;
        prefix.at = t.at + slash + 1;
        prefix.text = word.mid(slash + 1);
        std::uint64_t length = 0;
        bool overflow = false;
        if (!Number(prefix.text, length, overflow))
            throw Fault{prefix.at, translate("DisplayFilter", "“%1”不是数字").arg(prefix.text)};
        if (overflow || length > static_cast<std::uint64_t>(bits))
            throw Fault{prefix.at, translate("DisplayFilter", "前缀长度 %1 超出范围（0 至 %2）").arg(prefix.text).arg(bits)};
        const int host = bits - static_cast<int>(length);
        const U128 mask = host == 128 ? ~U128{0} : (U128{1} << host) - 1;
        a.lo &= ~mask;
        a.hi = a.lo | mask;
        a.block = true;
    }
    return a;
}

std::string Bytes(const Token& t)
{
    std::string out;
    const QString& w = t.text;
    int i = 0;
    bool ok = t.kind == Token::Word && !w.isEmpty();
    while (ok && i < w.size()) {
        const int hi = HexDigit(w[i]);
        const int lo = i + 1 < w.size() ? HexDigit(w[i + 1]) : -1;
        ok = hi >= 0 && lo >= 0;
        out += static_cast<char>(hi * 16 + lo);
        i += 2;
        if (ok && i < w.size() && w[i] == u':') {
            ++i;
            ok = i < w.size();
        }
    }
    if (!ok)
        throw Fault{t.at, translate("DisplayFilter", "“%1”不是字节序列（如 47:45:54）").arg(t.text)};
    return out;
}

}  // namespace quillet::filterlang
