// Capture files: opening pcap/pcapng files into the store and saving the
// store (or the rows of the selected tab) to one.
#include "shell/frmMain.h"

#include <algorithm>
#include <chrono>
#include <vector>

#include <QAbstractItemView>
#include <QAction>
#include <QCoreApplication>
#include <QDragEnterEvent>
#include <QDir>
#include <QDropEvent>
#include <QElapsedTimer>
#include <QFile>
#include <QFileDialog>
#include <QLabel>
#include <QMenu>
#include <QMimeData>
#include <QProgressDialog>
#include <QTimer>
#include <QUrl>

#include "capture/CaptureFileReader.h"
#include "core/CaptureFile.h"
#include "views/PacketViewWidgets.h"

namespace quillet {

namespace {

// File work runs on the GUI thread in chunks of at most this long, with the
// event loop served in between.
constexpr auto kFileChunk = std::chrono::milliseconds(20);
constexpr int kFramesPerCheck = 256;
// A progress dialog appears once the work has taken this long.
constexpr qint64 kProgressAfterMs = 500;

// The progress of one long file operation: a dialog once it takes a while,
// Cancel, and the event loop between chunks.
class FileProgress {
public:
    FileProgress(QWidget* parent, QString label) : parent_(parent), label_(std::move(label)) { clock_.start(); }
    ~FileProgress() { delete dialog_; }

    // Between chunks: shows the fraction done (0..1000) and serves events.
    // User input reaches the window only through the (window-modal) dialog.
    void Step(int permille)
    {
        if (!dialog_ && clock_.elapsed() >= kProgressAfterMs) {
            dialog_ = new QProgressDialog(label_, QStringLiteral("Cancel"), 0, 1000, parent_);
            dialog_->setObjectName(QStringLiteral("dlgProgress"));
            dialog_->setWindowModality(Qt::WindowModal);
            dialog_->setMinimumDuration(0);
            dialog_->setAutoClose(false);
            dialog_->setAutoReset(false);
            dialog_->show();
        }
        if (dialog_)
            dialog_->setValue(std::clamp(permille, 0, 999));
        QCoreApplication::processEvents(dialog_ ? QEventLoop::AllEvents : QEventLoop::ExcludeUserInputEvents);
    }
    bool Cancelled() const { return dialog_ && dialog_->wasCanceled(); }
    QProgressDialog* dialog() const { return dialog_; }

private:
    QWidget* parent_;
    QString label_;
    QElapsedTimer clock_;
    QProgressDialog* dialog_ = nullptr;
};

QString Native(const QString& path)
{
    return QDir::toNativeSeparators(path);
}

}  // namespace

void frmMain::BuildFileCommands()
{
    setAcceptDrops(true);
    QAbstractItemView* list = viewWidgets_->lv();
    list->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(list, &QWidget::customContextMenuRequested, this, &frmMain::ShowListMenu);

    actOpenFile_ = new QAction(QStringLiteral("Open capture file..."), this);
    actOpenFile_->setObjectName(QStringLiteral("actOpenFile"));
    actOpenFile_->setShortcut(QKeySequence::Open);
    actOpenFile_->setShortcutContext(Qt::WindowShortcut);
    connect(actOpenFile_, &QAction::triggered, this, &frmMain::OpenWithDialog);
    actSaveAll_ = new QAction(QStringLiteral("Save all packets..."), this);
    actSaveAll_->setObjectName(QStringLiteral("actSaveAll"));
    actSaveAll_->setShortcut(QKeySequence::Save);
    actSaveAll_->setShortcutContext(Qt::WindowShortcut);
    connect(actSaveAll_, &QAction::triggered, this, [this] { SaveWithDialog(false); });
    actSaveShown_ = new QAction(QStringLiteral("Save shown packets..."), this);
    actSaveShown_->setObjectName(QStringLiteral("actSaveShown"));
    connect(actSaveShown_, &QAction::triggered, this, [this] { SaveWithDialog(true); });
    addAction(actOpenFile_);
    addAction(actSaveAll_);
}

void frmMain::ShowListMenu(const QPoint& pos)
{
    QMenu menu(this);
    menu.setObjectName(QStringLiteral("mnuList"));
    menu.addAction(actOpenFile_);
    menu.addSeparator();
    menu.addAction(actSaveAll_);
    menu.addAction(actSaveShown_);
    menu.exec(viewWidgets_->lv()->viewport()->mapToGlobal(pos));
}

void frmMain::OpenWithDialog()
{
    if (fileBusy_)
        return;
    const QString path = QFileDialog::getOpenFileName(this, QStringLiteral("Open capture file"), QString(),
                                                      QStringLiteral("Capture files (*.pcapng *.pcap *.cap);;All files (*)"));
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
    if (fileBusy_)
        return;
    const QString path = QFileDialog::getSaveFileName(
        this, shownOnly ? QStringLiteral("Save shown packets") : QStringLiteral("Save all packets"), QString(),
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
    if (!fileBusy_ && urls.size() == 1 && urls.front().isLocalFile())
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
    const QString shown = Native(path);
    if (CaptureOpen())
        return QStringLiteral("A capture is running. Stop it before opening a capture file.");
    if (fileBusy_)
        return QStringLiteral("Another capture file is being read or written.");
    if (const QString problem = SpoolProblem(); !problem.isEmpty())
        return problem;
    std::string error;
    std::unique_ptr<CaptureFileReader> reader = CaptureFileReader::Open(QFile::encodeName(path).toStdString(), error);
    if (!reader)
        return QStringLiteral("%1 cannot be opened as a capture file: %2.").arg(shown, QString::fromLocal8Bit(error));

    fileBusy_ = true;
    storeFull_ = false;
    fileStopWhy_.clear();
    budget_ = std::make_unique<StoreBudget>(options_.memoryLimitBytes, options_.diskReserveBytes);
    lRecvCount_ = 0;
    stBPanel1_->setText(QString::number(0));
    const std::int64_t firstSeq = views_.lSeq() + 1;
    // A file's packets belong to no socket of now, whatever their ports.
    struct NotLookedUp {
        PacketViews& views;
        std::int64_t first;
        ~NotLookedUp() { views.Programs().NotLookedUp(first, views.lSeq()); }
    } notLookedUp{views_, firstSeq};
    const CaptureFileReader::DatagramFn fn = [this](std::span<const std::uint8_t> d, std::int64_t ts) {
        ReceiveOne(d, ts);
    };
    FileProgress progress(this, QStringLiteral("Reading %1").arg(shown));
    CaptureFileReader::Status status = CaptureFileReader::Status::More;
    bool cancelled = false;
    try {
        while (status == CaptureFileReader::Status::More) {
            const auto start = std::chrono::steady_clock::now();
            do
                status = reader->Read(kFramesPerCheck, fn);
            while (status == CaptureFileReader::Status::More && std::chrono::steady_clock::now() - start < kFileChunk);
            receivedInBurst_ = true;  // panel 1 shows the count even when nothing was IPv4
            EndReceive();
            if (status != CaptureFileReader::Status::More || storeFull_)
                break;
            const std::int64_t size = reader->fileSize();
            progress.Step(size > 0 ? static_cast<int>(reader->position() * 1000 / size) : 0);
            if (progress.Cancelled() || unloaded_) {
                cancelled = true;
                break;
            }
        }
    } catch (const std::exception& e) {
        fileBusy_ = false;
        EndReceive();
        return QStringLiteral("Reading %1 stopped: %2").arg(shown, QString::fromLocal8Bit(e.what()));
    }
    fileBusy_ = false;

    const std::int64_t stored = views_.lSeq() - firstSeq + 1;
    QString message;
    if (storeFull_) {
        message = QStringLiteral("Reading %1 stopped: %2. The %3 datagrams read before are kept and can be viewed; "
                                 "save them (Ctrl+S), free memory or disk space, and open the file again.")
                      .arg(shown, fileStopWhy_)
                      .arg(stored);
        storeFull_ = false;
    } else if (cancelled) {
        message = QStringLiteral("Reading %1 was cancelled after %2 packets; the %3 datagrams read are kept.")
                      .arg(shown)
                      .arg(reader->framesRead())
                      .arg(stored);
    } else if (status == CaptureFileReader::Status::Failed) {
        const std::int64_t at = reader->position();
        message = QStringLiteral("Reading %1 stopped after packet %2%3: %4. The %5 datagrams read before are kept.")
                      .arg(shown)
                      .arg(reader->framesRead())
                      .arg(at >= 0 ? QStringLiteral(", at byte %1").arg(at) : QString())
                      .arg(QString::fromLocal8Bit(reader->error()))
                      .arg(stored);
    }
    if (reader->skipped() > 0) {
        if (!message.isEmpty())
            message += QLatin1Char('\n');
        message += QStringLiteral("%1 of %2 packets in %3 are not IPv4 datagrams and were skipped.")
                       .arg(reader->skipped())
                       .arg(reader->framesRead())
                       .arg(shown);
    }
    return message;
}

QString frmMain::SaveCaptureFile(const QString& path, bool shownOnly)
{
    const QString shown = Native(path);
    if (fileBusy_)
        return QStringLiteral("Another capture file is being read or written.");
    EndReceive();
    const PacketListModel& list = views_.ListModel();
    const std::int64_t count = shownOnly ? static_cast<std::int64_t>(list.totalRows()) : views_.lSeq();

    // Written under a temporary name beside it and put in its place at the
    // end: a failed save leaves neither a partial file nor a damaged earlier one.
    const std::string target = QFile::encodeName(path).toStdString();
    std::string error;
    std::unique_ptr<CaptureFileWriter> writer = CaptureFileWriter::CreateReplacing(
        target, CaptureFileFormatForName(target), CaptureFileWriter::kLinkTypeRaw, error);
    if (!writer)
        return QStringLiteral("%1 cannot be written: %2.").arg(shown, QString::fromLocal8Bit(error));

    fileBusy_ = true;
    FileProgress progress(this, QStringLiteral("Saving %1").arg(shown));
    QString failure;
    bool cancelled = false;
    std::vector<std::uint8_t> bytes;
    std::int64_t done = 0;
    while (done < count && failure.isEmpty()) {
        const auto start = std::chrono::steady_clock::now();
        do {
            const std::int64_t end = std::min(count, done + kFramesPerCheck);
            for (; done < end; ++done) {
                const std::int64_t seq = shownOnly ? list.sequenceOf(static_cast<std::size_t>(done)) : done + 1;
                std::int64_t ts = 0;
                if (!views_.DatagramOf(seq, bytes, ts)) {
                    failure = QString::fromLocal8Bit(views_.DatagramError());
                    break;
                }
                if (!writer->Append(ts, bytes, static_cast<std::uint32_t>(bytes.size()))) {
                    failure = QString::fromLocal8Bit(writer->error());
                    break;
                }
            }
        } while (done < count && failure.isEmpty() && std::chrono::steady_clock::now() - start < kFileChunk);
        if (done >= count || !failure.isEmpty())
            break;
        progress.Step(static_cast<int>(done * 1000 / count));
        if (progress.Cancelled() || unloaded_) {
            cancelled = true;
            break;
        }
    }
    if (failure.isEmpty() && !cancelled && !writer->Commit())
        failure = QString::fromLocal8Bit(writer->error());
    writer.reset();  // an uncommitted temporary file goes with it
    fileBusy_ = false;
    if (failure.isEmpty() && !cancelled)
        return {};
    if (cancelled)
        return QStringLiteral("Saving %1 was cancelled; no file was written.").arg(shown);
    return QStringLiteral("Saving %1 failed: %2. No file was written.").arg(shown, failure);
}

}  // namespace quillet
