#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <thread>

#include "capture/CaptureFileReader.h"
#include "capture/LeftCaptures.h"
#include "core/CaptureFile.h"
#include "support/LeftCapture.h"

using namespace quillet;
using quillet::testsupport::LeaveCapture;

namespace {

// A base folder of the test's own, removed at the end.
struct Base {
    Base() { EXPECT_NE(::mkdtemp(path.data()), nullptr); }
    ~Base() { std::system(("rm -rf " + path).c_str()); }
    operator const std::string&() const { return path; }
    std::string path = ::testing::TempDir() + "leftXXXXXX";
};

// Records the reader takes from path before it ends or stops.
std::int64_t ReaderFrames(const std::string& path, CaptureFileReader::Status& last)
{
    std::string error;
    const auto reader = CaptureFileReader::Open(path, error, true);
    if (!reader)
        return -1;
    while ((last = reader->Read(100, [](const CapturedDatagram&) {})) == CaptureFileReader::Status::More) {
    }
    return reader->framesRead();
}

}  // namespace

// Each run makes its spool and scans a few times, removing all it finds, while the other does the same.
TEST(LeftCaptures, TwoRunsStartedTogetherBothCapture)
{
    const Base base;
    for (int round = 0; round < 10; ++round) {
        std::atomic<int> ready{0}, failures{0};
        auto run = [&] {
            ++ready;
            while (ready < 2) {
            }
            for (int i = 0; i < 100; ++i) {
                std::string error;
                const auto spool = CaptureSpool::Create(base, error);
                if (!spool) {
                    ADD_FAILURE() << "round " << round << ": " << error;
                    ++failures;
                    continue;
                }
                for (int scan = 0; scan < 5; ++scan) {
                    LeftCaptures left(base);
                    for (std::size_t k = 0; k < left.found().size(); ++k)
                        left.Remove(k);
                }
                struct stat st {};
                if (::stat((spool->directory() + "/" + CaptureSpool::kFileName).c_str(), &st) != 0) {
                    ADD_FAILURE() << "round " << round << ": a live working file was removed";
                    ++failures;
                }
            }
        };
        std::thread a(run), b(run);
        a.join();
        b.join();
        ASSERT_EQ(failures, 0);
    }
}

// A block the reader refuses (captured length past its end) ends the count where the reader stops.
TEST(LeftCaptures, TheOfferCountsWhatTheReaderReads)
{
    const Base base;
    const std::string dir = LeaveCapture(base, 5);
    ASSERT_FALSE(dir.empty());
    const std::string file = dir + "/" + CaptureSpool::kFileName;
    {
        // An enhanced packet block of 36 bytes claiming 100 captured, then a sound one of 4.
        std::ofstream out(file, std::ios::app | std::ios::binary);
        const std::uint32_t refused[] = {6, 36, 0, 0, 0, 100, 100, 0, 36};
        const std::uint32_t sound[] = {6, 36, 0, 0, 0, 4, 4, 0x00000045, 36};
        out.write(reinterpret_cast<const char*>(refused), sizeof refused);
        out.write(reinterpret_cast<const char*>(sound), sizeof sound);
    }
    CaptureFileReader::Status status{};
    const std::int64_t read = ReaderFrames(file, status);
    EXPECT_EQ(status, CaptureFileReader::Status::Failed);
    EXPECT_EQ(read, 5);

    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // older than the scan
    LeftCaptures left(base);
    ASSERT_EQ(left.found().size(), 1u);
    EXPECT_EQ(std::int64_t(left.found()[0].packets), read);
    EXPECT_EQ(left.found()[0].firstUs, 1700000000000000);
    EXPECT_EQ(left.found()[0].lastUs, 1700000004000000);
    EXPECT_EQ(ReaderFrames(left.FileOf(0), status), read);
    EXPECT_EQ(status, CaptureFileReader::Status::End);
    left.Remove(0);
    struct stat st {};
    EXPECT_NE(::stat(dir.c_str(), &st), 0);
}

// A directory written since the scan began may be a run starting now: it is left alone.
TEST(LeftCaptures, AFolderNewerThanTheScanIsLeftAlone)
{
    const Base base;
    const std::string dir = LeaveCapture(base, 2);
    ASSERT_FALSE(dir.empty());
    const timespec later[2] = {{std::time(nullptr) + 10, 0}, {std::time(nullptr) + 10, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, (dir + "/" + CaptureSpool::kFileName).c_str(), later, 0), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_TRUE(LeftCaptures(base).found().empty());
}
