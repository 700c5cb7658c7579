// Capture files in the window: the list's menu, the file dialogs, dropped
// files and the progress of the session's file work.
#include "shell/frmMain.h"

#include <QCoreApplication>
#include <QAbstractItemView>
#include <QAction>
#include <QComboBox>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QMenu>
#include <QMimeData>
#include <QTimer>
#include <QUrl>

#include "ui/FileProgress.h"

namespace quillet {

namespace {

// Each chunk of file work shows its progress; Cancel and the window's
// closing stop the work.
CaptureSession::Progress StepsOf(FileProgress& progress, const bool& unloaded)
{
    return [&progress, &unloaded](int permille) {
        progress.Step(permille);
        return !progress.Cancelled() && !unloaded;
    };
}

}  // namespace

void frmMain::BuildFileCommands()
{
    setAcceptDrops(true);
    QAbstractItemView* list = viewWidgets_->lv();
    list->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(list, &QWidget::customContextMenuRequested, this, &frmMain::ShowListMenu);

    actOpenFile_ = new QAction(tr("打开捕获文件..."), this);
    actOpenFile_->setObjectName(QStringLiteral("actOpenFile"));
    actOpenFile_->setShortcut(QKeySequence::Open);
    actOpenFile_->setShortcutContext(Qt::WindowShortcut);
    connect(actOpenFile_, &QAction::triggered, this, &frmMain::OpenWithDialog);
    actSaveAll_ = new QAction(tr("保存全部数据包..."), this);
    actSaveAll_->setObjectName(QStringLiteral("actSaveAll"));
    actSaveAll_->setShortcut(QKeySequence::Save);
    actSaveAll_->setShortcutContext(Qt::WindowShortcut);
    connect(actSaveAll_, &QAction::triggered, this, [this] { SaveWithDialog(false); });
    actSaveShown_ = new QAction(tr("保存所显示的数据包..."), this);
    actSaveShown_->setObjectName(QStringLiteral("actSaveShown"));
    connect(actSaveShown_, &QAction::triggered, this, [this] { SaveWithDialog(true); });
    actTotals_ = new QAction(tr("统计..."), this);
    actTotals_->setObjectName(QStringLiteral("actTotals"));
    actTotals_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_T));
    actTotals_->setShortcutContext(Qt::WindowShortcut);
    connect(actTotals_, &QAction::triggered, this, [this] { ShowTotals(); });
    actStream_ = new QAction(tr("追踪流"), this);
    actStream_->setObjectName(QStringLiteral("mnuStream"));
    actStream_->setShortcut(QKeySequence(Qt::CTRL | Qt::ALT | Qt::SHIFT | Qt::Key_T));
    actStream_->setShortcutContext(Qt::WindowShortcut);
    connect(actStream_, &QAction::triggered, this, [this] { ShowStream(viewWidgets_->lv()->currentIndex().row()); });
    addAction(actOpenFile_);
    addAction(actSaveAll_);
    addAction(actTotals_);
    addAction(actStream_);
    actIPv6_ = new QAction(tr("IPv6"), this);
    actIPv6_->setObjectName(QStringLiteral("mnuIPv6"));
    actIPv6_->setCheckable(true);
    actIPv6_->setChecked(options_.ipv6);
    connect(actIPv6_, &QAction::toggled, this, [this](bool on) {
        options_.ipv6 = on;
        session_->SetIPv6(on);  // a running capture or file keeps what it started with
        const QString chosen = Combo1_->currentText();
        FillAddressChooser();
        if (const int at = Combo1_->findText(chosen); at >= 0)
            Combo1_->setCurrentIndex(at);
    });
}

void frmMain::ShowListMenu(const QPoint& pos)
{
    QMenu menu(this);
    menu.setObjectName(QStringLiteral("mnuList"));
    const QModelIndex at = viewWidgets_->lv()->indexAt(pos);
    AddCellFilterEntries(menu, at);
    if (at.isValid()) {
        const int row = at.row();
        QAction* follow = menu.addAction(actStream_->text(), this, [this, row] { ShowStream(row); });
        follow->setObjectName(QStringLiteral("mnuStream"));
        follow->setShortcut(actStream_->shortcut());
        menu.addSeparator();
    }
    menu.addAction(actOpenFile_);
    menu.addSeparator();
    menu.addAction(actSaveAll_);
    menu.addAction(actSaveShown_);
    menu.addSeparator();
    menu.addAction(actTotals_);
    menu.addAction(actIPv6_);
    menu.exec(viewWidgets_->lv()->viewport()->mapToGlobal(pos));
}

void frmMain::OpenWithDialog()
{
    if (session_->FileBusy())
        return;
    const QString path = QFileDialog::getOpenFileName(this, QCoreApplication::translate("quillet::frmMain", "打开捕获文件"), QString(),
                                                      QCoreApplication::translate("quillet::frmMain", "捕获文件 (*.pcapng *.pcap *.cap);;所有文件 (*)"));
    if (!path.isEmpty())
        OpenAndTell(path);
}

void frmMain::OpenAndTell(const QString& path)
{
    const QString message = OpenCaptureFile(path);
    if (!message.isEmpty())
        Tell(message);
}

void frmMain::SaveWithDialog(bool shownOnly)
{
    if (session_->FileBusy())
        return;
    const QString path = QFileDialog::getSaveFileName(
        this, shownOnly ? QCoreApplication::translate("quillet::frmMain", "保存所显示的数据包") : QCoreApplication::translate("quillet::frmMain", "保存全部数据包"), QString(),
        QStringLiteral("pcapng (*.pcapng);;pcap (*.pcap)"));
    if (path.isEmpty())
        return;
    const QString message = SaveCaptureFile(path, shownOnly);
    if (!message.isEmpty())
        Tell(message);
}

void frmMain::dragEnterEvent(QDragEnterEvent* event)
{
    const QList<QUrl> urls = event->mimeData()->urls();
    if (!session_->FileBusy() && urls.size() == 1 && urls.front().isLocalFile())
        event->acceptProposedAction();
}

void frmMain::dropEvent(QDropEvent* event)
{
    const QList<QUrl> urls = event->mimeData()->urls();
    if (urls.size() != 1 || !urls.front().isLocalFile())
        return;
    event->acceptProposedAction();
    const QString path = urls.front().toLocalFile();
    // Read after the drop has finished, not inside the drag-and-drop loop.
    QTimer::singleShot(0, this, [this, path] { OpenAndTell(path); });
}

QString frmMain::OpenCaptureFile(const QString& path)
{
    FileProgress progress(this, QCoreApplication::translate("quillet::frmMain", "正在读取 %1").arg(QDir::toNativeSeparators(path)));
    return session_->ReadFile(path, StepsOf(progress, unloaded_));
}

QString frmMain::SaveCaptureFile(const QString& path, bool shownOnly)
{
    // The rows shown are those of the whole rebuild, not the part made so far.
    if (shownOnly)
        views_.Presenter().Finish();
    FileProgress progress(this, QCoreApplication::translate("quillet::frmMain", "正在保存 %1").arg(QDir::toNativeSeparators(path)));
    return session_->SaveFile(path, shownOnly, StepsOf(progress, unloaded_));
}

}  // namespace quillet
