#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "inspect/PortInfoText.h"

using quillet::PortDatabases;
using quillet::PortInfoText;

namespace {

std::vector<std::string> SplitCrLf(const std::string& text)
{
    std::vector<std::string> out;
    std::size_t pos = 0;
    for (;;) {
        const std::size_t end = text.find("\r\n", pos);
        out.push_back(text.substr(pos, end == std::string::npos ? std::string::npos : end - pos));
        if (end == std::string::npos)
            return out;
        pos = end + 2;
    }
}

PortDatabases SampleDatabases()
{
    PortDatabases db;
    db.dIana.assign("80", "http     World Wide Web HTTP");
    db.dIana.assign("53", "domain     Domain Name Server");
    db.dPredefs.assign("8080", "my proxy");
    db.dTrojans.assign("31337", "Back Orifice");
    db.dTrojans.assign("80", "Executor");
    return db;
}

}  // namespace

TEST(PortInfoText, EightLinesWithTheNamesOfAllThreeDatabases)
{
    const auto db = SampleDatabases();
    const std::string text = PortInfoText("80", "31337", db);
    EXPECT_EQ(text,
              "   80\r\n"
              " [IANA]: http     World Wide Web HTTP\r\n"
              " [PREDEF]: \r\n"
              " [TROJAN]: Executor\r\n"
              "   31337\r\n"
              " [IANA]: \r\n"
              " [PREDEF]: \r\n"
              " [TROJAN]: Back Orifice");
    EXPECT_EQ(SplitCrLf(text).size(), 8u);
}

TEST(PortInfoText, PortsWithoutEntriesEndEachLineAfterItsTag)
{
    const auto db = SampleDatabases();
    const std::vector<std::string> expected{"   5000", " [IANA]: ", " [PREDEF]: ", " [TROJAN]: ",
                                            "   8080", " [IANA]: ", " [PREDEF]: my proxy", " [TROJAN]: "};
    EXPECT_EQ(SplitCrLf(PortInfoText("5000", "8080", db)), expected);
}

TEST(PortInfoText, PacketsWithoutPortsShowThreeSpaces)
{
    const auto db = SampleDatabases();
    const auto lines = SplitCrLf(PortInfoText("", "", db));
    ASSERT_EQ(lines.size(), 8u);
    EXPECT_EQ(lines[0], "   ");
    EXPECT_EQ(lines[4], "   ");
    EXPECT_EQ(lines[1], " [IANA]: ");

    // An empty key in a database is still a key.
    PortDatabases withEmptyKey = db;
    withEmptyKey.dPredefs.assign("", "no port");
    EXPECT_EQ(SplitCrLf(PortInfoText("", "", withEmptyKey))[6], " [PREDEF]: no port");
}

TEST(PortInfoText, LooksUpTheNumberNotTheNameAndChangesNoDatabase)
{
    const auto db = SampleDatabases();
    const auto before = std::vector<std::size_t>{db.dIana.count(), db.dPredefs.count(), db.dTrojans.count()};
    // A name is not a key: looking up what the list shows finds nothing.
    EXPECT_EQ(SplitCrLf(PortInfoText("http     World Wide Web HTTP", "1", db))[1], " [IANA]: ");
    EXPECT_EQ(SplitCrLf(PortInfoText("80", "1", db))[1], " [IANA]: http     World Wide Web HTTP");
    PortInfoText("12345", "54321", db);
    EXPECT_EQ(before, (std::vector<std::size_t>{db.dIana.count(), db.dPredefs.count(), db.dTrojans.count()}));
    EXPECT_FALSE(db.dIana.exists("12345"));
    EXPECT_EQ(db.PortText("12345", quillet::kIana), "12345");
}

TEST(PortInfoText, KeysAreExactTexts)
{
    const auto db = SampleDatabases();
    const auto lines = SplitCrLf(PortInfoText("080", "80 ", db));
    EXPECT_EQ(lines[1], " [IANA]: ");
    EXPECT_EQ(lines[5], " [IANA]: ");
    EXPECT_EQ(lines[4], "   80 ");
}
