// Start-up with port files that could hang or flood it: the window comes up
// and tells one short message.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>

#include <QApplication>
#include <QTemporaryDir>

#include <sys/stat.h>

#include "ports/PortDatabases.h"
#include "shell/frmMain.h"

using namespace quillet;

TEST(StartupPortFiles, FifoOversizeAndManyBadLinesGiveOneShortMessage)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const std::filesystem::path at = dir.path().toStdString();
    {
        std::ofstream iana(at / "iana.txt", std::ios::binary);
        for (int i = 0; i < 6000; ++i)
            iana << "bad line\r\n";
    }
    ASSERT_EQ(::mkfifo((at / "predefs.txt").c_str(), 0600), 0);
    std::ofstream(at / "trojans.txt", std::ios::binary).close();
    std::filesystem::resize_file(at / "trojans.txt", kPortFileMaxBytes + 1);

    QStringList messages;
    frmMain::Options o;
    o.portDir = dir.path();
    o.message = [&messages](const QString& text) { messages << text; };
    auto w = std::make_unique<frmMain>(o);  // a blocking open would hang here
    w->show();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (messages.isEmpty() && std::chrono::steady_clock::now() < deadline)
        QApplication::processEvents(QEventLoop::AllEvents, 20);

    ASSERT_EQ(messages.size(), 1);
    const QStringList lines = messages[0].split(QLatin1Char('\n'));
    EXPECT_LE(lines.size(), 22) << messages[0].toStdString();
    // The two skipped files come first, then the first bad lines, then the count.
    EXPECT_TRUE(lines[0].contains(QString::fromUtf8("predefs.txt：是FIFO"))) << lines[0].toStdString();
    EXPECT_TRUE(lines[1].contains(QString::fromUtf8("trojans.txt：有"))) << lines[1].toStdString();
    EXPECT_TRUE(lines[1].contains(QStringLiteral("16 MiB"))) << lines[1].toStdString();
    EXPECT_TRUE(lines[2].endsWith(QString::fromUtf8("iana.txt，第 1 行：需要 3 个以 TAB 分隔的字段，实有 1 个")));
    EXPECT_EQ(lines.last(), QString::fromUtf8("……另有 5982 个问题"));
}
