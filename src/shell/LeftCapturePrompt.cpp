#include "shell/LeftCapturePrompt.h"

#include <cstdint>

#include <QDateTime>
#include <QFile>
#include <QMessageBox>

#include "core/CaptureFile.h"
#include "shell/frmMain.h"

namespace quillet {

QString LeftCaptureQuestion(std::uint64_t packets, std::int64_t firstUs, std::int64_t lastUs)
{
    auto when = [](std::int64_t us) {
        return QDateTime::fromMSecsSinceEpoch(us / 1000).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    };
    return QStringLiteral("An earlier run of Quillet ended without closing its window. It left %1 captured "
                          "packets, from %2 to %3. Open them? Either way, what it left is removed.")
        .arg(packets)
        .arg(when(firstUs), when(lastUs));
}

void OfferLeftCaptures(frmMain& window, const QString& baseDir, const std::function<bool(const QString&)>& ask)
{
    LeftCaptures left(QFile::encodeName(baseDir).toStdString());
    bool offered = false;
    for (std::size_t i = 0; i < left.found().size(); ++i) {
        const LeftCapture& c = left.found()[i];
        if (!offered && c.packets > 0) {
            offered = true;
            if (ask(LeftCaptureQuestion(c.packets, c.firstUs, c.lastUs)))
                window.OpenAndTell(QFile::decodeName(left.FileOf(i).c_str()));
        }
        left.Remove(i);
    }
}

void frmMain::OfferLeftCaptures()
{
    auto ask = options_.askRecover;
    if (!ask && options_.message)
        return;
    if (!ask)
        ask = [this](const QString& question) {
            QMessageBox box(QMessageBox::NoIcon, QStringLiteral("Quillet"), question,
                            QMessageBox::Yes | QMessageBox::No, this);
            return box.exec() == QMessageBox::Yes;
        };
    const QString dir = options_.captureDir.isEmpty() ? QString::fromLocal8Bit(CaptureSpool::DefaultDirectory())
                                                      : options_.captureDir;
    quillet::OfferLeftCaptures(*this, dir, ask);
}

}  // namespace quillet
