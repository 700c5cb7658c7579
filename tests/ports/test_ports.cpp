#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "ports/PortDatabases.h"

namespace quillet {
namespace {

struct Loaded {
    PortDatabases db;
    std::vector<PortFileProblem> problems;
};

Loaded Read(PortFile file, std::string_view content)
{
    Loaded l;
    ReadPortFile(file, content, PortFileName(file), l.db, l.problems);
    return l;
}

std::string Name(const TextMap<std::string>& map, std::string_view key)
{
    const std::string* name = map.find(key);
    return name ? *name : std::string("<absent>");
}

TEST(PortFiles, IanaLineStoresNameFiveSpacesDescriptionUnderThePort)
{
    Loaded l = Read(PortFile::kIana, "domain\t53\tDomain Name Server\r\nhttp\t80\tWorld Wide Web\tTCP\textra\r\n");
    EXPECT_TRUE(l.problems.empty());
    EXPECT_EQ(Name(l.db.dIana, "53"), "domain     Domain Name Server");
    // Fields beyond the third are ignored.
    EXPECT_EQ(Name(l.db.dIana, "80"), "http     World Wide Web");
    EXPECT_EQ(l.db.dIana.count(), 2u);
    EXPECT_EQ(l.db.dPredefs.count(), 0u);
}

TEST(PortFiles, LaterLineWithSameKeyWinsAndKeysAreExact)
{
    Loaded l = Read(PortFile::kTrojans, "31337\tBack Orifice\r\n31337\tBO2\r\n080\tleading zero\r\n 80\tspace\r\n");
    EXPECT_TRUE(l.problems.empty());
    EXPECT_EQ(Name(l.db.dTrojans, "31337"), "BO2");
    EXPECT_EQ(Name(l.db.dTrojans, "80"), "<absent>");
    EXPECT_EQ(Name(l.db.dTrojans, "080"), "leading zero");
    EXPECT_EQ(Name(l.db.dTrojans, " 80"), "space");
    EXPECT_EQ(l.db.dTrojans.count(), 3u);
}

TEST(PortFiles, LineEndsCrLfLoneCrLoneLfAndNoFinalEnd)
{
    Loaded l = Read(PortFile::kPredefs, "1\ta\r\n2\tb\r3\tc\n4\td");
    EXPECT_TRUE(l.problems.empty());
    EXPECT_EQ(Name(l.db.dPredefs, "1"), "a");
    EXPECT_EQ(Name(l.db.dPredefs, "2"), "b");
    EXPECT_EQ(Name(l.db.dPredefs, "3"), "c");
    EXPECT_EQ(Name(l.db.dPredefs, "4"), "d");
    EXPECT_EQ(l.db.dPredefs.count(), 4u);
    // No CR or LF ever ends up inside a name or a key.
    for (const auto& [key, name] : l.db.dPredefs) {
        EXPECT_EQ(key.find_first_of("\r\n"), std::string::npos);
        EXPECT_EQ(name.find_first_of("\r\n"), std::string::npos);
    }
}

TEST(PortFiles, EmptyLinesAreSkippedSilentlyAndShortLinesReportedWithLineNumbers)
{
    Loaded l = Read(PortFile::kIana,
                    "\r\n"                    // 1 empty
                    "echo\t7\tEcho\r\n"       // 2
                    "broken\t9\r\n"           // 3: two fields
                    "\r\n"                    // 4 empty
                    "nothing\r\n"             // 5: one field
                    "daytime\t13\tDaytime\r\n"  // 6: still read
                    "\r\n");                  // trailing empty line
    ASSERT_EQ(l.problems.size(), 2u);
    EXPECT_EQ(l.problems[0].file, "iana.txt");
    EXPECT_EQ(l.problems[0].line, 3);
    EXPECT_EQ(l.problems[1].line, 5);
    EXPECT_NE(l.problems[0].what.find("3"), std::string::npos) << l.problems[0].what;
    EXPECT_EQ(Name(l.db.dIana, "7"), "echo     Echo");
    EXPECT_EQ(Name(l.db.dIana, "13"), "daytime     Daytime");
    EXPECT_EQ(l.db.dIana.count(), 2u);

    // Line numbers count CR LF and a lone CR as one line end each.
    Loaded m = Read(PortFile::kPredefs, "1\ta\r2\tb\r\nbad\r\n\r4\td");
    ASSERT_EQ(m.problems.size(), 1u);
    EXPECT_EQ(m.problems[0].line, 3);
    EXPECT_EQ(m.db.dPredefs.count(), 3u);
}

TEST(PortFiles, EmptyNameIsStoredAndPortTextReturnsIt)
{
    Loaded l = Read(PortFile::kPredefs, "8080\t\r\n");
    EXPECT_TRUE(l.problems.empty());
    ASSERT_TRUE(l.db.dPredefs.exists("8080"));
    EXPECT_EQ(l.db.PortText("8080", kPredefs), "");
    EXPECT_EQ(l.db.PortText("8081", kPredefs), "8081");
    EXPECT_EQ(l.db.PortText("", kPredefs), "");
    // Lookups never add keys.
    EXPECT_EQ(PortDatabases::InfoLookup(l.db.dPredefs, "9999"), "");
    EXPECT_FALSE(l.db.dPredefs.exists("9999"));
}

TEST(PortFiles, PortTextChoosesTheDatabaseByPrefs)
{
    PortDatabases db;
    std::vector<PortFileProblem> problems;
    ReadPortFile(PortFile::kIana, "http\t80\tWeb", "iana.txt", db, problems);
    ReadPortFile(PortFile::kPredefs, "80\tmine", "predefs.txt", db, problems);
    ReadPortFile(PortFile::kTrojans, "80\tExecutor", "trojans.txt", db, problems);
    EXPECT_TRUE(problems.empty());
    EXPECT_EQ(db.PortText("80", kIana), "http     Web");
    EXPECT_EQ(db.PortText("80", kPredefs), "mine");
    EXPECT_EQ(db.PortText("80", kTrojans), "Executor");
}

TEST(PortFiles, Utf8ByteOrderMarkIsNotPartOfTheFirstKey)
{
    Loaded l = Read(PortFile::kTrojans, "\xEF\xBB\xBF" "12345\tNetBus\r\n");
    EXPECT_EQ(Name(l.db.dTrojans, "12345"), "NetBus");
}

class PortDir : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir_ = std::filesystem::temp_directory_path() /
               ("quillet-ports-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(dir_);
        std::filesystem::create_directories(dir_);
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }
    void Write(const std::string& name, const std::string& content)
    {
        std::ofstream(dir_ / name, std::ios::binary) << content;
    }
    std::filesystem::path dir_;
};

TEST_F(PortDir, MissingFileIsReportedAndDoesNotStopTheOthers)
{
    Write("predefs.txt", "22\tSSH\r\n");
    Write("trojans.txt", "31337\tBack Orifice\r\nshort\r\n");
    PortDatabases db;
    const auto problems = LoadPortFiles(dir_.string(), db);
    ASSERT_EQ(problems.size(), 2u);
    EXPECT_EQ(problems[0].file, (dir_ / "iana.txt").string());
    EXPECT_EQ(problems[0].line, 0);
    EXPECT_EQ(problems[1].file, (dir_ / "trojans.txt").string());
    EXPECT_EQ(problems[1].line, 2);
    EXPECT_EQ(db.dIana.count(), 0u);
    EXPECT_EQ(Name(db.dPredefs, "22"), "SSH");
    EXPECT_EQ(Name(db.dTrojans, "31337"), "Back Orifice");

    const std::string text = DescribePortFileProblems(problems);
    EXPECT_NE(text.find("iana.txt"), std::string::npos);
    EXPECT_NE(text.find("trojans.txt，第 2 行"), std::string::npos) << text;
    EXPECT_EQ(DescribePortFileProblems({}), "");
}

TEST_F(PortDir, UnreadableFileIsReported)
{
    std::filesystem::create_directory(dir_ / "iana.txt");  // a directory cannot be read as a file
    Write("predefs.txt", "1\ta");
    Write("trojans.txt", "2\tb");
    PortDatabases db;
    const auto problems = LoadPortFiles(dir_.string(), db);
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_EQ(problems[0].file, (dir_ / "iana.txt").string());
    EXPECT_EQ(db.dPredefs.count(), 1u);
    EXPECT_EQ(db.dTrojans.count(), 1u);
}

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

std::string BadLines(int count)
{
    std::string content;
    for (int i = 0; i < count; ++i)
        content += "no-tabs-here\r\n";
    return content;
}

// Loads dir in a thread and gives up after a few seconds, so a load that
// blocks fails the test instead of hanging it; a FIFO left blocking is
// released by opening its other end.
std::vector<PortFileProblem> LoadWithin(const std::filesystem::path& dir, PortDatabases& db)
{
    auto done = std::async(std::launch::async, [&] { return LoadPortFiles(dir.string(), db); });
    if (done.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
        ADD_FAILURE() << "loading the port files blocked";
        const int fd = ::open((dir / "iana.txt").c_str(), O_WRONLY | O_NONBLOCK);
        if (fd >= 0)
            ::close(fd);
    }
    return done.get();
}

TEST_F(PortDir, FifoIsReportedAndSkippedWithoutWaitingForAWriter)
{
    ASSERT_EQ(::mkfifo((dir_ / "iana.txt").c_str(), 0600), 0);
    Write("predefs.txt", "22\tSSH\r\n");
    Write("trojans.txt", "31337\tBack Orifice\r\n");
    PortDatabases db;
    const auto problems = LoadWithin(dir_, db);
    ASSERT_EQ(problems.size(), 1u) << DescribePortFileProblems(problems);
    EXPECT_EQ(problems[0].file, (dir_ / "iana.txt").string());
    EXPECT_EQ(problems[0].line, 0);
    EXPECT_NE(problems[0].what.find("FIFO"), std::string::npos) << problems[0].what;
    // The files after it still load.
    EXPECT_EQ(Name(db.dPredefs, "22"), "SSH");
    EXPECT_EQ(Name(db.dTrojans, "31337"), "Back Orifice");
}

TEST_F(PortDir, LinkToADeviceIsRefusedUnread)
{
    std::filesystem::create_symlink("/dev/zero", dir_ / "iana.txt");
    std::filesystem::create_symlink("/dev/null", dir_ / "trojans.txt");
    Write("predefs.txt", "1\ta");
    PortDatabases db;
    const auto problems = LoadWithin(dir_, db);
    ASSERT_EQ(problems.size(), 2u) << DescribePortFileProblems(problems);
    EXPECT_EQ(problems[0].file, (dir_ / "iana.txt").string());
    EXPECT_NE(problems[0].what.find("字符设备"), std::string::npos) << problems[0].what;
    EXPECT_EQ(problems[1].file, (dir_ / "trojans.txt").string());
    EXPECT_EQ(db.dIana.count(), 0u);
    EXPECT_EQ(db.dPredefs.count(), 1u);
}

TEST_F(PortDir, FileOverTheSizeLimitIsRefusedAndOneAtTheLimitIsRead)
{
    // Sparse files: no disk space, no time to write.
    Write("iana.txt", "");
    std::filesystem::resize_file(dir_ / "iana.txt", kPortFileMaxBytes + 1);
    Write("predefs.txt", "");
    std::filesystem::resize_file(dir_ / "predefs.txt", kPortFileMaxBytes);
    Write("trojans.txt", "2\tb");
    PortDatabases db;
    const auto problems = LoadWithin(dir_, db);
    ASSERT_EQ(problems.size(), 2u) << DescribePortFileProblems(problems);
    EXPECT_EQ(problems[0].file, (dir_ / "iana.txt").string());
    EXPECT_EQ(problems[0].line, 0);
    EXPECT_NE(problems[0].what.find("16 MiB"), std::string::npos) << problems[0].what;
    // At the limit the file is read: its one line of NUL bytes has no TAB.
    EXPECT_EQ(problems[1].file, (dir_ / "predefs.txt").string());
    EXPECT_EQ(problems[1].line, 1);
    EXPECT_EQ(Name(db.dTrojans, "2"), "b");
}

TEST_F(PortDir, ManyBadLinesGiveAShortMessageAndBoundedProblems)
{
    Write("iana.txt", BadLines(6000) + "domain\t53\tDomain Name Server\r\n");
    Write("predefs.txt", "1\ta");
    Write("trojans.txt", BadLines(150));
    PortDatabases db;
    const auto problems = LoadWithin(dir_, db);
    // The line after the bad ones still counts.
    EXPECT_EQ(Name(db.dIana, "53"), "domain     Domain Name Server");
    // Each file keeps a bounded list and counts the rest.
    std::size_t total = 0;
    for (const PortFileProblem& p : problems)
        total += 1 + p.more;
    EXPECT_EQ(total, 6150u);
    EXPECT_EQ(problems.size(), 2 * kPortFileLineProblemsKept);

    const std::vector<std::string> lines = Lines(DescribePortFileProblems(problems));
    ASSERT_EQ(lines.size(), kPortFileProblemsListed + 1);
    EXPECT_EQ(lines[0], (dir_ / "iana.txt").string() + "，第 1 行：需要 3 个以 TAB 分隔的字段，实有 1 个");
    EXPECT_EQ(lines[19], (dir_ / "iana.txt").string() + "，第 20 行：需要 3 个以 TAB 分隔的字段，实有 1 个");
    EXPECT_EQ(lines[20], "……另有 6130 个问题");
}

TEST(PortFileProblems, TheMoreLineAppearsOnlyBeyondTheListedCount)
{
    std::vector<PortFileProblem> problems;
    for (int i = 1; i <= 20; ++i)
        problems.push_back({"predefs.txt", i, "bad"});
    std::vector<std::string> lines = Lines(DescribePortFileProblems(problems));
    ASSERT_EQ(lines.size(), 20u);
    EXPECT_EQ(lines[19], "predefs.txt，第 20 行：bad");

    // A file skipped as a whole is listed before the bad lines, even when it
    // came last; the last bad line is the one left out.
    problems.push_back({"trojans.txt", 0, "cannot be read: No such file or directory"});
    lines = Lines(DescribePortFileProblems(problems));
    ASSERT_EQ(lines.size(), 21u);
    EXPECT_EQ(lines[0], "trojans.txt：cannot be read: No such file or directory");
    EXPECT_EQ(lines[1], "predefs.txt，第 1 行：bad");
    EXPECT_EQ(lines[19], "predefs.txt，第 19 行：bad");
    EXPECT_EQ(lines[20], "……另有 1 个问题");

    // A folded entry among the first twenty still counts what it stands for.
    problems[3].more = 41;
    lines = Lines(DescribePortFileProblems(problems));
    ASSERT_EQ(lines.size(), 21u);
    EXPECT_EQ(lines[20], "……另有 42 个问题");
}

// The files that ship beside the executable load without a problem.
TEST(ShippedPortFiles, LoadCleanlyFromTheProgramDirectory)
{
    const std::string dir = std::filesystem::canonical("/proc/self/exe").parent_path().string();
    PortDatabases db;
    const auto problems = LoadPortFiles(dir, db);
    EXPECT_TRUE(problems.empty()) << DescribePortFileProblems(problems);
    EXPECT_GT(db.dIana.count(), 1000u);
    EXPECT_EQ(db.PortText("53", kIana), "domain     Domain Name Server");
    EXPECT_GT(db.dTrojans.count(), 50u);
    EXPECT_EQ(db.PortText("31337", kTrojans).substr(0, 12), "Back Orifice");
    EXPECT_GT(db.dPredefs.count(), 0u);
}

}  // namespace
}  // namespace quillet
