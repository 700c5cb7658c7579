#include <gtest/gtest.h>

#include <QRegularExpression>

#include <algorithm>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "filters/DisplayFilter.h"
#include "filters/PayloadExpression.h"
#include "filters/RequiredText.h"

namespace quillet {
namespace {

// The rows every case is asked of, by index.
struct Row {
    const char *protocol, *src, *srcPort, *dest, *destPort, *size, *program, *payload;
};

const Row kRows[] = {
    /*0*/ {"TCP", "10.0.0.1", "443", "192.168.1.5", "51000", "26", "firefox (4321)", "GET /index.html password=1"},
    /*1*/ {"UDP", "192.168.1.5", "53000", "8.8.8.8", "53", "3", "dig (123)", "\x00\x01\xff"},
    /*2*/ {"ICMP", "10.1.2.3", "", "192.168.1.5", "", "56", "", ""},
    /*3*/ {"TCP", "2001:db8::1", "8080", "2001:db8:ffff::2", "50000", "0", "", ""},
    /*4*/ {"ICMPv6", "fe80::1", "", "ff02::1", "", "24", "", ""},
    /*5*/ {"2", "192.168.1.5", "", "224.0.0.1", "", "8", "", ""},
    /*6*/ {"UDP", "fd00::5", "5353", "ff02::fb", "5353", "4000000000", "avahi (7)", "QUERY"},
};
constexpr int kRowCount = sizeof kRows / sizeof kRows[0];

// The machine's own addresses are 192.168.1.5 and fd00::5.
class Context : public DisplayFilterContext {
public:
    Context() : own_{AddressText("192.168.1.5").bits(), AddressText("fd00::5").bits()}
    {
        std::sort(own_.begin(), own_.end());
        SetLocalBits(own_);
    }
    QString ProgramOf(std::int64_t seq, const clV&) const override
    {
        ++calls;
        return QString::fromUtf8(kRows[seq].program);
    }
    void NamesOf(const AddressText& a, std::vector<QString>& out) const override
    {
        ++calls;
        if (a == "8.8.8.8") {
            out.push_back("dns.google");
            out.push_back("resolver-1.lan");
        }
        if (a == "10.0.0.1") {
            out.push_back("example.com");
            out.push_back("www.example.com");
        }
    }
    bool PayloadOf(std::int64_t seq, const clV&, std::string& bytes) const override
    {
        ++calls;
        bytes = payloads[static_cast<std::size_t>(seq)];
        return true;
    }
    std::int64_t StreamOf(std::int64_t seq, const clV&) const override
    {
        const std::int64_t streams[kRowCount] = {7, 0, -1, 2, -1, -1, 3};
        return streams[seq];
    }
    std::vector<std::string> payloads;
    mutable int calls = 0;

private:
    std::vector<std::uint64_t> own_;
};

struct Rows {
    Rows()
    {
        for (int i = 0; i < kRowCount; ++i) {
            const Row& r = kRows[i];
            const std::string bytes = i == 1 ? std::string("\x00\x01\xff", 3) : std::string(r.payload);
            context.payloads.push_back(bytes);
            clV record;
            record.add(r.protocol, r.src, r.srcPort, r.dest, r.destPort, r.size,
                       PayloadRef(0, static_cast<std::uint32_t>(bytes.size())), "12:00:00.00");
            records.push_back(record);
        }
    }
    // The rows the filter passes, as "0,3", one by one or as one span.
    std::string Passing(const DisplayFilter& f, bool span = false) const
    {
        std::uint8_t passed[kRowCount] = {};
        if (span)
            f.MatchSpan(0, records.data(), records.size(), context, passed);
        else
            for (int i = 0; i < kRowCount; ++i)
                passed[i] = f.Matches(i, records[static_cast<std::size_t>(i)], context);
        std::string out;
        for (int i = 0; i < kRowCount; ++i)
            if (passed[i] != 0)
                out += (out.empty() ? "" : ",") + std::to_string(i);
        return out;
    }
    std::vector<clV> records;
    Context context;
};

struct Case {
    const char* filter;
    const char* rows;  // the rows that pass
};

TEST(DisplayFilter, EachFormPassesItsRows)
{
    const Case cases[] = {
        // protocol and family
        {"tcp", "0,3"}, {"udp", "1,6"}, {"icmp", "2"}, {"icmpv6", "4"}, {"TCP", "0,3"},
        {"ip", "0,1,2,5"}, {"ipv6", "3,4,6"}, {"ip.proto == 2", "5"}, {"ip.proto > 6", "1,4,6"},
        // addresses, either family, CIDR
        {"ip.addr == 192.168.1.5", "0,1,2,5"}, {"ip.src == 192.168.1.5", "1,5"}, {"ip.dst == 192.168.1.5", "0,2"},
        {"ip.addr == 10.0.0.0/8", "0,2"}, {"ip.addr == 10.0.0.0/32", ""}, {"ip.src == 10.1.2.3/16", "2"},
        {"ip.addr == 0.0.0.0/0", "0,1,2,5"}, {"ipv6.addr == 2001:DB8:0::1", "3"},
        {"ipv6.src == 2001:db8::/32", "3"}, {"ipv6.dst == ff00::/8", "4,6"}, {"ipv6.addr == ::/0", "3,4,6"},
        {"addr == 2001:db8::/32 or addr == 8.8.8.8", "1,3"}, {"dst == 192.168.0.0/16", "0,2"},
        {"ip.addr <= 10.0.0.1", "0,1"}, {"ipv6.dst < ff00::", "3"},
        // two-valued fields: != only when neither value equals
        {"ip.addr != 192.168.1.5", ""}, {"ip.addr != 8.8.8.8", "0,2,5"}, {"addr != 8.8.8.8", "0,2,3,4,5,6"},
        {"ipv6.addr ne ff02::1", "3,6"}, {"not ip.addr == 8.8.8.8", "0,2,3,4,5,6"},
        // ports by protocol; a row without ports has none of them
        {"tcp.port == 443", "0"}, {"udp.port == 443", ""}, {"port == 53", "1"}, {"tcp.srcport == 443", "0"},
        {"tcp.dstport == 443", ""}, {"udp.dstport == 53", "1"}, {"srcport == 8080", "3"},
        {"port != 53", "0,3,6"}, {"port >= 51000", "0,1"}, {"port > 65535", ""}, {"tcp.port", "0,3"},
        {"port", "0,1,3,6"}, {"port == 0x1bb", "0"},
        // in-sets with ranges, commas or spaces
        {"port in {53 443}", "0,1"}, {"port in {1..100, 5000 .. 5400}", "1,6"},
        {"tcp.port in {80 443 8000..8100}", "0,3"}, {"len in {0..10}", "1,3,5"},
        {"ip.addr in {8.8.8.8 10.0.0.0/8}", "0,1,2"}, {"ip.addr in {10.0.0.0..10.0.255.255}", "0"},
        {"addr in {2001:db8::1 224.0.0.1}", "3,5"}, {"ipv6.addr in {fe80::..fe80::ff}", "4"},
        {"program in {\"dig (123)\" \"avahi (7)\"}", "1,6"},
        // size
        {"len == 0", "3"}, {"data.len > 50", "2,6"}, {"len >= 4000000000", "6"},
        // payload
        {"payload contains \"password\"", "0"}, {"payload contains 47:45:54", "0"},
        {"frame contains \"\\x00\\x01\"", "1"}, {"payload matches \"^get /\\\\w+\"", "0"},
        {"payload ~ \"PASS(WORD)?=\\\\d\"", "0"}, {"payload == \"QUERY\"", "6"},
        {"payload != \"QUERY\"", "0,1"}, {"payload", "0,1,6"},
        // matches of a plain text, any case, found at the start, in the middle and near the end
        {"payload matches \"get /\"", "0"}, {"payload matches \"HTML PASS\"", "0"},
        {"payload matches \"PassWord=1\"", "0"}, {"payload matches \"query\"", "6"},
        {"payload matches \"word=2\"", ""}, {"payload matches \"\"", "0,1,6"}, {"payload ~ \"\\xFF\"", "1"},
        // program and names
        {"program == \"firefox (4321)\"", "0"}, {"program contains dig", "1"}, {"program matches \"^FIRE\"", "0"},
        {"program != \"dig (123)\"", "0,6"}, {"program", "0,1,6"}, {"host == dns.google", "1"},
        {"host == \"www.example.com\"", "0"}, {"host matches \"GOOGLE$\"", "1"}, {"host != example.com", "1"},
        {"host", "0,1"},
        // direction
        {"sent", "1,5,6"}, {"received", "0,2,3,4"},

        {"tcp.stream == 7", "0"}, {"udp.stream == 0", "1"}, {"udp.stream == 7", ""}, {"tcp.stream in {2 7}", "0,3"},
        {"tcp.stream < 7", "3"}, {"udp.stream >= 0", "1,6"}, {"tcp.stream != 7", "3"}, {"tcp.stream", "0,3"},
        // logic and precedence: not > and > or
        {"tcp && ip", "0"}, {"udp || icmp", "1,2,6"}, {"!tcp", "1,2,4,5,6"}, {"! ip.addr == 8.8.8.8 and udp", "6"},
        {"tcp or udp and ip", "0,1,3"}, {"(tcp or udp) and ip", "0,1"}, {"not (tcp or udp)", "2,4,5"},
        {"not not tcp", "0,3"}, {"icmp or tcp and ipv6 or ip.proto == 2", "2,3,5"},
        {"sent and not udp or received and icmp", "2,5"}, {"((tcp))", "0,3"},
    };
    Rows rows;
    for (const Case& c : cases) {
        DisplayFilterError error;
        const auto filter = DisplayFilter::Compile(QString::fromUtf8(c.filter), &error);
        ASSERT_NE(filter, nullptr) << c.filter << ": " << error.message.toStdString();
        EXPECT_EQ(rows.Passing(*filter), c.rows) << c.filter;
        EXPECT_EQ(rows.Passing(*filter, true), c.rows) << c.filter << " (span)";
    }
}

// Random records of both families, with ports or none, and addresses that are no address.
std::vector<clV> MixedRecords(std::size_t count)
{
    std::mt19937 rng(4242);
    const char* const v4[] = {"10.0.0.1", "10.200.3.4", "192.168.1.5", "8.8.8.8", "172.16.9.9", "224.0.0.1"};
    const char* const v6[] = {"2001:db8::1", "2001:db8:ffff::2", "fe80::1", "ff02::1", "fd00::5", "::ffff:10.0.0.1"};
    const char* const ports[] = {"53", "80", "85", "90", "91", "443", "0", "65535", "51000", ""};
    const char* const sizes[] = {"0", "10", "11", "20", "25", "30", "101", "1500", "4000000000"};
    std::vector<clV> records(count);
    for (clV& r : records) {
        const unsigned family = rng() % 7;  // 0..2 IPv4, 3..5 IPv6, 6 texts
        const bool six = family >= 3;
        const char* const protocols4[] = {"TCP", "UDP", "ICMP", "2", "47"};
        const char* const protocols6[] = {"TCP", "UDP", "ICMPv6", "47"};
        const char* protocol = six ? protocols6[rng() % 4] : protocols4[rng() % 5];
        const bool ported = std::string(protocol) == "TCP" || std::string(protocol) == "UDP";
        const char* src = family == 6 ? "ein-name" : six ? v6[rng() % 6] : v4[rng() % 6];
        const char* dest = family == 6 ? "noch.einer" : six ? v6[rng() % 6] : v4[rng() % 6];
        // A later fragment has no ports.
        const char* srcPort = ported ? ports[rng() % 10] : "";
        const char* destPort = ported && srcPort[0] != 0 ? ports[rng() % 9] : "";
        r.add(protocol, src, srcPort, dest, destPort, sizes[rng() % 9], PayloadRef(), "12:00:00.00");
    }
    return records;
}

TEST(DisplayFilter, FormsAgreeWithTheirEquivalents)
{
    const struct {
        const char* filter;
        const char* same;
    } cases[] = {
        // a field the row lacks is false for == and for != alike
        {"port == 53 or port != 53", "port"}, {"port == 53 and port != 53", "tcp and not tcp"},
        {"ip.addr == 10.0.0.1 or ip.addr != 10.0.0.1", "ip"},
        {"ipv6.addr == fe80::1 or ipv6.addr ne fe80::1", "ipv6"}, {"len >= 0", "len"},
        {"tcp.port in {0..65535}", "tcp.port"}, {"tcp.port", "tcp and port"},
        // either family, CIDR, sides
        {"addr == 10.0.0.0/8", "ip.addr == 10.0.0.0/8"}, {"addr != 10.0.0.1", "ip.addr != 10.0.0.1 and ip or ipv6"},
        {"not (ip.src != 10.0.0.1) and ip", "ip.src == 10.0.0.1"},
        {"ipv6.src == 2001:db8::/32",
         "ipv6.src >= 2001:db8:: and ipv6.src <= 2001:db8:ffff:ffff:ffff:ffff:ffff:ffff"},
        {"ipv6.addr == ::ffff:10.0.0.0/104", "ipv6.addr == ::ffff:10.0.0.1"},
        // sets, ranges and precedence
        {"tcp.dstport in {53 80..90}", "tcp.dstport == 53 or tcp.dstport >= 80 and tcp.dstport <= 90"},
        {"len in {0..10, 20..30}", "len <= 10 or len >= 20 and len <= 30"}, {"ip.proto in {6, 17}", "tcp or udp"},
        {"sent", "not received"}, {"not (len > 20 and port)", "len <= 20 or not port or not len"},
        {"tcp or udp and ipv6", "tcp or (udp and ipv6)"},
    };
    const std::vector<clV> records = MixedRecords(4000);
    Context context;
    const auto passing = [&](const DisplayFilter& f, int threads) {
        std::vector<std::uint8_t> passed(records.size());
        const std::size_t half = threads == 1 ? records.size() : records.size() / 2;
        std::thread other;
        if (threads == 2)
            other = std::thread([&] {
                f.MatchSpan(static_cast<std::int64_t>(half), records.data() + half, records.size() - half, context,
                            passed.data() + half);
            });
        f.MatchSpan(0, records.data(), half, context, passed.data());
        if (other.joinable())
            other.join();
        return passed;
    };
    for (const auto& c : cases) {
        const auto f = DisplayFilter::Compile(c.filter, nullptr);
        const auto same = DisplayFilter::Compile(c.same, nullptr);
        ASSERT_TRUE(f && same) << c.filter << " / " << c.same;
        const std::vector<std::uint8_t> spans = passing(*f, 2);
        int count = 0;
        for (std::size_t i = 0; i < records.size(); ++i) {
            const auto seq = static_cast<std::int64_t>(i);
            const bool one = f->Matches(seq, records[i], context);
            count += one;
            ASSERT_EQ(one, same->Matches(seq, records[i], context))
                << c.filter << " / " << c.same << " at " << records[i].mProtocol << " " << records[i].mSrcAddr
                << ":" << records[i].mSrcPort << " > " << records[i].mDestAddr << ":" << records[i].mDestPort
                << " " << records[i].mSize;
            ASSERT_EQ(one, spans[i] != 0) << c.filter << " (spans on two threads)";
        }
        EXPECT_EQ(passing(*same, 1), spans) << c.same;
        // Neither side is trivially all or nothing, but for the cases meant so.
        const std::string equivalent = c.same;
        if (equivalent != "tcp and not tcp" && equivalent != "len") {
            EXPECT_TRUE(count > 0 && count < static_cast<int>(records.size())) << c.filter << ": " << count;
        }
    }
}

// Patterns and the text each match must hold ("" none; whole: the pattern
// is that text alone).
const struct Required {
    const char* pattern;
    const char* text;
    bool whole;
} kRequired[] = {
    {"NEEDLE", "needle", true}, {"a\\.b\\+", "a.b+", true}, {"", "", true}, {"a#b c", "a#b c", true},
    {"\\(ab\\)", "(ab)", true},
    // a quantifier takes the one character before it
    {"ne+dle", "edle", false}, {"abc+d", "abc", false}, {"abc?d", "ab", false}, {"colou?r", "colo", false},
    {"ab{2}cd", "bcd", false}, {"ab{0,3}cd", "cd", false}, {"ab{,3}cd", "cd", false}, {"needle{0}", "needl", false},
    {"ab+?cde", "bcde", false}, {"ab*+cde", "cde", false}, {"ab{x}cd", "ab", false}, {"x{2}", "", false},
    // atoms of no known text end a piece
    {"^get /", "get /", false}, {"\\bword\\b$", "word", false}, {"a.b", "", false}, {"[a-z]{30}", "", false},
    {"[ne]edle", "edle", false}, {"\\d+needle\\s", "needle", false}, {"[[:alpha:]]+needle", "needle", false},
    {"[]|(]needle", "needle", false}, {"[\\]|(]abc", "abc", false}, {"Stra\u00dfe", "stra", false},
    {"\u212aelvin", "elvin", false}, {"ab\ncd", "ab", false},
    // groups are atoms; what alternates inside them stays there
    {"(foo|bar)needle", "needle", false}, {"(?:ab|cd)+xyz", "xyz", false}, {"(a\\)|b)cd", "cd", false},
    {"(?<n>ab)cd", "cd", false}, {"(?=abc)x", "", false},
    // nothing is sure: alternatives at the top, options, escapes not read here
    {"needle|haystack", "", false}, {"(?-i)NeedleX", "", false}, {"(?x)ne dle", "", false},
    {"xy(?x) abc", "", false}, {"(?i:ab)cd", "", false}, {"ab(?#x)cd", "", false}, {"(*UCP)abc", "", false},
    {"abc(*ACCEPT)def", "", false}, {"\\x41bc", "", false}, {"\\101bc", "", false}, {"(ab)\\1cd", "", false},
    {"\\cAbcd", "", false}, {"\\Qa|b\\E", "", false}, {"\\p{L}abc", "", false},
    // a match deeper than the smallest stack of the compiled expression
    {"^(a|b)*$", "", false},
};

TEST(DisplayFilter, PayloadExpressionsKnowTheTextEveryMatchHolds)
{
    for (const Required& r : kRequired) {
        const RequiredText got = RequiredTextOf(QString::fromUtf8(r.pattern));
        EXPECT_EQ(got.text, r.text) << r.pattern;
        EXPECT_EQ(got.whole, r.whole) << r.pattern;
    }
}

// With what every match holds searched first, payload matches passes what
// the expression alone passes, payload read as Latin-1.
TEST(DisplayFilter, PayloadMatchesAgreesWithTheExpression)
{
    std::vector<std::string> payloads = {
        "needle", "NEEDLE", "nEeEeDlE", "nedle", std::string("ne\0dle", 6), "ne\ndle", "abcd", "ABccD", "abd",
        "colour", "COLOR", "Stra\xdf" "e", "STRASSE", "get /x", "GET\n/", "\xc9needle\xff", "x(AB)y", "A#B C",
        "word", "a.b+", "abbcd", "XYZ", "cdcdxyz", "needl", "\xb5\xaa\xba\xe9\xc9", "\x80\xa0", "kelvin", "abcd",
        "AB{,3}CD", "abbbcde", "ACDE", "ab{x}cd", "9needle ", "Xneedle", "]needle", "|ABC", "fooNEEDLE", "AB\nCD"};
    const std::string pieces[] = {"n", "e", "E", "d", "l", "L", "dle", "NE", "ab", "C", "cd", "xyz", "x", "ord",
                                  "w", "get", " /", "\n", std::string(1, '\0'), "\xc9", "\xe9", "\xff",
                                  "\xdf", "\xb5", "\x80", "-", ".", "+", "(", ")", "#", "elvin", "u", "r", "o"};
    // A text at each place of payloads around 16 and 32 bytes, and nearly.
    for (std::size_t k = 0; k < 36; ++k) {
        payloads.push_back(std::string(k, '\xc5') + "nEEdle" + std::string(k % 3, 'x'));
        payloads.push_back(std::string(k, 'e') + "needlx" + std::string(k % 5, 'n'));
    }
    // Long enough to need a larger stack, and too long for any.
    for (const std::size_t n : {6000, 400000}) {
        std::string ab(n, 'a');
        for (std::size_t i = 1; i < n; i += 2)
            ab[i] = 'B';
        payloads.push_back(ab);
    }
    std::mt19937 rng(77);
    for (int k = 0; k < 400; ++k) {
        std::string p;
        for (unsigned n = 1 + rng() % 10; n > 0; --n) {
            const unsigned at = rng() % (sizeof pieces / sizeof pieces[0]);
            p += pieces[at];
        }
        payloads.push_back(p);
    }
    Context context;
    std::vector<clV> records;
    for (const std::string& p : payloads) {
        context.payloads.push_back(p);
        clV record;
        record.add("UDP", "10.0.0.1", "1", "10.0.0.2", "2", "0", PayloadRef(0, static_cast<std::uint32_t>(p.size())),
                   "12:00:00.00");
        records.push_back(record);
    }
    int sure = 0;
    for (const Required& r : kRequired) {
        const QString pattern = QString::fromUtf8(r.pattern);
        QString quoted = pattern;
        quoted.replace("\\", "\\\\").replace("\"", "\\\"");
        const auto f = DisplayFilter::Compile("payload matches \"" + quoted + "\"", nullptr);
        ASSERT_NE(f, nullptr) << r.pattern;
        const QRegularExpression alone(pattern, QRegularExpression::CaseInsensitiveOption);
        std::vector<std::uint8_t> spans(records.size());
        f->MatchSpan(0, records.data(), records.size(), context, spans.data());
        int passing = 0;
        for (std::size_t i = 0; i < payloads.size(); ++i) {
            const std::string& p = payloads[i];
            const bool expected =
                !p.empty() && alone.match(QString::fromLatin1(p.data(), static_cast<qsizetype>(p.size()))).hasMatch();
            passing += expected;
            ASSERT_EQ(f->Matches(static_cast<std::int64_t>(i), records[i], context), expected)
                << r.pattern << " on " << QByteArray::fromStdString(p).toHex().toStdString();
            ASSERT_EQ(spans[i] != 0, expected) << r.pattern << " (span)";
        }
        // The payloads try the expressions on either side of their verdict.
        if (r.text[0] != 0 && !r.whole) {
            ++sure;
            EXPECT_GT(passing, 0) << r.pattern;
        }
    }
    EXPECT_GT(sure, 20);
}

// The faster matcher of payload expressions gives the answers of the
// regular expression it stands for, invalid ones included, from the filter's
// two threads at once (each keeps its own match data and stack).
TEST(DisplayFilter, PayloadExpressionsAnswerAsTheirRegexOnEveryThread)
{
    std::vector<QString> patterns = {"(", "a{2,1}", "[a-z]{3}\\d", "^\\w+$", "(?s)a.b", "a$", "\\Ba", "\u00e9t\u00e9"};
    for (const Required& r : kRequired)
        patterns.push_back(QString::fromUtf8(r.pattern));
    std::vector<QString> texts;
    for (const char* t : {"", "abc1", "ABC1x", "a\nb", "a\n", "ba", "\xc9T\xc9", "\xe9t\xe9 ", "Stra\xdf" "e", "STRASSE",
                          "needle", "GET /x", "word", "x(ab)y", "\xb5\xe0"})
        texts.push_back(QString::fromLatin1(t));
    texts.push_back(QString(3000, QLatin1Char('a')) + QLatin1Char('b'));
    std::vector<std::unique_ptr<PayloadExpression>> expressions;
    std::vector<std::vector<char>> expected;
    for (const QString& pattern : patterns) {
        const QRegularExpression regex(pattern, QRegularExpression::CaseInsensitiveOption);
        expressions.push_back(std::make_unique<PayloadExpression>(pattern));
        EXPECT_EQ(expressions.back()->valid(), regex.isValid()) << pattern.toStdString();
        expected.emplace_back();
        for (const QString& text : texts)
            expected.back().push_back(regex.isValid() && regex.match(text).hasMatch());
    }
    const auto differences = [&](bool backward, int& found) {
        for (std::size_t k = 0; k < patterns.size(); ++k) {
            const std::size_t i = backward ? patterns.size() - 1 - k : k;
            for (std::size_t j = 0; j < texts.size(); ++j)
                found += expressions[i]->Matches(texts[j]) != (expected[i][j] != 0);
        }
    };
    int found[2] = {};
    for (int round = 0; round < 20; ++round) {
        std::thread other(differences, true, std::ref(found[1]));
        differences(false, found[0]);
        other.join();
    }
    EXPECT_EQ(found[0], 0);
    EXPECT_EQ(found[1], 0);
}

TEST(DisplayFilter, AsksTheContextOnlyForWhatItUses)
{
    const struct Uses {
        const char* filter;
        bool payload, program, host, direction, calls;
    } cases[] = {
        {"ip.addr == 10.0.0.0/8 and tcp.port in {80 443} and len > 10", false, false, false, false, false},
        {"payload contains \"x\"", true, false, false, false, true},
        {"program == x", false, true, false, false, true},
        {"host == x or tcp", false, false, true, false, true},
        {"received", false, false, false, true, false},  // the addresses given once
    };
    Rows rows;
    for (const Uses& u : cases) {
        const auto f = DisplayFilter::Compile(u.filter, nullptr);
        ASSERT_NE(f, nullptr) << u.filter;
        EXPECT_EQ(f->UsesPayload(), u.payload) << u.filter;
        EXPECT_EQ(f->UsesProgram(), u.program) << u.filter;
        EXPECT_EQ(f->UsesHost(), u.host) << u.filter;
        EXPECT_EQ(f->UsesDirection(), u.direction) << u.filter;
        rows.context.calls = 0;
        rows.Passing(*f);
        EXPECT_EQ(rows.context.calls > 0, u.calls) << u.filter;
        EXPECT_EQ(f->Text(), QString::fromUtf8(u.filter));
    }
    // A payload is not read for rows the rest of an and refuses.
    const auto f = DisplayFilter::Compile("payload contains \"x\" and port == 1", nullptr);
    rows.context.calls = 0;
    rows.Passing(*f);
    EXPECT_EQ(rows.context.calls, 0);
}

// Owners by number, as the views give them; numbered() false asks the
// column's text of each row instead.
class OwnerContext : public DisplayFilterContext {
public:
    QString ProgramOf(std::int64_t seq, const clV&) const override
    {
        const ProgramIds ids = rows[static_cast<std::size_t>(seq)];
        return ids.second == 0 ? names[ids.first] : names[ids.first] + ", " + names[ids.second];
    }
    std::uint64_t ProgramsVersion() const override { return numbered ? version : 0; }
    std::uint32_t ProgramCount() const override { return static_cast<std::uint32_t>(names.size()); }
    QString ProgramName(std::uint32_t id) const override { return names[id]; }
    void ProgramIdsOf(std::int64_t firstSeq, const clV*, std::size_t count, ProgramIds* ids) const override
    {
        std::copy_n(rows.begin() + firstSeq, count, ids);
    }
    void NamesOf(const AddressText&, std::vector<QString>&) const override {}
    bool PayloadOf(std::int64_t, const clV&, std::string&) const override { return false; }

    bool numbered = true;
    std::uint64_t version = 1;
    std::vector<QString> names{"", "firefox (4321)", "dig (123)", "avahi (7)"};
    // one owner, two different owners, none
    std::vector<ProgramIds> rows{{1, 0}, {2, 0}, {0, 0}, {1, 2}, {3, 0}, {2, 1}, {0, 0}, {3, 0}};
};

TEST(DisplayFilter, ProgramChecksByOwnerNumberPassWhatTheColumnsTextPasses)
{
    const char* const filters[] = {
        "program == \"dig (123)\"", "program != \"dig (123)\"", "program contains fire", "program contains \", \"",
        "program matches \"^fire.*dig\"", "program in {\"avahi (7)\" \"firefox (4321)\"}", "program",
        "not program", "!program == \"avahi (7)\"", "program == \"firefox (4321), dig (123)\"",
        "program contains new or program == \"dig (123)\"", "tcp and program != \"avahi (7)\"",
        "(program contains dig or tcp) and not program contains fire",
    };
    OwnerContext owners;
    std::vector<clV> records(owners.rows.size());
    for (clV& r : records)
        r.add("TCP", "10.0.0.1", "80", "10.0.0.2", "81", "0", PayloadRef(), "12:00:00.00");
    const auto passing = [&](const DisplayFilter& f, bool numbered, bool span) {
        owners.numbered = numbered;
        std::vector<std::uint8_t> passed(records.size());
        if (span)
            f.MatchSpan(0, records.data(), records.size(), owners, passed.data());
        for (std::size_t i = 0; i < records.size() && !span; ++i)
            passed[i] = f.Matches(static_cast<std::int64_t>(i), records[i], owners);
        return passed;
    };
    // The owners change: a new one, rows taken over; the version with them.
    const auto change = [&] {
        owners.names.push_back("new (9)");
        owners.rows[2] = {4, 0};
        owners.rows[0] = {2, 0};
        owners.rows[5] = {4, 2};
        ++owners.version;
    };
    for (int round = 0; round < 2; ++round) {
        if (round == 1)
            change();
        for (const char* text : filters) {
            SCOPED_TRACE(std::string(text) + (round ? " after the owners changed" : ""));
            const auto f = DisplayFilter::Compile(text, nullptr);
            ASSERT_NE(f, nullptr);
            const std::vector<std::uint8_t> want = passing(*f, false, false);
            EXPECT_NE(std::count(want.begin(), want.end(), 1), 0);
            EXPECT_EQ(passing(*f, true, true), want) << "a span by number";
            EXPECT_EQ(passing(*f, true, false), want) << "row by row by number";
        }
    }
    // A filter resolved before the change resolves again at the new version.
    const auto f = DisplayFilter::Compile("program contains new", nullptr);
    const std::vector<std::uint8_t> before = passing(*f, true, true);
    owners.names.push_back("newer (10)");
    owners.rows[6] = {5, 0};
    ++owners.version;
    EXPECT_EQ(passing(*f, true, true), passing(*f, false, true));
    EXPECT_NE(passing(*f, true, true), before);
}

TEST(DisplayFilter, RefusesFaultsAtTheirPlace)
{
    const struct {
        const char* filter;
        int position;
    } cases[] = {
        // unknown, missing or misplaced fields and operators; numbers, addresses, prefixes and families;
        // regular expressions, bytes, sets and ranges; operators of the wrong kind; quotes, escapes, characters
        {"tcp.prot == 1", 1}, {"tcp and bogus", 9}, {"port ==", 8}, {"== 53", 1}, {"tcp and", 8},
        {"tcp or or udp", 8}, {"ip.addr 10.0.0.1", 9}, {"tcp udp", 5}, {"(tcp or udp", 1}, {"port == 65536", 9},
        {"len == 99999999999999999999", 8}, {"port == http", 9}, {"ip.addr == 10.0.0.256", 12},
        {"ip.addr == 10.0.0.0/33", 21}, {"ipv6.addr == 2001:db8::/129", 25}, {"ip.addr == 2001:db8::1", 12},
        {"ipv6.addr == 2001:db8:::1", 14}, {"payload matches \"a)b\"", 19}, {"payload contains 4G", 18},
        {"port in {1..}", 13}, {"port in {100..1}", 10}, {"port in {1 2", 9}, {"port in 1", 9}, {"port in {}", 9},
        {"program in {a..b}", 14}, {"ip.addr in {10.0.0.0/8..11.0.0.1}", 13}, {"port contains 5", 6},
        {"program > a", 9}, {"tcp == 1", 5}, {"port = 53", 6}, {"port == 53 & tcp", 12}, {"program == \"open", 12},
        {"program == \"a\\q\"", 14}, {"port == 53 #", 12}, {"中 == 1", 1}, {"\"x\" == 1", 1},
        {"program == \"😀\" or 中", 19},
    };
    for (const auto& c : cases) {
        DisplayFilterError error;
        const auto f = DisplayFilter::Compile(QString::fromUtf8(c.filter), &error);
        EXPECT_EQ(f, nullptr) << c.filter;
        EXPECT_EQ(error.position, c.position) << c.filter << ": " << error.message.toStdString();
        EXPECT_TRUE(error.message.startsWith(QString::fromUtf8("第 %1 个字符：").arg(c.position)))
            << c.filter << ": " << error.message.toStdString();
    }
}

TEST(DisplayFilter, EmptyTextMeansEveryRow)
{
    for (const char* text : {"", "   "}) {
        DisplayFilterError error{5, "old"};
        EXPECT_EQ(DisplayFilter::Compile(text, &error), nullptr);
        EXPECT_EQ(error.position, 0);
        EXPECT_TRUE(error.message.isEmpty());
    }
    // Every name completion offers compiles.
    for (const QString& name : DisplayFilter::FieldNames())
        EXPECT_NE(DisplayFilter::Compile(name, nullptr), nullptr) << name.toStdString();
    EXPECT_TRUE(DisplayFilter::FieldNames().contains("ipv6.addr"));
}

}  // namespace
}  // namespace quillet
