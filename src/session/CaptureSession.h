#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include <QObject>
#include <QString>
#include <QElapsedTimer>
#include <QTimer>

#include "capture/CaptureSource.h"
#include "core/CapturedDatagram.h"
#include "core/StoreBudget.h"
#include "programs/KernelOwners.h"
#include "programs/ProgramLookup.h"
#include "session/CaptureStatus.h"
#include "views/PacketViews.h"

class QSocketNotifier;

namespace quillet {

// The status bar panels a session fills: the receive count, then the
// capture's state, the kernel's drops and the rate.
enum class StatusPanel { Count, State, Drops, Rate };

// One run's captures and capture files, without a window: opens and closes
// the capture source, reads what it delivers into the packet views, keeps
// the store within its budget, ends a capture that cannot go on, reads and
// writes capture files, and keeps the receive figures. It tells its window
// what to show through Reports.
//
// Notifications: while a capture is open, a socket notifier on its
// descriptor has one capture notification (handle, lParam FD_READ | error
// << 16) posted at a time; the window hands it back to Notified, which reads
// what is ready (bounded per notification) and arms the notifier again or
// posts the next one. A notification of a capture that is closed or ending
// is ignored; an error while reading ends that notification's handling
// without a message.
//
// Twice a second it reports the capture's state (on which address and
// interface, waiting while the interface is down, or that the capture
// program does not answer: a stop then says how many datagrams the kernel
// still held and were lost), the kernel's drops and
// the rate over the last second; an interface that is gone ends the capture
// with a message. The local programs behind captured packets are looked up
// in batches on a thread of their own, at most one batch at a time.
class CaptureSession {
public:
    struct Options {
        CaptureOpener openCapture;
        // The system check a start makes first; empty: passes.
        std::function<bool()> systemSupported;
        // Where the working capture file is made (empty: the default place),
        // and the budget's limits (0: their defaults).
        QString captureDir;
        std::uint64_t memoryLimitBytes = 0;
        std::uint64_t diskReserveBytes = 0;
        // IPv6 datagrams are kept beside IPv4 ones.
        bool ipv6 = true;
    };
    // What the window shows; each may be left empty.
    struct Reports {
        std::function<void(const QString& text)> tell;
        // Capturing (start no longer possible) or idle.
        std::function<void(bool capturing)> captureState;
        // A panel's new text; an empty text hides it.
        std::function<void(StatusPanel panel, const QString& text)> status;
        // Queues the capture notification; empty: the session queues it to
        // itself.
        std::function<void(std::intptr_t handle, std::intptr_t lParam)> post;
    };
    // Between chunks of file work: the fraction done (0..1000); false stops.
    using Progress = std::function<bool(int permille)>;

    CaptureSession(PacketViews& views, Options options, Reports reports);
    ~CaptureSession();
    CaptureSession(const CaptureSession&) = delete;
    CaptureSession& operator=(const CaptureSession&) = delete;

    // --- captures ----------------------------------------------------------------
    // Opens a capture on the interface with that address; a capture still
    // open ends first, keeping what it captured. Failures are told and leave
    // the session idle.
    void Start(const QString& address);
    // Closes the capture (what is still held is read, within bounds) and
    // reports the idle state.
    void Stop();
    // Closes the capture without reporting a state (shutdown).
    void Close();
    // Ends a running capture that cannot go on, as Stop does, and tells why
    // once. Nothing happens when no capture runs. Called while datagrams are
    // being read, it ends the capture as soon as that read returns.
    void EndByItself(const QString& why);
    // Handles one capture notification.
    void Notified(std::intptr_t handle, std::intptr_t lParam);
    // Hands datagrams (whole IPv4 or IPv6 datagrams) to the receive path as one
    // notification's burst would.
    void Receive(const std::vector<std::vector<std::uint8_t>>& datagrams, std::int64_t timestampUs);

    // --- capture files -------------------------------------------------------------
    // Reads a pcap or pcapng file into the store as captured datagrams are
    // stored. Empty when all went well, else the message for the user.
    QString ReadFile(const QString& path, const Progress& progress);
    // Writes every stored packet (or the rows of the selected tab, in their
    // order) to path: classic pcap when the name ends in ".pcap", else
    // pcapng. Empty on success, else why nothing was written.
    QString SaveFile(const QString& path, bool shownOnly, const Progress& progress);
    // A capture file is being read or written.
    bool FileBusy() const { return fileBusy_; }

    // Whether IPv6 datagrams are kept, for the next capture or file; a
    // running one keeps what it started with.
    void SetIPv6(bool on);

    // The program column's text for a row of the list, once the look-ups
    // pending for it are answered (waits at most kProgramWaitMs, serving
    // events).
    QString ProgramOfRow(int row);
    static constexpr int kProgramWaitMs = 2000;

    // --- figures ---------------------------------------------------------------------
    // Datagrams and their bytes read since the last start.
    std::int64_t lRecvCount() const { return lRecvCount_; }
    std::uint64_t BytesReceived() const { return bytesRecv_; }
    // The handle number of the open capture, -1 when none is open.
    std::intptr_t lSocket() const { return lSocket_; }
    bool CaptureOpen() const { return source_ != nullptr; }
    // Kernel statistics of the open capture (zeros when none).
    CaptureHandle::Stats Stats() const;
    // True while the end of a burst shows its rows.
    bool EndingBurst() const { return endingBurst_; }
    // Where capture failures are told.
    MessageSink& Sink() { return *sink_; }

private:
    class TellSink;

    void Tell(const QString& text);
    void SetState(bool capturing);
    void Show(StatusPanel panel, const QString& text);
    QString SpoolProblem();
    void OnReadable();
    void Post(std::intptr_t lParam);
    // Decodes and stores one datagram with what travels with it.
    void ReceiveOne(const CapturedDatagram& captured);
    // Ends a burst of received datagrams: the store's checks, then the views
    // and the count take the new rows, now or (Soon) within a tenth of a
    // second.
    enum class ShowWhen { Now, Soon };
    void EndReceive(ShowWhen when = ShowWhen::Now);
    void ShowBurst();
    void StopStoring(const QString& reason);
    QString StoppedMessage(const QString& reason) const;
    void FinishEndByItself();
    void CheckLink(const std::string& readError);
    void UpdateStatusPanels();
    static std::int64_t SteadyMs();
    void ShowDrops(std::uint64_t dropped);
    void ShowCapturingState();
    // Hands the endpoints noted since the last batch to the look-up, unless
    // a batch is in flight; and enters its answers.
    void LookUpPrograms();
    void ProgramsAnswered(std::vector<OwnerAnswer> answers);
    // Enters the owners the kernel told of since the last call, and shows
    // once when it tells of none.
    void TakeOwnerNotes();
    // Answers what the kernel told of from the batch, which keeps the rest
    // (and so does the kernel's record, for owners told later).
    std::vector<OwnerAnswer> AnswerFromKernel(std::vector<OwnerRequest>& batch);
    // Names the packets answered for before the kernel told their owner;
    // waits while a batch is in flight, whose answers come first.
    void AmendFromKernel();

    QObject context_;  // timers, the notifier and look-up answers run here
    PacketViews& views_;
    Options options_;
    Reports reports_;
    std::unique_ptr<MessageSink> sink_;
    ProgramLookup programLookup_;
    KernelOwners kernelOwners_;
    std::vector<OwnerAnswer> kernelAnswers_;  // entered with the look-up's answers to the same batch
    OwnersTold ownersTold_ = OwnersTold::NotYet;
    std::uint64_t ownersLost_ = 0;  // owner events the kernel had no room for, as last shown
    QTimer statusTimer_;
    QTimer showTimer_;
    QElapsedTimer shownAt_;

    std::unique_ptr<CaptureSource> source_;
    std::unique_ptr<QSocketNotifier> notifier_;
    std::intptr_t lSocket_ = -1;
    std::intptr_t lastHandle_ = 0;
    std::intptr_t pendingHandle_ = -1;  // handle with a notification in the queue
    std::int64_t lRecvCount_ = 0;
    std::uint64_t bytesRecv_ = 0;
    bool receivedInBurst_ = false;
    bool endingBurst_ = false;
    int readDepth_ = 0;                 // > 0 while a Read or Drain runs
    bool closing_ = false;              // inside Close
    std::optional<QString> endWhy_;     // a capture ending by itself, not yet told
    std::intptr_t endingHandle_ = -1;   // and its handle number
    QString captureAddress_;
    std::string captureInterface_;
    LinkState link_ = LinkState::Up;
    bool answering_ = true;  // the capture program was heard lately
    std::optional<std::uint64_t> lostAtStop_;  // what a program that did not answer took along
    RateMeter rate_;
    std::unique_ptr<StoreBudget> budget_;
    bool storeFull_ = false;  // the store took its last packet
    bool fileBusy_ = false;
    bool receiveIPv6_ = true;  // the switch as the running capture or file took it
    // The datagram handed next, decoded while the one before it was stored
    // (its bytes as the capture named them, valid during one read): it is
    // decoded once. Forgotten after each read.
    std::span<const std::uint8_t> aheadBytes_;
    std::optional<DecodedDatagram> aheadDecoded_;
    void ForgetAhead()
    {
        aheadBytes_ = {};
        aheadDecoded_.reset();
    }
    QString fileStopWhy_;  // why the store stopped taking a file's packets
};

}  // namespace quillet
