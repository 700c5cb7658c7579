// The program's command line, run as a user runs it: --help and --version
// answer and end without a display; an unknown option is refused.
#include <gtest/gtest.h>

#include <QProcess>
#include <QProcessEnvironment>

namespace {

struct Outcome {
    int exitCode = -1;
    QString out, err;
};

// Runs the program without a display, or on the offscreen platform.
Outcome Quillet(const QStringList& args, bool offscreen = false)
{
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "QUILLET_LANG"})
        env.remove(QString::fromLatin1(name));
    if (offscreen)
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    p.setProcessEnvironment(env);
    p.start(QStringLiteral(QUILLET_BIN), args);
    Outcome r;
    if (!p.waitForFinished(10000)) {
        p.kill();
        p.waitForFinished();
        return r;
    }
    r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = QString::fromUtf8(p.readAllStandardOutput());
    r.err = QString::fromUtf8(p.readAllStandardError());
    return r;
}

TEST(CommandLine, HelpAndVersionAnswerWithoutADisplay)
{
    const struct {
        QStringList args;
        QStringList shown;
    } cases[] = {
        {{"--help"}, {"--lang <code>", "--filter <expr>", "[FILE]", QString::fromUtf8("显示过滤器")}},
        {{"--lang", "en", "--help"}, {"Usage:", "--filter <expr>", "A display filter in force from the start."}},
        {{"-h"}, {"--version"}},
        {{"--version"}, {"quillet 0.1"}},
    };
    for (const auto& c : cases) {
        const Outcome r = Quillet(c.args);
        SCOPED_TRACE(c.args.join(' ').toStdString());
        EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
        for (const QString& s : c.shown)
            EXPECT_TRUE(r.out.contains(s)) << s.toStdString() << " not in:\n" << r.out.toStdString();
        EXPECT_FALSE(r.out.contains("needs a display"));
    }
    // With a display, an unknown option is refused before any window.
    const Outcome bad = Quillet({"--frobnicate"}, true);
    EXPECT_NE(bad.exitCode, 0);
    EXPECT_TRUE(bad.err.contains("frobnicate")) << bad.err.toStdString();
}

}  // namespace
