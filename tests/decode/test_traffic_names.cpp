// Names seen in the traffic: DNS answers, TLS server names, HTTP Host
// headers, and the bounded table that keeps them.
#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/NameTable.h"
#include "decode/TrafficNames.h"

namespace quillet {
namespace {

using Bytes = std::vector<std::uint8_t>;

void Append(Bytes& b, std::initializer_list<int> v)
{
    for (int x : v)
        b.push_back(static_cast<std::uint8_t>(x));
}
void Append16(Bytes& b, int v)
{
    Append(b, {v >> 8 & 0xFF, v & 0xFF});
}
Bytes Name(const std::string& dotted)
{
    Bytes b;
    std::size_t at = 0;
    while (at < dotted.size()) {
        std::size_t dot = dotted.find('.', at);
        if (dot == std::string::npos)
            dot = dotted.size();
        b.push_back(static_cast<std::uint8_t>(dot - at));
        b.insert(b.end(), dotted.begin() + static_cast<long>(at), dotted.begin() + static_cast<long>(dot));
        at = dot + 1;
    }
    b.push_back(0);
    return b;
}
// A response to one question of that type; answers follow.
Bytes Response(const std::string& question, int type, int answers)
{
    Bytes b;
    Append(b, {0x12, 0x34, 0x81, 0x80, 0, 1});
    Append16(b, answers);
    Append(b, {0, 0, 0, 0});
    const Bytes q = Name(question);
    b.insert(b.end(), q.begin(), q.end());
    Append16(b, type);
    Append16(b, 1);
    return b;
}
// The question a Response answers, as the client asked it.
Bytes Query(const std::string& question, int type)
{
    Bytes b = Response(question, type, 0);
    b[2] = 0x01;
    b[3] = 0x00;
    return b;
}
void Record(Bytes& b, const Bytes& owner, int type, const Bytes& data)
{
    b.insert(b.end(), owner.begin(), owner.end());
    Append16(b, type);
    Append(b, {0, 1, 0, 0, 0, 60});
    Append16(b, static_cast<int>(data.size()));
    b.insert(b.end(), data.begin(), data.end());
}
const Bytes kToQuestion{0xC0, 0x0C};

std::vector<SeenName> Dns(const Bytes& message)
{
    std::vector<SeenName> out;
    NamesInPayload(17, 53, 40000, "10.0.0.1", message, out);
    return out;
}

TEST(DnsAnswers, NameTheirAddressesWithTheQuestionThroughCnamesAndRefuseMalformedMessages)
{
    // www.youtube.com -> youtube-ui.l.google.com -> 142.250.74.110.
    Bytes chain = Response("www.youtube.com", 1, 3);
    Record(chain, kToQuestion, 5, Name("youtube-ui.l.google.com"));
    Record(chain, Name("youtube-ui.l.google.com"), 1, {142, 250, 74, 110});
    Record(chain, Name("other.example"), 1, {10, 9, 9, 9});  // not on the chain: its own name
    EXPECT_EQ(Dns(chain), (std::vector<SeenName>{{"142.250.74.110", "www.youtube.com"}, {"10.9.9.9", "other.example"}}));
    const Bytes chainQuery = Query("www.youtube.com", 1);

    Bytes v6 = Response("v6.test", 28, 1);
    Record(v6, kToQuestion, 28, {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1});
    EXPECT_EQ(Dns(v6), (std::vector<SeenName>{{"2001:db8::1", "v6.test"}}));
    const Bytes v6Query = Query("v6.test", 28);

    // Over TCP: two whole messages, each after its length, answering the
    // two questions the client asked on that connection; a cut one is left.
    auto overTcp = [](std::initializer_list<const Bytes*> messages) {
        Bytes tcp;
        for (const Bytes* m : messages) {
            Append16(tcp, static_cast<int>(m->size()));
            tcp.insert(tcp.end(), m->begin(), m->end());
        }
        return tcp;
    };
    const Bytes asked = overTcp({&chainQuery, &v6Query});
    std::vector<SeenName> out;
    NamesInPayload(6, 40000, 53, "10.0.0.53", asked, out);
    EXPECT_TRUE(out.empty()) << "a question names nothing";
    const Bytes tcp = overTcp({&chain, &v6});
    NamesInPayload(6, 53, 40000, "10.0.0.1", tcp, out);
    EXPECT_EQ(out, (std::vector<SeenName>{{"142.250.74.110", "www.youtube.com"},
                                          {"10.9.9.9", "other.example"},
                                          {"2001:db8::1", "v6.test"}}));
    out.clear();
    NamesInPayload(6, 40000, 53, "10.0.0.53", asked, out);
    NamesInPayload(6, 53, 40000, "10.0.0.1", Bytes(tcp.begin(), tcp.end() - 1), out);
    EXPECT_EQ(out, (std::vector<SeenName>{{"142.250.74.110", "www.youtube.com"}, {"10.9.9.9", "other.example"}}))
        << "only the first message is whole";

    Bytes loop = Response("a.test", 1, 1);
    Record(loop, {0xC0, static_cast<std::uint8_t>(loop.size())}, 1, {1, 2, 3, 4});  // points at itself
    Bytes longLabel = Response("a.test", 1, 1);
    Bytes label(1, 64);
    label.resize(66, 'x');
    Record(longLabel, label, 1, {1, 2, 3, 4});
    Bytes beyond = Response("a.test", 1, 1);
    Record(beyond, {0xC0, 0xF0}, 1, {1, 2, 3, 4});
    Bytes cut = Response("a.test", 1, 1);
    Record(cut, kToQuestion, 1, {1, 2, 3, 4});
    cut.pop_back();
    std::string huge;
    for (int i = 0; i < 5; ++i)
        huge += std::string(60, 'a' + i) + ".";
    Bytes tooLong = Response(huge + "test", 1, 1);
    Record(tooLong, kToQuestion, 1, {1, 2, 3, 4});
    Bytes query = Response("a.test", 1, 1);
    query[2] = 0x01;  // a question, not an answer
    Record(query, kToQuestion, 1, {1, 2, 3, 4});
    const std::pair<const char*, const Bytes*> malformed[] = {
        {"compression loop", &loop}, {"label over 63 bytes", &longLabel}, {"pointer beyond the message", &beyond},
        {"cut record", &cut},        {"name over 253 characters", &tooLong}, {"a question", &query},
    };
    for (const auto& [why, bad] : malformed)
        EXPECT_TRUE(Dns(*bad).empty()) << why;
}

Bytes ClientHello(const std::string& host)
{
    Bytes sni;
    Append16(sni, 0);
    Append16(sni, static_cast<int>(host.size() + 5));
    Append16(sni, static_cast<int>(host.size() + 3));
    sni.push_back(0);
    Append16(sni, static_cast<int>(host.size()));
    sni.insert(sni.end(), host.begin(), host.end());
    Bytes body{3, 3};
    body.resize(body.size() + 32, 0x11);
    Append(body, {0, 0, 2, 0x13, 0x01, 1, 0});
    Append16(body, static_cast<int>(sni.size()));
    body.insert(body.end(), sni.begin(), sni.end());
    Bytes hello{0x16, 3, 1};
    Append16(hello, static_cast<int>(body.size() + 4));
    Append(hello, {1, 0});
    Append16(hello, static_cast<int>(body.size()));
    hello.insert(hello.end(), body.begin(), body.end());
    return hello;
}

TEST(ConnectionNames, ClientHelloAndHttpHostNameTheDestinationAndASplitHelloIsLeftAlone)
{
    struct Case {
        std::string payload;
        std::string name;
    };
    const Bytes hello = ClientHello("video.example.org");
    const std::vector<Case> cases{
        {std::string(hello.begin(), hello.end()), "video.example.org"},
        {std::string(hello.begin(), hello.begin() + 40), ""},  // first segment of a split one
        {std::string(hello.begin() + 40, hello.end()), ""},    // and its second
        {"GET /a HTTP/1.1\r\nUser-Agent: x\r\nhost: www.example.com:8080\r\n\r\n", "www.example.com"},
        {"POST / HTTP/1.0\r\nHost: 10.1.2.3\r\n\r\n", ""},  // an address is no name
        {"GET / HTTP/1.1\r\nHost: bad name\r\n\r\n", ""},
        {"HELLO world\r\nHost: x.test\r\n\r\n", ""},
    };
    for (const Case& c : cases) {
        std::vector<SeenName> out;
        NamesInPayload(6, 40000, 443, "10.0.0.2",
                       {reinterpret_cast<const std::uint8_t*>(c.payload.data()), c.payload.size()}, out);
        const std::vector<SeenName> expected =
            c.name.empty() ? std::vector<SeenName>{} : std::vector<SeenName>{{"10.0.0.2", c.name}};
        EXPECT_EQ(out, expected) << c.payload.substr(0, 20);
    }
}

TEST(NameTable, NewestNameWinsNamesAreSharedAndTheOldestAddressGoesFirst)
{
    NameTable table(3);
    EXPECT_TRUE(table.Set("10.0.0.1", "a.test"));
    EXPECT_FALSE(table.Set("10.0.0.1", "a.test"));
    EXPECT_TRUE(table.Set("10.0.0.2", "a.test"));
    EXPECT_TRUE(table.Set("10.0.0.3", "c.test"));
    EXPECT_EQ(table.DistinctNames(), 2u);
    EXPECT_TRUE(table.Set("10.0.0.1", "new.test"));  // newest wins, and is now the youngest
    EXPECT_TRUE(table.Set("10.0.0.4", "d.test"));    // over the limit: 10.0.0.2 goes
    EXPECT_EQ(table.Find("10.0.0.2"), nullptr);
    EXPECT_EQ(*table.Find("10.0.0.1"), "new.test");
    EXPECT_EQ(table.size(), 3u);
    EXPECT_EQ(table.DistinctNames(), 3u) << "a.test names nothing any more";
}

}  // namespace
}  // namespace quillet
