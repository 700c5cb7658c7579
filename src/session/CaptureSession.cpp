// The capture controller and the receive path.
#include "session/CaptureSession.h"

#include <chrono>
#include <exception>
#include <new>

#include <sys/socket.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QScopedValueRollback>
#include <QSocketNotifier>
#include <QThread>

#include "capture/CaptureChannel.h"
#include "capture/ReasonText.h"
#include "core/CaptureFile.h"
#include "core/IPv6Text.h"
#include "decode/DecodeDatagram.h"
#include "session/CaptureNotification.h"
#include "views/ListRoles.h"

namespace quillet {

namespace {

// One notification reads in chunks of this many datagrams until nothing more
// is ready or the time budget is spent; then the next notification goes to
// the back of the event queue, so input and painting get their turn.
constexpr int kReadChunk = 512;
constexpr auto kReadBudget = std::chrono::milliseconds(4);
// New rows of a capture reach the views at most this often.
constexpr auto kShowEvery = std::chrono::milliseconds(100);
constexpr auto kRetryAfterError = std::chrono::milliseconds(100);
// A stop reads what is still held for at most this long and this many
// datagrams, however fast new ones come: stop and close always return.
constexpr auto kDrainLimit = std::chrono::milliseconds(200);
constexpr std::int64_t kDrainMaxDatagrams = 1'000'000;

// Thrown by the drain's callback to end a drain at its limit.
struct DrainLimitReached {};

// Counts the reads in progress, so that a capture ended from inside one is
// closed only once it returned.
class ReadScope {
public:
    explicit ReadScope(int& depth) : depth_(depth) { ++depth_; }
    ~ReadScope() { --depth_; }
    ReadScope(const ReadScope&) = delete;
    ReadScope& operator=(const ReadScope&) = delete;

private:
    int& depth_;
};

// The pending error on a socket descriptor (cleared by reading it), 0 for
// none or for a descriptor that is not a socket.
int PendingSocketError(int fd)
{
    int error = 0;
    socklen_t len = sizeof error;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) != 0)
        return 0;
    return error;
}

QString SpoolFull(const std::string& error)
{
    return QCoreApplication::translate("CaptureSession", "工作捕获文件已无法再写入（%1）").arg(QString::fromLocal8Bit(error));
}

}  // namespace

// Capture failures reach the user as the session's messages.
class CaptureSession::TellSink : public MessageSink {
public:
    explicit TellSink(CaptureSession& session) : session_(session) {}
    void ShowMessage(const std::string& text) override { session_.Tell(QString::fromStdString(text)); }
    void ShowFailure(const std::string& first, const Reason& why) override { session_.Tell(FailureText(first, why)); }

private:
    CaptureSession& session_;
};

CaptureSession::CaptureSession(PacketViews& views, Options options, Reports reports)
    : views_(views), options_(std::move(options)), reports_(std::move(reports)),
      sink_(std::make_unique<TellSink>(*this)),
      programLookup_(&context_, [this](std::vector<OwnerAnswer> answers) { ProgramsAnswered(std::move(answers)); })
{
    receiveIPv6_ = options_.ipv6;
    programLookup_.ipv6Bytes = IPv6Table::At;
    statusTimer_.setInterval(500);
    QObject::connect(&statusTimer_, &QTimer::timeout, &context_, [this] { UpdateStatusPanels(); });
    showTimer_.setSingleShot(true);
    QObject::connect(&showTimer_, &QTimer::timeout, &context_, [this] { ShowBurst(); });
}

void CaptureSession::SetIPv6(bool on)
{
    options_.ipv6 = on;
    if (!CaptureOpen() && !fileBusy_)
        receiveIPv6_ = on;
}

CaptureSession::~CaptureSession()
{
    try {
        Close();
    } catch (...) {
    }
}

void CaptureSession::Tell(const QString& text)
{
    if (reports_.tell)
        reports_.tell(text);
}

void CaptureSession::SetState(bool capturing)
{
    if (reports_.captureState)
        reports_.captureState(capturing);
}

void CaptureSession::Show(StatusPanel panel, const QString& text)
{
    if (reports_.status)
        reports_.status(panel, text);
}

void CaptureSession::Start(const QString& address)
{
    try {
        lRecvCount_ = 0;
        bytesRecv_ = 0;
        if (options_.systemSupported && !options_.systemSupported()) {
            Tell(QString(QChar(0xE4D4)) + QCoreApplication::translate("CaptureSession", "T5 or Higher!"));
            return;
        }
        // Without the working file no packet can be kept: no capture.
        if (const QString problem = SpoolProblem(); !problem.isEmpty()) {
            SetState(false);
            Tell(problem);
            return;
        }
        // A capture still open (started from code, not the toolbar) ends
        // first, keeping what it captured.
        Close();
        WinsockStart();
        std::unique_ptr<CaptureSource> source =
            options_.openCapture ? options_.openCapture(address.toStdString(), 7000, *sink_, options_.ipv6) : nullptr;
        if (!source) {
            // The user has seen why; the window stays idle.
            SetState(false);
            return;
        }
        source_ = std::move(source);
        ownersTold_ = OwnersTold::NotYet;
        ownersLost_ = 0;
        receiveIPv6_ = options_.ipv6;
        endWhy_.reset();
        storeFull_ = false;
        budget_ = std::make_unique<StoreBudget>(options_.memoryLimitBytes, options_.diskReserveBytes);
        budget_->outsideBytes = source_->KernelRingBytes();
        lSocket_ = ++lastHandle_;
        notifier_ = std::make_unique<QSocketNotifier>(static_cast<qintptr>(source_->selectableFd()),
                                                      QSocketNotifier::Read);
        QObject::connect(notifier_.get(), &QSocketNotifier::activated, &context_, [this] { OnReadable(); });
        SetState(true);

        captureAddress_ = address;
        captureInterface_ = source_->InterfaceName();
        link_ = LinkState::Up;
        answering_ = true;
        rate_.Reset();
        rate_.Sample(SteadyMs(), 0, 0);
        ShowCapturingState();
        ShowDrops(0);
        Show(StatusPanel::Rate, QString::fromStdString(RateText({})));
        statusTimer_.start();
    } catch (const std::exception& e) {
        Tell(QString::fromLocal8Bit(e.what()));
    }
}

QString CaptureSession::SpoolProblem()
{
    if (views_.Log().OpenSpool(QFile::encodeName(options_.captureDir).toStdString()))
        return {};
    const QString dir = options_.captureDir.isEmpty() ? QString::fromLocal8Bit(CaptureSpool::DefaultDirectory())
                                                      : options_.captureDir;
    return QCoreApplication::translate("CaptureSession", "无法在 %1 中建立工作捕获文件：%2。无法开始捕获；请用 QUILLET_CAPTURE_DIR 另选一个目录。")
        .arg(dir, QString::fromLocal8Bit(views_.Log().Error()));
}

void CaptureSession::StopStoring(const QString& reason)
{
    if (fileBusy_ && !source_) {
        // Reading a capture file: the reading loop stops and says why.
        if (!storeFull_)
            fileStopWhy_ = reason;
        storeFull_ = true;
        return;
    }
    if (!source_ || endWhy_)
        return;
    // Unlike an interface that went away, what is still readable is not
    // drained into a store that has no room for it.
    storeFull_ = true;
    EndByItself(StoppedMessage(reason));
}

QString CaptureSession::StoppedMessage(const QString& reason) const
{
    return QCoreApplication::translate("CaptureSession", "捕获已自行停止：%1。已存储的 %2 个数据包均已保留，可以查看；请保存（Ctrl+S），释放内存或磁盘空间，然后重新开始。")
        .arg(reason)
        .arg(views_.Log().lSeq());
}

void CaptureSession::Stop()
{
    try {
        const bool wasOpen = source_ != nullptr;
        Close();
        WinsockStop();
        SetState(false);
        if (wasOpen)
            Show(StatusPanel::State, QString::fromStdString(StoppedText()));
        if (const std::optional<std::uint64_t> lost = std::exchange(lostAtStop_, std::nullopt))
            Tell(QCoreApplication::translate("CaptureSession", "捕获程序 %1 没有回应，已将它结束：内核中还有 %2 个数据包未交出，已丢失。")
                     .arg(QLatin1String(channel::kProgramName), QString::fromStdString(GroupedNumber(*lost))));
    } catch (const std::exception& e) {
        Tell(QString::fromLocal8Bit(e.what()));
    }
}

CaptureHandle::Stats CaptureSession::Stats() const
{
    return source_ ? source_->stats() : CaptureHandle::Stats{};
}

void CaptureSession::EndByItself(const QString& why)
{
    if (!source_ || endWhy_ || closing_)
        return;  // no capture, or its end is already on its way
    endWhy_ = why;
    endingHandle_ = lSocket_;
    if (readDepth_ > 0) {
        // Inside a read of this capture: close it once the read returned
        // (the notification's handler does that too, whichever comes first).
        QTimer::singleShot(0, &context_, [this] { FinishEndByItself(); });
        return;
    }
    FinishEndByItself();
}

void CaptureSession::FinishEndByItself()
{
    if (!endWhy_)
        return;
    // Not a capture started since (from code, while this one drained).
    if (lSocket_ == endingHandle_)
        Stop();
    const QString why = *endWhy_;
    endWhy_.reset();
    Tell(why);
}

void CaptureSession::Close()
{
    if (!source_ || closing_)
        return;
    // A limit the drain reaches stops nothing more: the capture is ending.
    const QScopedValueRollback<bool> closing(closing_, true);
    notifier_.reset();
    statusTimer_.stop();
    // What the kernel still holds was captured before the stop: keep it,
    // within a bound of time and count that a fast sender cannot stretch.
    try {
        ReadScope scope(readDepth_);
        const auto deadline = std::chrono::steady_clock::now() + kDrainLimit;
        std::int64_t drained = 0;
        source_->Drain([&](const CapturedDatagram& captured) {
            if (drained >= kDrainMaxDatagrams
                || ((drained & 63) == 0 && std::chrono::steady_clock::now() >= deadline))
                throw DrainLimitReached{};
            ++drained;
            ReceiveOne(captured);
        });
    } catch (...) {
    }
    ForgetAhead();
    try {
        TakeOwnerNotes();
        EndReceive();
    } catch (...) {
    }
    lostAtStop_ = source_->LostAtStop();
    try {
        const CaptureHandle::Stats st = source_->stats();
        ShowDrops(st.dropped + st.ifDropped);
    } catch (...) {
    }
    Show(StatusPanel::Rate, QString());
    source_->Close();
    source_.reset();
    lSocket_ = -1;
    // A notification still queued for this capture finds it closed and is
    // ignored.
}

void CaptureSession::OnReadable()
{
    if (!notifier_)
        return;
    notifier_->setEnabled(false);
    Post(MakeSelectLParam(static_cast<int>(FD_READ), PendingSocketError(source_->selectableFd())));
}

void CaptureSession::Post(std::intptr_t lParam)
{
    if (pendingHandle_ == lSocket_)
        return;  // one notification at a time
    pendingHandle_ = lSocket_;
    if (reports_.post)
        reports_.post(lSocket_, lParam);
    else
        QTimer::singleShot(0, &context_, [this, handle = lSocket_, lParam] { Notified(handle, lParam); });
}

void CaptureSession::Notified(std::intptr_t handle, std::intptr_t lParam)
{
    if (handle == pendingHandle_)
        pendingHandle_ = -1;
    // Queued before the capture it names was stopped, or after it was asked
    // to end: nothing to read.
    if (!source_ || handle != lSocket_ || endWhy_)
        return;

    bool more = false;
    bool failed = false;
    if (lParam == FD_READ) {
        try {
            ReadScope scope(readDepth_);
            const auto start = std::chrono::steady_clock::now();
            const DatagramCallback fn = [this](const CapturedDatagram& captured) { ReceiveOne(captured); };
            for (;;) {
                const int n = source_->Read(kReadChunk, fn);
                ForgetAhead();
                failed = n < 0;
                if (n < kReadChunk)
                    break;
                if (std::chrono::steady_clock::now() - start >= kReadBudget) {
                    more = true;
                    break;
                }
            }
        } catch (...) {
            // Ends this notification's reading without a message.
            ForgetAhead();
        }
        try {
            TakeOwnerNotes();
            EndReceive(ShowWhen::Soon);
        } catch (...) {
        }
    }
    if (endWhy_) {
        FinishEndByItself();  // asked for while reading
        return;
    }
    // An error notification reads nothing, and a failed read is not counted;
    // both make the session look at the interface: gone ends the capture,
    // down is shown while the capture waits for it.
    if (lParam != FD_READ || failed) {
        CheckLink(failed ? source_->LastError() : std::string());
        if (!source_)
            return;
    }
    // The next readiness is still reported. A full chunk may leave datagrams
    // that the descriptor no longer signals, so those are read by a
    // notification posted now.
    if (more) {
        Post(FD_READ);
    } else if (failed) {
        // A descriptor in error stays readable (an interface that went
        // down): try again later instead of spinning.
        QTimer::singleShot(kRetryAfterError, &context_, [this, handle = lSocket_] {
            if (notifier_ && lSocket_ == handle)
                notifier_->setEnabled(true);
        });
    } else if (notifier_) {
        notifier_->setEnabled(true);
    }
}

void CaptureSession::ReceiveOne(const CapturedDatagram& captured)
{
    if (storeFull_)
        return;  // the store took its last packet: nothing more is kept
    if (captured.live && fileBusy_) {
        // Read while a file is: the file's range of packets is not looked up.
        CapturedDatagram notLive = captured;
        notLive.live = false;
        return ReceiveOne(notLive);
    }
    const std::span<const std::uint8_t> datagram = captured.bytes;
    ++lRecvCount_;
    bytesRecv_ += datagram.size();
    receivedInBurst_ = true;
    // The whole datagram goes to the working file; the payload is read back
    // from there when it is needed, never copied in memory.
    try {
        // Decoding keeps each new IPv6 address, so it may run out of memory too.
        std::optional<DecodedDatagram> decoded;
        if (!aheadBytes_.empty() && aheadBytes_.data() == datagram.data() && aheadBytes_.size() == datagram.size())
            decoded = std::move(aheadDecoded_);
        else
            decoded = DecodeDatagram(datagram, false, receiveIPv6_);
        ForgetAhead();
        // The next one is decoded now, and what storing it reads is fetched
        // while this one is stored.
        if (!captured.next.empty() && views_.GainsFromAhead()) {
            aheadDecoded_ = DecodeDatagram(captured.next, false, receiveIPv6_);
            aheadBytes_ = captured.next;
            if (aheadDecoded_)
                views_.StoreAhead(*aheadDecoded_);
        }
        if (!decoded)
            return;
        // A live datagram's endpoints are noted for the program look-up as it is stored.
        if (views_.StorePacket(*decoded, captured) == 0)
            StopStoring(SpoolFull(views_.Log().Error()));
    } catch (const std::bad_alloc&) {
        StopStoring(QCoreApplication::translate("CaptureSession", "内存不足"));
    }
}

void CaptureSession::EndReceive(ShowWhen when)
{
    // A write that failed on the spool's thread after the burst's last
    // datagram stops now, not at the next datagram; then the budget, once
    // per burst.
    if ((source_ || fileBusy_) && !endWhy_ && !storeFull_) {
        CaptureSpool* spool = views_.Log().Spool();
        if (spool && !spool->Check()) {
            StopStoring(SpoolFull(spool->error()));
        } else if (budget_) {
            const std::string reason = budget_->Check(StoreBudget::Clock::now(), spool ? spool->size() : 0,
                                                      spool ? spool->directory() : std::string());
            if (!reason.empty())
                StopStoring(QString::fromLocal8Bit(reason));
        }
    }
    // Under a steady stream the views take new rows a few times a second:
    // painting them after every read would cost more than storing them.
    if (when == ShowWhen::Soon && shownAt_.isValid() && shownAt_.elapsed() < kShowEvery.count()) {
        if (!showTimer_.isActive())
            showTimer_.start(static_cast<int>(kShowEvery.count() - shownAt_.elapsed()));
        return;
    }
    ShowBurst();
}

void CaptureSession::ShowBurst()
{
    showTimer_.stop();
    // The panel keeps the previous capture's count until a datagram comes.
    if (receivedInBurst_) {
        shownAt_.start();
        Show(StatusPanel::Count, QString::number(lRecvCount_));
    }
    receivedInBurst_ = false;
    {
        const QScopedValueRollback<bool> ending(endingBurst_, true);
        views_.EndBurst();
    }
    LookUpPrograms();
}

void CaptureSession::Receive(const std::vector<std::vector<std::uint8_t>>& datagrams, std::int64_t timestampUs)
{
    for (const std::vector<std::uint8_t>& d : datagrams) {
        CapturedDatagram captured;
        captured.bytes = d;
        captured.timestampUs = timestampUs;
        // Only what is captured now belongs to sockets now.
        captured.live = source_ != nullptr;
        ReceiveOne(captured);
    }
    EndReceive();
}

void CaptureSession::LookUpPrograms()
{
    if (!views_.Programs().HasPending() || programLookup_.Busy())
        return;
    std::vector<OwnerRequest> batch = views_.Programs().TakeBatch();
    std::vector<OwnerAnswer> told = AnswerFromKernel(batch);
    if (batch.empty()) {
        ProgramsAnswered(std::move(told));
        return;
    }
    kernelAnswers_ = std::move(told);
    programLookup_.Request(std::move(batch));
}

void CaptureSession::ProgramsAnswered(std::vector<OwnerAnswer> answers)
{
    if (!kernelAnswers_.empty()) {
        answers.insert(answers.end(), kernelAnswers_.begin(), kernelAnswers_.end());
        kernelAnswers_.clear();
    }
    views_.EnterOwners(answers);
    AmendFromKernel();
    LookUpPrograms();  // what was noted meanwhile
}

QString CaptureSession::ProgramOfRow(int row)
{
    PacketListModel& list = views_.ListModel();
    if (row < 0 || row >= list.visibleRows())
        return {};
    const std::int64_t seq = list.sequenceOf(static_cast<std::size_t>(row));
    QElapsedTimer waited;
    waited.start();
    ProgramOwners& owners = views_.Programs();
    while (owners.AnsweredThrough() < seq && (owners.Unanswered() || owners.HasPending())
           && waited.elapsed() < kProgramWaitMs) {
        LookUpPrograms();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        if (owners.AnsweredThrough() < seq && programLookup_.Busy())
            QThread::msleep(1);
    }
    return list.text(static_cast<std::size_t>(row), kColProgram);
}

}  // namespace quillet
