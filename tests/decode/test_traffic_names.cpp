// Names seen in the traffic and in files' name blocks, and the table that keeps them.
#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include "core/CaptureFile.h"
#include "core/NameTable.h"
#include "core/PcapngNotes.h"
#include "decode/RecordFields.h"
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
Bytes Response(const std::string& question, int type, int answers, int id = 0x1234, int klass = 1)
{
    Bytes b;
    Append16(b, id);
    Append(b, {0x81, 0x80, 0, 1});
    Append16(b, answers);
    Append(b, {0, 0, 0, 0});
    const Bytes q = Name(question);
    b.insert(b.end(), q.begin(), q.end());
    Append16(b, type);
    Append16(b, klass);
    return b;
}
// The query a response answers: its header and question, as a client sends them.
Bytes QueryOf(const Bytes& response)
{
    std::size_t end = 12;
    while (end < response.size() && response[end] != 0)
        end += 1 + response[end];
    Bytes q(response.begin(), response.begin() + static_cast<long>(std::min(end + 5, response.size())));
    q[2] = 0x01;
    q[3] = 0x00;
    q[6] = q[7] = 0;
    return q;
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

constexpr std::int64_t kT0 = 1700000000000000;
const Endpoint kClient{AddressText("10.0.0.1").bits(), 40000};
const Endpoint kServer{AddressText("10.0.0.53").bits(), 53};

// The message after its query, over UDP.
std::vector<SeenName> Dns(const Bytes& message)
{
    TrafficNameReader reader;
    std::vector<SeenName> out;
    reader.Read(17, kClient, kServer, kT0, "10.0.0.53", QueryOf(message), out);
    EXPECT_TRUE(out.empty()) << "a query names nothing";
    reader.Read(17, kServer, kClient, kT0 + 2000, "10.0.0.1", message, out);
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
    const Bytes chainQuery = QueryOf(chain);

    Bytes v6 = Response("v6.test", 28, 1);
    Record(v6, kToQuestion, 28, {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1});
    EXPECT_EQ(Dns(v6), (std::vector<SeenName>{{"2001:db8::1", "v6.test"}}));
    const Bytes v6Query = QueryOf(v6);

    // Over TCP: two whole messages, each after its length; a cut one is left.
    auto overTcp = [](std::initializer_list<const Bytes*> messages) {
        Bytes tcp;
        for (const Bytes* m : messages) {
            Append16(tcp, static_cast<int>(m->size()));
            tcp.insert(tcp.end(), m->begin(), m->end());
        }
        return tcp;
    };
    const Bytes asked = overTcp({&chainQuery, &v6Query});
    const Bytes tcp = overTcp({&chain, &v6});
    const std::vector<SeenName> all{
        {"142.250.74.110", "www.youtube.com"}, {"10.9.9.9", "other.example"}, {"2001:db8::1", "v6.test"}};
    for (const long cut : {0, 1}) {
        TrafficNameReader reader;
        std::vector<SeenName> out;
        reader.Read(6, kClient, kServer, kT0, "", asked, out);
        EXPECT_TRUE(out.empty()) << "a question names nothing";
        reader.Read(6, kServer, kClient, kT0 + 2000, "", Bytes(tcp.begin(), tcp.end() - cut), out);
        EXPECT_EQ(out, std::vector<SeenName>(all.begin(), all.end() - cut))
            << "cut " << cut << ": only whole messages are read";
    }

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
    std::vector<Case> cases{
        {std::string(hello.begin(), hello.end()), "video.example.org"},
        {std::string(hello.begin(), hello.begin() + 40), ""},  // first segment of a split one
        {std::string(hello.begin() + 40, hello.end()), ""},    // and its second
        {"GET /a HTTP/1.1\r\nUser-Agent: x\r\nhost: www.example.com:8080\r\n\r\n", "www.example.com"},
        {"POST / HTTP/1.0\r\nHost: 10.1.2.3\r\n\r\n", ""},  // an address is no name
        {"GET / HTTP/1.1\r\nHost: bad name\r\n\r\n", ""},
        {"HELLO world\r\nHost: x.test\r\n\r\n", ""},
        // A name that reads as an address names nothing.
        {"GET / HTTP/1.1\r\nHost: 127.1:80\r\n\r\n", ""},
        {"GET / HTTP/1.1\r\nHost: [::1]:8080\r\n\r\n", ""},
    };
    for (const std::string sni : {"127.0.0.1", "2130706433"}) {
        const Bytes forged = ClientHello(sni);
        cases.push_back({std::string(forged.begin(), forged.end()), ""});
    }
    const Bytes numbered = ClientHello("10.0.0.1.nip.example");
    cases.push_back({std::string(numbered.begin(), numbered.end()), "10.0.0.1.nip.example"});
    for (const Case& c : cases) {
        std::vector<SeenName> out;
        TrafficNameReader reader;
        reader.Read(6, {1, 40000}, {2, 443}, kT0, "10.0.0.2",
                    {reinterpret_cast<const std::uint8_t*>(c.payload.data()), c.payload.size()}, out);
        const std::vector<SeenName> expected =
            c.name.empty() ? std::vector<SeenName>{} : std::vector<SeenName>{{"10.0.0.2", c.name}};
        EXPECT_EQ(out, expected) << c.payload.substr(0, 20);
    }
}

// A query for www.bank.example (A, IN, id 0x1234) at kT0, then an answer changed as each case says.
TEST(DnsAnswers, NameAddressesOnlyWhenTheyAnswerAQuerySeenWithinTenSeconds)
{
    const Endpoint otherServer{AddressText("10.0.0.66").bits(), 53};
    struct Case {
        const char* what;
        bool queried;
        int id;
        std::string question;
        int type, klass;
        Endpoint from, to;
        std::int64_t after;
        bool named;
    };
    const std::string q = "www.bank.example";
    const std::vector<Case> cases{
        {"the answer", true, 0x1234, q, 1, 1, kServer, kClient, 300000, true},
        {"10 s after", true, 0x1234, q, 1, 1, kServer, kClient, 10000000, true},
        {"no query", false, 0x1234, q, 1, 1, kServer, kClient, 300000, false},
        {"another id", true, 0x1235, q, 1, 1, kServer, kClient, 300000, false},
        {"another name", true, 0x1234, "www.bank.example.evil", 1, 1, kServer, kClient, 300000, false},
        {"another type", true, 0x1234, q, 28, 1, kServer, kClient, 300000, false},
        {"the query's direction", true, 0x1234, q, 1, 1, kClient, kServer, 300000, false},
        {"another server", true, 0x1234, q, 1, 1, otherServer, kClient, 300000, false},
        {"later than 10 s", true, 0x1234, q, 1, 1, kServer, kClient, 10000001, false},
    };
    // With one chain for all queries each field of the question and the ends is compared.
    for (const std::size_t buckets : {DnsQueries::kBuckets, std::size_t{1}}) {
        for (const Case& c : cases) {
            TrafficNameReader reader(buckets);
            std::vector<SeenName> out;
            if (c.queried)
                reader.Read(17, kClient, kServer, kT0, "", QueryOf(Response(q, 1, 0)), out);
            Bytes answer = Response(c.question, c.type, 1, c.id, c.klass);
            Record(answer, kToQuestion, 1, {10, 9, 9, 9});  // an A record whatever was asked
            reader.Read(17, c.from, c.to, kT0 + c.after, "", answer, out);
            const std::vector<SeenName> expected =
                c.named ? std::vector<SeenName>{{"10.9.9.9", c.question}} : std::vector<SeenName>{};
            EXPECT_EQ(out, expected) << c.what << ", buckets " << buckets;
            if (c.named) {
                out.clear();
                reader.Read(17, c.from, c.to, kT0 + c.after, "", answer, out);
                EXPECT_TRUE(out.empty()) << c.what << ": the answer took its query, a second one names nothing";
            }
        }
    }
}

TEST(DnsAnswers, TheOldestOfTooManyQueriesIsForgotten)
{
    for (const std::size_t buckets : {DnsQueries::kBuckets, std::size_t{1}}) {
        TrafficNameReader reader(buckets);
        std::vector<SeenName> out;
        auto response = [](int id) {
            Bytes r = Response("a.test", 1, 1, id);
            Record(r, kToQuestion, 1, {10, 0, 0, static_cast<std::uint8_t>(id)});
            return r;
        };
        for (int id = 0; id <= static_cast<int>(DnsQueries::kCapacity); ++id)
            reader.Read(17, kClient, kServer, kT0, "", QueryOf(response(id)), out);
        EXPECT_EQ(reader.Queries().pending(), DnsQueries::kCapacity);
        reader.Read(17, kServer, kClient, kT0, "", response(0), out);
        EXPECT_TRUE(out.empty()) << "the first query was dropped";
        reader.Read(17, kServer, kClient, kT0, "", response(1), out);
        EXPECT_EQ(out, (std::vector<SeenName>{{"10.0.0.1", "a.test"}}));
        EXPECT_EQ(reader.Queries().pending(), DnsQueries::kCapacity - 1);
    }
}

TEST(DnsAnswers, ANameThatReadsAsAnAddressNamesNothing)
{
    for (const std::string question : {"127.0.0.1", "3232235777"}) {
        Bytes r = Response(question, 1, 1);
        Record(r, kToQuestion, 1, {10, 0, 0, 5});
        EXPECT_TRUE(Dns(r).empty()) << question;
    }
    // A record of its own owner that is an address; the question's still names.
    Bytes r = Response("ok.test", 1, 2);
    Record(r, Name("10.0.0.9"), 1, {10, 0, 0, 7});
    Record(r, kToQuestion, 1, {10, 0, 0, 8});
    EXPECT_EQ(Dns(r), (std::vector<SeenName>{{"10.0.0.8", "ok.test"}}));
}

TEST(FileNames, ANameBlockTakesOnlyHostNamesAsTheTrafficDoes)
{
    QTemporaryDir dir;
    const std::string path = dir.filePath("names.pcapng").toStdString();
    std::string error;
    auto writer = CaptureFileWriter::Create(path, CaptureFileFormat::Pcapng, CaptureFileWriter::kLinkTypeRaw, error);
    ASSERT_TRUE(writer) << error;
    const Bytes packet(20, 0x45);
    ASSERT_TRUE(writer->Append(kT0, packet, 20));
    ASSERT_TRUE(writer->AppendNames({{"10.0.0.3", "x)(10.0.0.4"},
                                     {"10.0.0.4", "127.0.0.1"},
                                     {"10.0.0.6", "ok.test"},
                                     {"10.0.0.7", "bad name"},
                                     {"2001:db8::1", "v6.test"},
                                     {"10.0.0.9", "::1"}}));
    ASSERT_TRUE(writer->Append(kT0, packet, 20));
    ASSERT_TRUE(writer->Close()) << writer->error();
    const auto notes = PcapngNotes::Open(path);
    ASSERT_TRUE(notes);
    std::string comment;
    EXPECT_TRUE(notes->NextPacket(comment));
    EXPECT_TRUE(notes->NextPacket(comment));
    EXPECT_EQ(notes->TakeNames(), (std::vector<std::pair<std::string, std::string>>{{"10.0.0.6", "ok.test"},
                                                                                     {"2001:db8::1", "v6.test"}}));
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

// Whatever names were set since the mark, a roll back gives the table as it
// was: names, their order of age, the distinct names and the version; and it
// goes on as before (the address named longest ago goes first).
TEST(NameTable, ARollBackGivesTheTableAsItWasAtTheMark)
{
    using Sets = std::vector<std::pair<const char*, const char*>>;
    const Sets start = {{"10.0.0.1", "a.test"}, {"10.0.0.2", "a.test"}, {"10.0.0.3", "c.test"}};
    const Sets cases[] = {
        {{"10.0.0.1", "a.test"}},                           // the same name: only younger
        {{"10.0.0.3", "new.test"}},                         // renamed, its old name freed
        {{"10.0.0.2", "c.test"}},                           // renamed to a name kept
        {{"10.0.0.4", "d.test"}},                           // the oldest forgotten
        {{"10.0.0.4", "c.test"}, {"10.0.0.5", "e.test"}},   // two forgotten, a name freed
        {{"10.0.0.1", "x.test"}, {"10.0.0.6", "x.test"}, {"10.0.0.6", "y.test"}, {"10.0.0.3", "a.test"}},
    };
    for (const Sets& sets : cases) {
        NameTable table(3), kept(3);
        for (NameTable* t : {&table, &kept})
            for (const auto& [address, name] : start)
                t->Set(address, name);
        table.Mark();
        const auto all = table.All();
        const std::uint64_t version = table.Version();
        const std::size_t distinct = table.DistinctNames();
        for (const auto& [address, name] : sets)
            table.Set(address, name);
        table.RollBack();
        EXPECT_EQ(table.All(), all) << sets.front().first << " " << sets.front().second;
        EXPECT_EQ(table.Version(), version);
        EXPECT_EQ(table.DistinctNames(), distinct);
        for (NameTable* t : {&table, &kept})
            t->Set("10.0.0.9", "z.test");
        EXPECT_EQ(table.All(), kept.All());
        EXPECT_EQ(table.DistinctNames(), kept.DistinctNames());
    }
}

}  // namespace
}  // namespace quillet
