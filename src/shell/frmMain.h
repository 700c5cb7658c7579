#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include <QMainWindow>
#include <QPointer>
#include <QStringList>

#include "capture/CaptureSource.h"
#include "inspect/PaneFollow.h"
#include "session/CaptureSession.h"
#include "shell/CaptureStatusBar.h"
#include "shell/KernelVersion.h"
#include "shell/cSubCls.h"
#include "ui/Language.h"
#include "views/HostTreeNames.h"
#include "views/PacketViewWidgets.h"
#include "views/PacketViews.h"

class QAbstractItemView;
class QAction;
class QComboBox;
class QDragEnterEvent;
class QDropEvent;
class QLabel;
class QLineEdit;
class QModelIndex;
class QMenu;
class QPlainTextEdit;
class QTimer;
class QTabBar;
class QToolBar;
class QTreeView;

namespace quillet {

class DisplayFilterBox;
class HostTreeMenu;
class TP_WinSplit;
class frmConfig;
class frmFiltro;
class frmInfo;
class frmStream;
class frmTotals;

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
    // IPv6 datagrams become rows as IPv4 ones do, and the address chooser
    // lists the interfaces' global IPv6 addresses; the list's menu entry
    // mnuIPv6 ("IPv6") changes it for the next capture or file.
    bool ipv6 = true;
};

// The main window: owns the program's state (packet views, filters, port
// databases, the hook) and runs captures and capture files through its
// CaptureSession, whose capture notification (message 1025, wParam the
// capture's handle number, lParam FD_READ | error << 16) the hook delivers to
// iSubCls_Despues after the window's own event handling.
//
// Controls (objectName = design name): tB (toolbar, buttons 1..9 and the
// address chooser Combo1), stB (status bar, see CaptureStatusBar), lv, ts2
// (list and its tabs), tv (host tree), Text1 (hex dump), txtData (text view,
// hidden at start), ts (tabs of the lower pane), the splitters sp and
// spBottom and the panes Frame1 and Frame2. tv's context menu mnuTree holds
// mnuHostNames, which turns host names on and off.
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
    void EndCaptureByItself(const QString& why) { session_->EndByItself(why); }
    bool IsNT5OrHigher() const;
    void FillAddressChooser();

    // --- hook callbacks --------------------------------------------------------
    void iSubCls_Despues(std::int32_t& lReturn, QObject* hWnd, int uMsg, std::intptr_t wParam,
                         std::intptr_t lParam) override;
    void iSubCls_Antes(std::int32_t& lHandled, std::int32_t& lReturn, QObject* hWnd, int uMsg,
                       std::intptr_t wParam, std::intptr_t lParam) override;

    // --- state -----------------------------------------------------------------
    // Datagrams read since the last start.
    std::int64_t lRecvCount() const { return session_->lRecvCount(); }
    // The handle number of the open capture, -1 when none is open.
    std::intptr_t lSocket() const { return session_->lSocket(); }
    bool CaptureOpen() const { return session_->CaptureOpen(); }
    // Kernel statistics of the open capture (zeros when none).
    CaptureHandle::Stats CaptureStats() const { return session_->Stats(); }
    PacketViews& Views() { return views_; }
    CaptureSession& Session() { return *session_; }
    bool bNoFollow() const { return views_.bNoFollow; }
    cSubCls* oSubCls() const { return oSubCls_.get(); }
    // Toolbar button by index 1..9 (9 is the separator).
    QAction* Button(int index) const;
    // The problems met by Form_Load, as shown to the user once the window is up.
    const QStringList& StartupProblems() const { return startupProblems_; }

    QToolBar* tB() const { return tB_; }
    QComboBox* Combo1() const { return Combo1_; }
    // The display filter box after Combo1 (Ctrl+F).
    QLineEdit* txtDisplayFilter() const;
    QStatusBar* stB() const { return stB_; }
    // Panel 1 of stB: the receive count.
    QLabel* stBPanel1() const { return stB_->Panel(StatusPanel::Count); }
    QLabel* stBState() const { return stB_->Panel(StatusPanel::State); }
    QLabel* stBDrops() const { return stB_->Panel(StatusPanel::Drops); }
    QLabel* stBRate() const { return stB_->Panel(StatusPanel::Rate); }
    // Bytes of the datagrams read since the last start.
    std::uint64_t BytesReceived() const { return session_->BytesReceived(); }
    QAbstractItemView* lv() const { return viewWidgets_->lv(); }
    QTreeView* tv() const { return viewWidgets_->tv(); }
    QTabBar* ts2() const { return viewWidgets_->ts2(); }
    HostTreeNames& HostNames() const { return *hostNames_; }
    HostTreeMenu* TreeMenu() const { return treeMenu_; }
    // Reverse look-ups made for tv's host names since start-up.
    std::int64_t HostNameLookUps() const { return hostNames_->Resolver().LookUpsMade(); }
    QTabBar* ts() const { return ts_; }
    QPlainTextEdit* Text1() const { return Text1_; }
    QPlainTextEdit* txtData() const { return txtData_; }
    // How often Text1 and txtData were filled from a row (clicks, keyboard
    // moves, the follow at the end of a burst); emptying them is not counted.
    int PaneFills() const { return paneFollow_->Fills(); }
    // The shortest time between two fills by the follow of new rows.
    static constexpr int kFollowFillIntervalMs = PaneFollow::kFillIntervalMs;

    // Test seam beside the real path: hands datagrams (whole IPv4 datagrams)
    // to the receive path as one notification's burst would.
    void ReceiveDatagrams(const std::vector<std::vector<std::uint8_t>>& datagrams, std::int64_t timestampUs)
    {
        session_->Receive(datagrams, timestampUs);
    }

    // The program column's text for a row of lv, once the look-ups pending
    // for it are answered (waits at most kProgramWaitMs, handling events).
    QString ProgramOfRow(int row) { return session_->ProgramOfRow(row); }
    static constexpr int kProgramWaitMs = CaptureSession::kProgramWaitMs;

    // --- the display filter (frmMainFilter.cpp) -----------------------------------
    // Does what Enter in txtDisplayFilter does with that text: an empty text
    // shows every row of the tab, a filter is put in force and the views
    // rebuilt for it. Returns an empty text when applied, else why the text
    // is no filter (nothing changes then).
    QString SetDisplayFilter(const QString& text);
    // The text of the filter in force, empty when none.
    QString DisplayFilter() const;
    // Rows shown of packets stored, as the status bar tells them while a
    // filter is in force ("显示 123 / 4,567,890"); hidden without one.
    QLabel* stBShown() const;

    // --- capture files (frmMainFiles.cpp) ---------------------------------------
    // CaptureSession's ReadFile and SaveFile, with a progress dialog once
    // they take a while: empty when all went well, else the user's message.
    QString OpenCaptureFile(const QString& path);
    QString SaveCaptureFile(const QString& path, bool shownOnly);
    // Opens, showing the message to the user (command line, drop, dialog).
    void OpenAndTell(const QString& path);

    // Opens the totals window (list menu, Ctrl+T), or raises it, and returns it.
    frmTotals* ShowTotals();
    // Opens the stream window on the conversation of lv's row (list menu
    // "追踪流", Ctrl+Alt+Shift+T), nullptr when there is no such row.
    frmStream* ShowStream(int row);
    // The same for a stored packet (the totals window's conversations).
    frmStream* ShowStreamOf(std::int64_t seq);

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
    void lv_DblClick(const QModelIndex& index);

    // Capture files (frmMainFiles.cpp).
    void BuildFileCommands();
    void ShowListMenu(const QPoint& pos);
    void OpenWithDialog();
    void SaveWithDialog(bool shownOnly);

    // The display filter (frmMainFilter.cpp).
    void BuildFilterCommands();
    // The entries of the list's menu that filter on the value of a cell.
    void AddCellFilterEntries(QMenu& menu, const QModelIndex& index);
    void ShowShownCount();
    void ShowFilterProgress(int permille);

    // What the session reports (frmMain.cpp).
    void SetCaptureState(bool capturing);
    // Posts the capture notification to this window, through the hook.
    void PostNotification(std::intptr_t handle, std::intptr_t lParam);
    void Tell(const QString& text);
    void OfferLeftCaptures();

    Options options_;

    // Program state.
    PacketViews views_;
    std::unique_ptr<CaptureSession> session_;
    std::unique_ptr<cSubCls> oSubCls_;
    bool unloaded_ = false;
    bool shownOnce_ = false;
    QStringList startupProblems_;
    PaneFollow* paneFollow_ = nullptr;
    QAction* actOpenFile_ = nullptr;
    QAction* actSaveAll_ = nullptr;
    QAction* actSaveShown_ = nullptr;
    QAction* actTotals_ = nullptr;
    QAction* actStream_ = nullptr;  // mnuStream
    QAction* actIPv6_ = nullptr;  // mnuIPv6

    // Controls.
    QToolBar* tB_ = nullptr;
    std::vector<QAction*> buttons_;
    QComboBox* Combo1_ = nullptr;
    DisplayFilterBox* txtDisplayFilter_ = nullptr;
    QAction* actFindFilter_ = nullptr;
    QTimer* shownTimer_ = nullptr;
    CaptureStatusBar* stB_ = nullptr;
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
    QPointer<frmTotals> frmTotals_;
    QPointer<frmStream> frmStream_;
};

}  // namespace quillet
