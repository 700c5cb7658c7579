#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include <QElapsedTimer>
#include <QMainWindow>
#include <QPointer>
#include <QStringList>

#include "capture/mdlwinsock.h"
#include "core/StoreBudget.h"
#include "capture/CaptureSource.h"
#include "shell/CaptureStatus.h"
#include "shell/KernelVersion.h"
#include "programs/ProgramLookup.h"
#include "shell/cSubCls.h"
#include "views/PacketViews.h"

class QAbstractItemView;
class QAction;
class QComboBox;
class QDragEnterEvent;
class QDropEvent;
class QLabel;
class QModelIndex;
class QPlainTextEdit;
class QSocketNotifier;
class QStatusBar;
class QTabBar;
class QTimer;
class QToolBar;
class QTreeView;

namespace quillet {

class HostTreeMenu;
class HostTreeNames;
class PacketViewWidgets;
class TP_WinSplit;
class frmConfig;
class frmFiltro;
class frmInfo;

// What the main window takes from outside; tests put in their own.
struct frmMainOptions {
    // Where iana.txt, predefs.txt and trojans.txt are; empty: the
    // executable's directory.
    QString portDir;
    KernelMajorSource kernelMajor = RunningKernelMajor;
    CaptureOpener openCapture = OpenLiveCapture;
    // Shows a message to the user; empty: a message box.
    std::function<void(const QString& text)> message;
    // Where the working capture file of the run is made; empty:
    // CaptureSpool::DefaultDirectory() ($QUILLET_CAPTURE_DIR, $TMPDIR or
    // /var/tmp).
    QString captureDir;
    // Resident memory at which a capture stops by itself; 0: half of the
    // physical memory.
    std::uint64_t memoryLimitBytes = 0;
    // Free space the working file's file system keeps; 0: the smaller of
    // 1 GiB and 5 % of it.
    std::uint64_t diskReserveBytes = 0;
    // Asked once the window is first shown when an earlier run left its
    // working directory behind (the question names the packets; true: open
    // them). Empty: a message box with Yes and No, or, when `message` is
    // set (tests), no question and nothing removed.
    std::function<bool(const QString& question)> askRecover;
    // Host names after the addresses in tv (reverse look-ups); the tree's
    // menu mnuTree turns them on and off while the window runs.
    bool hostNames = true;
};

// The main window: owns the program's state (packet views, filters, port
// databases, the hook) and runs captures from its toolbar.
//
// Controls (objectName = design name): tB (toolbar, buttons 1..9 and the
// address chooser Combo1), stB (status bar: one 96-pixel panel showing the
// receive count, then stBState, stBDrops and stBRate, see below), lv, ts2 (list and its tabs), tv (host tree), Text1 (hex
// dump), txtData (text view, hidden at start), ts (tabs of the lower pane),
// the splitters sp and spBottom and the panes Frame1 and Frame2. tv's
// context menu mnuTree holds mnuHostNames, which turns host names on and off.
//
// Capture notifications: while a capture is open, a socket notifier on its
// descriptor posts one capture-notification message (1025, wParam the
// capture's handle number, lParam FD_READ | error << 16) at a time; the hook
// delivers it to iSubCls_Despues after the window's own event handling,
// which reads what is ready (bounded per notification) and arms the
// notifier again or posts the next message.
//
// Capture health: twice a second a timer sets stBState (capturing on which
// address and interface, waiting while the interface is down, stopped),
// stBDrops (what the kernel dropped for this capture, hidden while none)
// and stBRate (datagrams and bytes per second over the last second) from
// the receive path's counters. An interface that disappears ends the
// capture with a message (EndCaptureByItself).
class frmMain : public QMainWindow, public iSubCls {
    Q_OBJECT

public:
    using Options = frmMainOptions;

    // Builds the controls and runs Form_Load.
    explicit frmMain(Options options = {}, QWidget* parent = nullptr);
    ~frmMain() override;

    // --- commands ------------------------------------------------------------
    void tB_ButtonClick(int index);
    void StartCapture();
    void StopCapture();
    // Ends a running capture that cannot go on, as button 3 does (what is
    // still held is read, the window goes idle, everything stored stays),
    // and tells the user why in one message. Nothing happens when no capture
    // runs. Called while datagrams are being read (from the store, say), it
    // ends the capture as soon as that read returns.
    void EndCaptureByItself(const QString& why);
    bool IsNT5OrHigher() const;
    void FillAddressChooser();

    // --- hook callbacks --------------------------------------------------------
    void iSubCls_Despues(std::int32_t& lReturn, QObject* hWnd, int uMsg, std::intptr_t wParam,
                         std::intptr_t lParam) override;
    void iSubCls_Antes(std::int32_t& lHandled, std::int32_t& lReturn, QObject* hWnd, int uMsg,
                       std::intptr_t wParam, std::intptr_t lParam) override;

    // --- state -----------------------------------------------------------------
    // Datagrams read since the last start.
    std::int64_t lRecvCount() const { return lRecvCount_; }
    // The handle number of the open capture, -1 when none is open.
    std::intptr_t lSocket() const { return lSocket_; }
    bool CaptureOpen() const { return source_ != nullptr; }
    // Kernel statistics of the open capture (zeros when none).
    CaptureHandle::Stats CaptureStats() const;
    PacketViews& Views() { return views_; }
    bool bNoFollow() const { return views_.bNoFollow; }
    cSubCls* oSubCls() const { return oSubCls_.get(); }
    // Toolbar button by index 1..9 (9 is the separator).
    QAction* Button(int index) const;
    // The problems met by Form_Load, as shown to the user once the window is up.
    const QStringList& StartupProblems() const { return startupProblems_; }

    QToolBar* tB() const { return tB_; }
    QComboBox* Combo1() const { return Combo1_; }
    QStatusBar* stB() const { return stB_; }
    // Panel 1 of stB: the receive count.
    QLabel* stBPanel1() const { return stBPanel1_; }
    QLabel* stBState() const { return stBState_; }
    QLabel* stBDrops() const { return stBDrops_; }
    QLabel* stBRate() const { return stBRate_; }
    // Bytes of the datagrams read since the last start.
    std::uint64_t BytesReceived() const { return bytesRecv_; }
    QAbstractItemView* lv() const;
    QTreeView* tv() const;
    QTabBar* ts2() const;
    HostTreeNames& HostNames() const { return *hostNames_; }
    HostTreeMenu* TreeMenu() const { return treeMenu_; }
    // Reverse look-ups made for tv's host names since start-up.
    std::int64_t HostNameLookUps() const;
    QTabBar* ts() const { return ts_; }
    QPlainTextEdit* Text1() const { return Text1_; }
    QPlainTextEdit* txtData() const { return txtData_; }
    // How often Text1 and txtData were filled from a row (clicks, keyboard
    // moves, the follow at the end of a burst); emptying them is not counted.
    int PaneFills() const { return paneFills_; }
    // The shortest time between two fills by the follow of new rows.
    static constexpr int kFollowFillIntervalMs = 100;

    // Test seam beside the real path: hands datagrams (whole IPv4 datagrams)
    // to the receive path as one notification's burst would.
    void ReceiveDatagrams(const std::vector<std::vector<std::uint8_t>>& datagrams, std::int64_t timestampUs);

    // The program column's text for a row of lv, once the look-ups pending
    // for it are answered (waits at most kProgramWaitMs, handling events).
    QString ProgramOfRow(int row);
    static constexpr int kProgramWaitMs = 2000;

    // --- capture files (frmMainFiles.cpp) ---------------------------------------
    // Reads a pcap or pcapng file into the store as the receive path stores
    // captured datagrams. Empty when all went well, else the message the
    // user sees (refused, not a capture file, stopped early, skipped frames).
    QString OpenCaptureFile(const QString& path);
    // The same, showing the message to the user (command line, drop, dialog).
    void OpenAndTell(const QString& path);
    // Writes every stored packet (or the rows of the selected tab, in their
    // order) to path: classic pcap when the name ends in ".pcap", else
    // pcapng. Empty on success, else why nothing was written.
    QString SaveCaptureFile(const QString& path, bool shownOnly);

protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    // Start-up and shutdown.
    void BuildControls();
    void BuildToolBar();
    void Form_Load();
    void Form_Unload();

    // Layout (frmMainLayout.cpp).
    void BuildLayout();
    void SetTabOrder();
    void Form_Resize();
    void sp_Sized();
    void ts_Click();

    // Commands of the list and the dialogs (frmMainCommands.cpp).
    void ToggleFollow();
    void ShowFilterDialog();
    void ShowConfigDialog();
    void ConnectListHandlers();
    void lv_Click(const QModelIndex& index);
    void lv_DblClick(const QModelIndex& index);
    void lv_CurrentRowChanged(const QModelIndex& current);
    void FillPanes(const QModelIndex& row);

    // Capture files (frmMainFiles.cpp).
    void BuildFileCommands();
    void ShowListMenu(const QPoint& pos);
    void OpenWithDialog();
    void SaveWithDialog(bool shownOnly);

    // Receive path (frmMainCapture.cpp).
    void SetCaptureState(bool capturing);
    void OnCaptureReadable();
    void PostNotification(std::intptr_t lParam);
    void ReceiveOne(std::span<const std::uint8_t> datagram, std::int64_t timestampUs);
    void EndReceive();
    void CloseCapture();
    void UpdateStatusPanels();
    void ShowDrops(std::uint64_t dropped);
    void ShowCapturingState();
    void CheckLink(const std::string& readError);
    void FinishEndByItself();
    // Hands the endpoints noted since the last batch to the look-up, unless
    // a batch is in flight; and enters its answers.
    void LookUpPrograms();
    void ProgramsAnswered(std::vector<OwnerAnswer> answers);

    void Tell(const QString& text);
    void OfferLeftCaptures();
    // Makes the working capture file unless it is there; else the message
    // that says why packets cannot be kept.
    static QString SpoolFull(const std::string& error);  // the stop reason of a failed store
    QString SpoolProblem();

    Options options_;
    class FormSink;
    std::unique_ptr<MessageSink> sink_;

    // Program state.
    PacketViews views_;
    ProgramLookup programLookup_;
    std::unique_ptr<cSubCls> oSubCls_;
    std::int64_t lRecvCount_ = 0;
    std::uint64_t bytesRecv_ = 0;
    bool receivedInBurst_ = false;
    int readDepth_ = 0;                 // > 0 while a Read or Drain runs
    std::optional<QString> endWhy_;     // a capture ending by itself, not yet told
    std::intptr_t endingHandle_ = -1;   // and its handle number
    QString captureAddress_;
    std::string captureInterface_;
    LinkState link_ = LinkState::Up;
    RateMeter rate_;
    QTimer* statusTimer_ = nullptr;
    std::unique_ptr<StoreBudget> budget_;
    // The message of a capture that stopped by itself.
    QString StoppedMessage(const QString& reason) const;
    // Ends the capture because the store has no room left (a limit, no
    // memory, a failed write); what is still readable is not kept.
    void StopStoring(const QString& reason);
    bool storeFull_ = false;
    QString fileStopWhy_;  // why the store stopped taking a file's packets
    bool closing_ = false;  // inside CloseCapture
    std::intptr_t lSocket_ = -1;
    std::intptr_t lastHandle_ = 0;
    std::intptr_t pendingHandle_ = -1;  // handle with a notification in the queue
    std::unique_ptr<CaptureSource> source_;
    QSocketNotifier* notifier_ = nullptr;
    bool unloaded_ = false;
    bool shownOnce_ = false;
    QStringList startupProblems_;
    int paneFills_ = 0;
    // The follow of new rows fills the panes at the end of a burst, at most
    // once per kFollowFillInterval; a later burst's row is filled when the
    // interval is over.
    bool endingBurst_ = false;
    QElapsedTimer lastFollowFill_;
    QTimer* followFill_ = nullptr;
    // The row the panes were filled with when a mouse press made it
    // current; the click that ends the press does not fill them again.
    int filledOnPress_ = -1;
    bool fileBusy_ = false;  // a capture file is being read or written
    QAction* actOpenFile_ = nullptr;
    QAction* actSaveAll_ = nullptr;
    QAction* actSaveShown_ = nullptr;

    // Controls.
    QToolBar* tB_ = nullptr;
    std::vector<QAction*> buttons_;
    QComboBox* Combo1_ = nullptr;
    QStatusBar* stB_ = nullptr;
    QLabel* stBPanel1_ = nullptr;
    QLabel* stBState_ = nullptr;
    QLabel* stBDrops_ = nullptr;
    QLabel* stBRate_ = nullptr;
    QWidget* Frame1_ = nullptr;
    QWidget* Frame2_ = nullptr;
    TP_WinSplit* sp_ = nullptr;
    TP_WinSplit* spBottom_ = nullptr;
    QPlainTextEdit* Text1_ = nullptr;
    QPlainTextEdit* txtData_ = nullptr;
    QTabBar* ts_ = nullptr;
    std::unique_ptr<PacketViewWidgets> viewWidgets_;
    std::unique_ptr<HostTreeNames> hostNames_;
    HostTreeMenu* treeMenu_ = nullptr;

    // Secondary windows.
    QPointer<frmFiltro> frmFiltro_;
    QPointer<frmConfig> frmConfig_;
    QPointer<frmInfo> frmInfo_;
};

}  // namespace quillet
