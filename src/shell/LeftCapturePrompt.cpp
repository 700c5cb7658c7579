#include "shell/LeftCapturePrompt.h"

#include <cstdint>

#include <memory>
#include <string>
#include <thread>

#include <QApplication>
#include <QDateTime>
#include <QFile>
#include <QMessageBox>
#include <QPointer>

#include "capture/LeftCaptures.h"
#include "core/CaptureFile.h"
#include "shell/frmMain.h"

namespace quillet {

QString LeftCaptureQuestion(std::uint64_t packets, std::int64_t firstUs, std::int64_t lastUs)
{
    auto when = [](std::int64_t us) {
        return QDateTime::fromMSecsSinceEpoch(us / 1000).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    };
    return QCoreApplication::translate("LeftCapturePrompt", "Quillet 上次运行时未关闭窗口就结束了，留下了 %1 个捕获的包"
                                                            "（%2 至 %3）。要打开它们吗？无论选择哪项，留下的内容都会被删除。")
        .arg(packets)
        .arg(when(firstUs), when(lastUs));
}

void OfferLeftCaptures(frmMain& window, LeftCaptures& left, const std::function<bool(const QString&)>& ask)
{
    // Each one is removed once it has been answered for (at once when it holds no packet).
    for (std::size_t i = 0; i < left.found().size(); ++i) {
        const LeftCapture& c = left.found()[i];
        if (c.packets > 0 && ask(LeftCaptureQuestion(c.packets, c.firstUs, c.lastUs)))
            window.OpenAndTell(QFile::decodeName(left.FileOf(i).c_str()));
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
            box.setTextFormat(Qt::PlainText);
            return box.exec() == QMessageBox::Yes;
        };
    const std::string dir = options_.captureDir.isEmpty() ? CaptureSpool::DefaultDirectory()
                                                          : QFile::encodeName(options_.captureDir).toStdString();
    // Found and read on a thread of their own; asked on this one.
    std::thread([dir, ask, self = QPointer<frmMain>(this)] {
        auto left = std::make_shared<LeftCaptures>(dir);
        if (left->found().empty())
            return;
        QMetaObject::invokeMethod(
            qApp, [left, ask, self] {
                if (self)
                    quillet::OfferLeftCaptures(*self, *left, ask);
            },
            Qt::QueuedConnection);
    }).detach();
}

}  // namespace quillet
