// Capture files: reading pcap/pcapng files into the store and saving the
// store (or the rows of the selected tab) to one.
#include "session/CaptureSession.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string_view>
#include <utility>
#include <vector>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QScopedValueRollback>

#include "capture/CaptureFileReader.h"
#include "core/CaptureFile.h"
#include "programs/ProgramComment.h"

namespace quillet {

namespace {

// File work runs in chunks of at most this long, with the progress told (and
// the event loop served) in between.
constexpr auto kFileChunk = std::chrono::milliseconds(20);
constexpr int kFramesPerCheck = 256;

}  // namespace

QString CaptureSession::ReadFile(const QString& path, const Progress& progress)
{
    const QString shown = QDir::toNativeSeparators(path);
    if (CaptureOpen())
        return QCoreApplication::translate("CaptureSession", "正在捕获。请先停止捕获，再打开捕获文件。");
    if (fileBusy_)
        return QCoreApplication::translate("CaptureSession", "另一个捕获文件正在读取或写入。");
    if (const QString problem = SpoolProblem(); !problem.isEmpty())
        return problem;
    std::string error;
    CaptureFileReader::Refusal refused = CaptureFileReader::Refusal::None;
    std::unique_ptr<CaptureFileReader> reader =
        CaptureFileReader::Open(QFile::encodeName(path).toStdString(), error, options_.ipv6, &refused);
    if (refused == CaptureFileReader::Refusal::Folder)
        return QCoreApplication::translate("CaptureSession", "无法打开 %1：它是文件夹，不是捕获文件。").arg(shown);
    if (refused == CaptureFileReader::Refusal::NotRegular)
        return QCoreApplication::translate("CaptureSession", "无法打开 %1：它不是普通文件（而是管道、设备或套接字）。")
            .arg(shown);
    if (!reader)
        return QCoreApplication::translate("CaptureSession", "无法将 %1 作为捕获文件打开：%2。").arg(shown, QString::fromLocal8Bit(error));

    fileBusy_ = true;
    receiveIPv6_ = options_.ipv6;
    storeFull_ = false;
    fileStopWhy_.clear();
    budget_ = std::make_unique<StoreBudget>(options_.memoryLimitBytes, options_.diskReserveBytes);
    lRecvCount_ = 0;
    Show(StatusPanel::Count, QString::number(0));
    const std::int64_t firstSeq = views_.Log().lSeq() + 1;
    // A file's packets belong to no socket of now, whatever their ports.
    struct NotLookedUp {
        PacketViews& views;
        std::int64_t first;
        ~NotLookedUp() { views.Programs().NotLookedUp(first, views.lSeq()); }
    } notLookedUp{views_, firstSeq};
    // A pcapng file's comments name the packets' programs (the reader's
    // datagrams carry them), its name blocks hosts.
    const CaptureFileReader::DatagramFn fn = [this](const CapturedDatagram& captured) { ReceiveOne(captured); };
    CaptureFileReader::Status status = CaptureFileReader::Status::More;
    bool cancelled = false;
    try {
        while (status == CaptureFileReader::Status::More) {
            const auto start = std::chrono::steady_clock::now();
            do
                status = reader->Read(kFramesPerCheck, fn);
            while (status == CaptureFileReader::Status::More && std::chrono::steady_clock::now() - start < kFileChunk);
            receivedInBurst_ = true;  // panel 1 shows the count even when nothing was IPv4
            for (const auto& [address, name] : reader->TakeNames())
                views_.SetTrafficName(address, name);
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
        return QCoreApplication::translate("CaptureSession", "读取 %1 已停止：%2").arg(shown, QString::fromLocal8Bit(e.what()));
    }
    fileBusy_ = false;

    const std::int64_t stored = views_.Log().lSeq() - firstSeq + 1;
    QString message;
    if (storeFull_) {
        message = QCoreApplication::translate("CaptureSession", "读取 %1 已停止：%2。此前读取的 %3 个数据报均已保留，可以查看；请保存（Ctrl+S），释放内存或磁盘空间，然后重新打开该文件。")
                      .arg(shown, fileStopWhy_)
                      .arg(stored);
        storeFull_ = false;
    } else if (cancelled) {
        message = QCoreApplication::translate("CaptureSession", "读取 %1 在 %2 个数据包后已取消；已读取的 %3 个数据报均已保留。")
                      .arg(shown)
                      .arg(reader->framesRead())
                      .arg(stored);
    } else if (status == CaptureFileReader::Status::Failed) {
        const std::int64_t at = reader->position();
        message = QCoreApplication::translate("CaptureSession", "读取 %1 在第 %2 个数据包后停止%3：%4。此前读取的 %5 个数据报均已保留。")
                      .arg(shown)
                      .arg(reader->framesRead())
                      .arg(at >= 0 ? QCoreApplication::translate("CaptureSession", "（第 %1 字节处）").arg(at) : QString())
                      .arg(QString::fromLocal8Bit(reader->error()))
                      .arg(stored);
    }
    if (reader->skipped() > 0) {
        if (!message.isEmpty())
            message += QLatin1Char('\n');
        message += QCoreApplication::translate("CaptureSession", "%3 的 %2 个包中有 %1 个不是 %4 数据报，已跳过。")
                       .arg(reader->skipped())
                       .arg(reader->framesRead())
                       .arg(shown, receiveIPv6_ ? QCoreApplication::translate("CaptureSession", "IPv4 或 IPv6")
                                                : QStringLiteral("IPv4"));
    }
    return message;
}

QString CaptureSession::SaveFile(const QString& path, bool shownOnly, const Progress& progress)
{
    const QString shown = QDir::toNativeSeparators(path);
    if (fileBusy_)
        return QCoreApplication::translate("CaptureSession", "另一个捕获文件正在读取或写入。");
    EndReceive();
    PacketLog& log = views_.Log();
    const std::int64_t count = shownOnly ? static_cast<std::int64_t>(views_.ShownRows()) : log.lSeq();

    // Written under a temporary name beside it and put in its place at the
    // end: a failed save leaves neither a partial file nor a damaged earlier one.
    const std::string target = QFile::encodeName(path).toStdString();
    std::string error;
    CaptureFileWriter::Refusal refused = CaptureFileWriter::Refusal::None;
    std::unique_ptr<CaptureFileWriter> writer = CaptureFileWriter::CreateReplacing(
        target, CaptureFileFormatForName(target), CaptureFileWriter::kLinkTypeRaw, error, {}, &refused);
    if (refused == CaptureFileWriter::Refusal::Folder)
        return QCoreApplication::translate("CaptureSession", "无法保存到 %1：它是文件夹。未写入任何内容。").arg(shown);
    if (refused == CaptureFileWriter::Refusal::NotRegular)
        return QCoreApplication::translate("CaptureSession", "无法保存到 %1：它不是普通文件（而是管道、设备或套接字，或指向它们的链接），只有普通文件才会被替换。未写入任何内容。")
            .arg(shown);
    if (!writer)
        return QCoreApplication::translate("CaptureSession", "无法写入 %1：%2。").arg(shown, QString::fromLocal8Bit(error));
    if (!writer->AppendNames(views_.NamedAddresses())) {
        const QString why = QString::fromLocal8Bit(writer->error());
        writer.reset();  // an uncommitted temporary file goes with it
        return QCoreApplication::translate("CaptureSession", "无法写入 %1：%2。").arg(shown, why);
    }

    const QScopedValueRollback<bool> busy(fileBusy_, true);
    QString failure;
    bool cancelled = false;
    std::vector<std::uint8_t> bytes;
    std::string note;
    std::int64_t done = 0;
    while (done < count && failure.isEmpty()) {
        const auto start = std::chrono::steady_clock::now();
        do {
            const std::int64_t end = std::min(count, done + kFramesPerCheck);
            for (; done < end; ++done) {
                const std::int64_t seq = shownOnly ? views_.ShownSeq(static_cast<std::size_t>(done)) : done + 1;
                std::int64_t ts = 0;
                std::uint32_t original = 0;
                if (!log.Datagram(seq, bytes, ts, &original)) {
                    failure = QString::fromLocal8Bit(log.Error());
                    break;
                }
                const QString program = views_.ProgramOf(seq, log.Record(seq));
                note = CommentOfProgram(program.toStdString());
                if (!writer->Append(ts, bytes, original, note)) {
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
        return QCoreApplication::translate("CaptureSession", "保存 %1 已取消；未写入任何文件。").arg(shown);
    return QCoreApplication::translate("CaptureSession", "保存 %1 失败：%2。未写入任何文件。").arg(shown, failure);
}

}  // namespace quillet
