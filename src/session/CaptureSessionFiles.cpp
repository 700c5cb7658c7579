// Capture files: reading pcap/pcapng files into the store and saving the
// store (or the rows of the selected tab) to one.
#include "session/CaptureSession.h"

#include <algorithm>
#include <chrono>
#include <vector>

#include <QCoreApplication>
#include <QDir>
#include <QFile>

#include "capture/CaptureFileReader.h"
#include "core/CaptureFile.h"

namespace quillet {

namespace {

// File work runs in chunks of at most this long, with the progress told (and
// the event loop served) in between.
constexpr auto kFileChunk = std::chrono::milliseconds(20);
constexpr int kFramesPerCheck = 256;

// Unset a flag when the scope ends.
struct ClearOnExit {
    bool& flag;
    ~ClearOnExit() { flag = false; }
};

}  // namespace

QString CaptureSession::ReadFile(const QString& path, const Progress& progress)
{
    const QString shown = QDir::toNativeSeparators(path);
    if (CaptureOpen())
        return QStringLiteral("A capture is running. Stop it before opening a capture file.");
    if (fileBusy_)
        return QStringLiteral("Another capture file is being read or written.");
    if (const QString problem = SpoolProblem(); !problem.isEmpty())
        return problem;
    std::string error;
    CaptureFileReader::Refusal refused = CaptureFileReader::Refusal::None;
    std::unique_ptr<CaptureFileReader> reader =
        CaptureFileReader::Open(QFile::encodeName(path).toStdString(), error, &refused);
    if (refused == CaptureFileReader::Refusal::Folder)
        return QCoreApplication::translate("CaptureSession", "无法打开 %1：它是文件夹，不是捕获文件。").arg(shown);
    if (refused == CaptureFileReader::Refusal::NotRegular)
        return QCoreApplication::translate("CaptureSession", "无法打开 %1：它不是普通文件（而是管道、设备或套接字）。")
            .arg(shown);
    if (!reader)
        return QStringLiteral("%1 cannot be opened as a capture file: %2.").arg(shown, QString::fromLocal8Bit(error));

    fileBusy_ = true;
    storeFull_ = false;
    fileStopWhy_.clear();
    budget_ = std::make_unique<StoreBudget>(options_.memoryLimitBytes, options_.diskReserveBytes);
    lRecvCount_ = 0;
    Show(StatusPanel::Count, QString::number(0));
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
            if (progress && !progress(size > 0 ? static_cast<int>(reader->position() * 1000 / size) : 0)) {
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

QString CaptureSession::SaveFile(const QString& path, bool shownOnly, const Progress& progress)
{
    const QString shown = QDir::toNativeSeparators(path);
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
    ClearOnExit notBusy{fileBusy_};
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
        if (progress && !progress(static_cast<int>(done * 1000 / count))) {
            cancelled = true;
            break;
        }
    }
    if (failure.isEmpty() && !cancelled && !writer->Commit())
        failure = QString::fromLocal8Bit(writer->error());
    writer.reset();  // an uncommitted temporary file goes with it
    if (failure.isEmpty() && !cancelled)
        return {};
    if (cancelled)
        return QStringLiteral("Saving %1 was cancelled; no file was written.").arg(shown);
    return QStringLiteral("Saving %1 failed: %2. No file was written.").arg(shown, failure);
}

}  // namespace quillet
