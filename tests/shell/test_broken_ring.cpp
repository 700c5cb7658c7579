// A capture program whose ring of frames breaks the rules (positions, record
// lengths) ends the capture: the window takes nothing past the fault, ends
// the program and says it sent a broken stream (needs root, in private
// network namespaces).
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "capture/BrokenRings.h"
#include "support/Netns.h"

using quillet::testsupport::Shell;
using quillet::testsupport::ShellOrThrow;
using quillet::testsupport::VethNamespace;

namespace {

// The last line of the driver's answers that says the capture is closed.
std::string ClosedState(const std::string& answers)
{
    std::istringstream in(answers);
    std::string closed;
    for (std::string line; std::getline(in, line);)
        if (line.rfind("state: open=0", 0) == 0)
            closed = line;
    return closed;
}

}  // namespace

TEST(BrokenRing, ACaptureProgramThatBreaksItsRingEndsTheCaptureWithThatMessage)
{
    VethNamespace net;
    char dirName[] = "/tmp/quillet-broken-ring-XXXXXX";
    ASSERT_NE(mkdtemp(dirName), nullptr);
    const std::string dir = dirName;
    ShellOrThrow("install -m 0755 " QUILLET_DRIVER " " + dir + "/driver && install -m 0755 " QUILLET_BROKEN_RING " "
                 + dir + "/quillet-capture && touch " + dir + "/iana.txt " + dir + "/predefs.txt " + dir
                 + "/trojans.txt && install -d -m 0700 " + dir + "/spool");
    for (std::size_t i = 0; i < std::size(quillet::test::kRingFaults); ++i) {
        SCOPED_TRACE(quillet::test::kRingFaults[i].name);
        std::ofstream(dir + "/ring-fault") << i << '\n';
        // The state, five times a second for three seconds; then the driver ends.
        std::string answers;
        Shell("cd " + dir + " && (for i in $(seq 15); do sleep 0.2; echo state; done; echo rows) | env -i"
              " QT_QPA_PLATFORM=offscreen HOME=/tmp QUILLET_CAPTURE_DIR=" + dir + "/spool ./driver "
              + VethNamespace::kLocalAddr + " 2>/dev/null",
              &answers);
        // Closed, the program ended, and one message says why (how it ended follows).
        EXPECT_EQ(ClosedState(answers).rfind("state: open=0 start=1 messages=1 last=捕获已结束：捕获程序 quillet-capture "
                                             "已退出。|it sent a broken stream; ",
                                             0),
                  0u)
            << answers;
    }
    ShellOrThrow("rm -rf " + dir);
}
