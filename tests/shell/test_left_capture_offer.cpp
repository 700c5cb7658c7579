// At start-up each capture left by a killed run is offered and removed once
// answered for; folders the user made under the same base stay as they are.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include <QAbstractItemView>
#include <QApplication>
#include <QDir>
#include <QTemporaryDir>

#include "WaitFor.h"
#include "shell/EmptyPortFiles.h"
#include "shell/frmMain.h"
#include "support/LeftCapture.h"

using namespace quillet;
using quillet::testsupport::LeaveCapture;
namespace fs = std::filesystem;

namespace {

int gArgc = 1;
char gName[] = "quillet";
char* gArgv[] = {gName, nullptr};

bool Exists(const std::string& path)
{
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

}  // namespace

TEST(LeftCaptureOffer, EachLeftCaptureIsOfferedAndTheUsersFoldersStay)
{
    QTemporaryDir ports, baseDir;
    quillet::test::WriteEmptyPortFiles(ports.path());
    const std::string base = baseDir.path().toStdString();
    const std::string older = LeaveCapture(base, 3);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const std::string newer = LeaveCapture(base, 2, 1800000000000000);
    const std::string empty = LeaveCapture(base, 0);
    ASSERT_FALSE(older.empty() || newer.empty() || empty.empty());
    const fs::path capture = fs::path(older) / CaptureSpool::kFileName;

    // Folders of the user's own that a left capture's could be taken for: each keeps what it holds.
    const std::string self = base + "/quillet-";
    const struct {
        std::string dir, kept;  // kept: what it holds that must stay
        std::function<void(const std::string&)> make;
    } users[] = {
        {self + "notes", "thesis.txt", [](const std::string& d) { fs::create_directory(d); }},
        {self + "abcdefABCDEF", "extra.txt",  // the name and mode of ours, a file more
         [&](const std::string& d) { fs::create_directory(d); fs::permissions(d, fs::perms::owner_all);
                                     fs::copy_file(capture, fs::path(d) / CaptureSpool::kFileName); }},
        {self + "ghijklGHIJKL", CaptureSpool::kFileName,  // mode 0755
         [&](const std::string& d) { fs::create_directory(d); fs::permissions(d, fs::perms(0755));
                                     fs::copy_file(capture, fs::path(d) / CaptureSpool::kFileName); }},
        {self + "mnopqrMNOPQR", CaptureSpool::kFileName,  // a link to a left capture's copy
         [&](const std::string& d) { const std::string to = base + "/elsewhere";
                                     fs::create_directory(to); fs::permissions(to, fs::perms::owner_all);
                                     fs::copy_file(capture, fs::path(to) / CaptureSpool::kFileName);
                                     fs::create_directory_symlink(to, d); }},
    };
    for (const auto& u : users) {
        u.make(u.dir);
        if (u.kept != CaptureSpool::kFileName)
            std::ofstream(u.dir + "/" + u.kept) << "mine";
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // all older than the window's start

    QApplication app(gArgc, gArgv);
    frmMainOptions o;
    o.portDir = ports.path();
    o.captureDir = baseDir.path();
    QStringList questions, messages;
    std::vector<bool> olderThere;
    o.askRecover = [&](const QString& q) {
        questions << q;
        olderThere.push_back(Exists(older));
        return questions.size() == 1;  // Yes to the first, No to the next
    };
    o.message = [&messages](const QString& text) { messages << text; };
    frmMain w(o);
    w.show();
    EXPECT_TRUE(quillet::test::WaitFor([&] { return !Exists(older) && !Exists(newer) && !Exists(empty); }));
    for (const auto& u : users)
        EXPECT_TRUE(Exists(u.dir + "/" + u.kept)) << u.dir;
    EXPECT_TRUE(Exists(base + "/elsewhere/" + CaptureSpool::kFileName));
    ASSERT_EQ(questions.size(), 2) << questions.join('\n').toStdString();
    EXPECT_TRUE(questions[0].contains(QStringLiteral(" 2 "))) << "the newest first: " << questions[0].toStdString();
    EXPECT_TRUE(questions[1].contains(QStringLiteral(" 3 "))) << questions[1].toStdString();
    EXPECT_EQ(olderThere, (std::vector<bool>{true, true})) << "removed only once answered for";
    EXPECT_EQ(w.lv()->model()->rowCount(), 2);
    EXPECT_TRUE(messages.isEmpty()) << messages.join('\n').toStdString();
}
