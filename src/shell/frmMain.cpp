#include "shell/frmMain.h"

#include <cerrno>
#include <exception>

#include <QAction>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QTabBar>
#include <QTimer>
#include <QToolBar>

#include "core/Twips.h"
#include "filters/DisplayFilterBox.h"
#include "filters/frmFiltro.h"
#include "ui/FormSupport.h"
#include "inspect/frmInfo.h"
#include "inspect/frmStream.h"
#include "ports/frmConfig.h"
#include "ui/ImageList1.h"
#include "shell/WindowMessage.h"
#include "views/HostTreeMenu.h"

namespace quillet {

namespace {

// Toolbar buttons: tool-tip text, image, checkable. Index 9 is the separator.
struct ButtonDesign {
    const char* text;
    int image;
    bool check;
};
constexpr ButtonDesign kButtons[8] = {
    {QT_TRANSLATE_NOOP("quillet::frmMain", "开始"), 1, false}, {QT_TRANSLATE_NOOP("quillet::frmMain", "暂停"), 2, true},
    {QT_TRANSLATE_NOOP("quillet::frmMain", "停止"), 3, false}, {QT_TRANSLATE_NOOP("quillet::frmMain", "清除"), 15, false},
    {QT_TRANSLATE_NOOP("quillet::frmMain", "筛选"), 14, false}, {QT_TRANSLATE_NOOP("quillet::frmMain", "设置"), 7, false},
    {QT_TRANSLATE_NOOP("quillet::frmMain", "保存"), 10, false}, {QT_TRANSLATE_NOOP("quillet::frmMain", "打开"), 13, false},
};

}  // namespace

frmMain::frmMain(Options options, QWidget* parent) : QMainWindow(parent), options_(std::move(options))
{
    CaptureSession::Options session{options_.openCapture, [this] { return IsNT5OrHigher(); }, options_.captureDir,
                                    options_.memoryLimitBytes, options_.diskReserveBytes, options_.ipv6};
    CaptureSession::Reports reports{[this](const QString& text) { Tell(text); },
                                    [this](bool capturing) { SetCaptureState(capturing); },
                                    [this](StatusPanel panel, const QString& text) { stB_->Show(panel, text); },
                                    [this](std::intptr_t handle, std::intptr_t lParam) {
                                        PostNotification(handle, lParam);
                                    }};
    session_ = std::make_unique<CaptureSession>(views_, std::move(session), std::move(reports));
    BuildControls();
    Form_Load();
}

frmMain::~frmMain()
{
    // The secondary windows work on this window's state; none outlives it.
    delete frmFiltro_.data();
    delete frmConfig_.data();
    delete frmInfo_.data();
    delete frmStream_.data();
    Form_Unload();
}

QAction* frmMain::Button(int index) const
{
    if (index < 1 || index > static_cast<int>(buttons_.size()))
        return nullptr;
    return buttons_[static_cast<std::size_t>(index - 1)];
}

void frmMain::BuildControls()
{
    setObjectName(QStringLiteral("frmMain"));
    setWindowTitle(QStringLiteral("Quillet"));
    setWindowIcon(ImageList1::icon(8));
    setFont(FormFont());

    BuildToolBar();

    stB_ = new CaptureStatusBar(this);
    setStatusBar(stB_);

    Frame2_ = new QWidget(this);
    Frame2_->setObjectName(QStringLiteral("Frame2"));
    Frame1_ = new QWidget(this);
    Frame1_->setObjectName(QStringLiteral("Frame1"));

    viewWidgets_ = std::make_unique<PacketViewWidgets>(views_, Frame2_, Frame1_, Frame2_, this);
    hostNames_ = std::make_unique<HostTreeNames>(views_.TreeModel(), std::make_unique<ReverseResolver>(),
                                                 options_.hostNames);
    treeMenu_ = new HostTreeMenu(viewWidgets_->tv(), *hostNames_, this);

    Text1_ = new QPlainTextEdit(Frame1_);
    Text1_->setObjectName(QStringLiteral("Text1"));
    Text1_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    Text1_->setLineWrapMode(QPlainTextEdit::NoWrap);

    txtData_ = new QPlainTextEdit(Frame1_);
    txtData_->setObjectName(QStringLiteral("txtData"));
    txtData_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    txtData_->setPlainText(QStringLiteral("Text1"));
    txtData_->hide();

    ts_ = new QTabBar(Frame1_);
    ts_->setObjectName(QStringLiteral("ts"));
    ts_->setExpanding(false);
    ts_->setDrawBase(true);
    ts_->addTab(ImageList1::icon(8), tr("十六进制"));
    ts_->addTab(ImageList1::icon(13), tr("文本"));
    ts_->setCurrentIndex(0);
    connect(ts_, &QTabBar::tabBarClicked, this, [this](int) {
        // The selection changes after the click; act on the new one.
        QTimer::singleShot(0, this, [this] { ts_Click(); });
    });
    connect(ts_, &QTabBar::currentChanged, this, [this](int) { ts_Click(); });

    ConnectListHandlers();
    BuildFileCommands();
    BuildFilterCommands();
    BuildLayout();
    SetTabOrder();
    // The client area, toolbar and status bar included.
    resize(ClientSizeTwips(11190, 6885));
}

void frmMain::BuildToolBar()
{
    tB_ = new QToolBar(this);
    tB_->setObjectName(QStringLiteral("tB"));
    tB_->setMovable(false);
    tB_->setFloatable(false);
    tB_->setIconSize(QSize(ImageList1::kSize, ImageList1::kSize));
    tB_->setToolButtonStyle(Qt::ToolButtonIconOnly);
    auto* style = new FlatToolBarStyle;
    style->setParent(tB_);
    tB_->setStyle(style);
    // 330 twips high, buttons 345 x 330 twips.
    tB_->setFixedHeight(TwipsToPixels(330));
    addToolBar(Qt::TopToolBarArea, tB_);

    for (int i = 0; i < 8; ++i) {
        const ButtonDesign& b = kButtons[i];
        QAction* a = tB_->addAction(ImageList1::icon(b.image), QString());
        a->setToolTip(tr(b.text));
        a->setCheckable(b.check);
        const int index = i + 1;
        connect(a, &QAction::triggered, this, [this, index] { tB_ButtonClick(index); });
        if (QWidget* button = tB_->widgetForAction(a))
            button->setFixedSize(TwipsToPixels(345), TwipsToPixels(330));
        buttons_.push_back(a);
    }
    buttons_.push_back(tB_->addSeparator());
    // Save and open have no command.
    buttons_[6]->setEnabled(false);
    buttons_[7]->setEnabled(false);

    Combo1_ = new QComboBox(tB_);
    Combo1_->setObjectName(QStringLiteral("Combo1"));
    QFont comboFont(QStringLiteral("Liberation Sans"));
    comboFont.setPointSizeF(8.25);
    Combo1_->setFont(comboFont);
    Combo1_->setMinimumWidth(TwipsToPixels(2535));
    Combo1_->setFixedHeight(TwipsToPixels(315));
    tB_->addWidget(Combo1_);

    // The display filter box takes the rest of the toolbar's width; the
    // keyboard reaches it with Ctrl+F, Tab goes on from Combo1 to the list.
    txtDisplayFilter_ = new DisplayFilterBox(tB_);
    txtDisplayFilter_->setFixedHeight(TwipsToPixels(315));
    txtDisplayFilter_->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    txtDisplayFilter_->setFocusPolicy(Qt::ClickFocus);
    tB_->addWidget(txtDisplayFilter_);
}

// --- start-up and shutdown -------------------------------------------------------

void frmMain::Form_Load()
{
    // Every step runs even when an earlier one failed; what went wrong is
    // told once the window is up.
    try {
        const QString dir = options_.portDir.isEmpty() ? QCoreApplication::applicationDirPath() : options_.portDir;
        const std::vector<PortFileProblem> problems = LoadPortFiles(dir.toStdString(), views_.Ports());
        if (!problems.empty())
            startupProblems_ << QString::fromStdString(DescribePortFileProblems(problems));
    } catch (const std::exception& e) {
        startupProblems_ << QString::fromLocal8Bit(e.what());
    }

    try {
        FillAddressChooser();
    } catch (const std::exception& e) {
        startupProblems_ << QString::fromLocal8Bit(e.what());
    }

    // The host tree's roots ("S" 来源, "D" 目标) come with the views.

    try {
        oSubCls_ = std::make_unique<cSubCls>();
        oSubCls_->AddMsg(kCaptureNotification, false);
        oSubCls_->SubClass(this, this, false);
    } catch (const std::exception& e) {
        startupProblems_ << QString::fromLocal8Bit(e.what());
    }
}

void frmMain::FillAddressChooser()
{
    Combo1_->clear();
    std::vector<std::string> list;
    ListLocalAddresses(list);  // an empty list on failure
    std::vector<std::string> local;
    for (const std::string& addr : list) {
        if (addr == "127.0.0.1")
            continue;
        Combo1_->addItem(QString::fromStdString(addr));
        local.push_back(addr);
    }
    // Then each interface's global IPv6 addresses; every own IPv6 address,
    // link-local included, tells the direction of a row.
    std::vector<std::string> chooser6, own6;
    ListLocalIPv6Addresses(chooser6, own6);  // both empty on failure
    if (options_.ipv6)
        for (const std::string& addr : chooser6)
            Combo1_->addItem(QString::fromStdString(addr));
    local.insert(local.end(), own6.begin(), own6.end());
    views_.SetLocalAddrs(local);
    if (Combo1_->count() > 0)
        Combo1_->setCurrentIndex(0);
}

void frmMain::Form_Unload()
{
    if (unloaded_)
        return;
    unloaded_ = true;
    try {
        session_->Close();
        WinsockStop();
        if (oSubCls_)
            oSubCls_->UnSubclass();
    } catch (const std::exception& e) {
        QMessageBox box(QMessageBox::Critical, QStringLiteral("wsck_displayadapterinfo"),
                        QString::fromLocal8Bit(e.what()) + QStringLiteral("\r\n0\r\n") + QString::number(errno),
                        QMessageBox::Ok, this);
        box.setTextFormat(Qt::PlainText);
        box.exec();
    }
}

void frmMain::closeEvent(QCloseEvent* event)
{
    Form_Unload();
    event->accept();
}

void frmMain::showEvent(QShowEvent* event)
{
    QMainWindow::showEvent(event);
    if (shownOnce_)
        return;
    shownOnce_ = true;
    if (!startupProblems_.isEmpty()) {
        QTimer::singleShot(0, this, [this] { Tell(startupProblems_.join(QLatin1Char('\n'))); });
    }
    QTimer::singleShot(0, this, [this] { OfferLeftCaptures(); });
}

void frmMain::Tell(const QString& text)
{
    if (options_.message)
        options_.message(text);
    else
        ShowMessageBox(this, text);
}

// --- toolbar -----------------------------------------------------------------------

void frmMain::tB_ButtonClick(int index)
{
    switch (index) {
    case 1: StartCapture(); break;
    case 2: ToggleFollow(); break;
    case 3: StopCapture(); break;
    case 4: views_.ClearList(); break;
    case 5: ShowFilterDialog(); break;
    case 6: ShowConfigDialog(); break;
    default: break;  // 7 and 8 have no command; 9 is the separator
    }
}

void frmMain::iSubCls_Antes(std::int32_t&, std::int32_t&, QObject*, int, std::intptr_t, std::intptr_t)
{
}

// --- the capture controller ----------------------------------------------------------

bool frmMain::IsNT5OrHigher() const
{
    return quillet::IsNT5OrHigher(options_.kernelMajor);
}

void frmMain::StartCapture()
{
    session_->Start(Combo1_->currentText());
}

void frmMain::StopCapture()
{
    session_->Stop();
}

void frmMain::iSubCls_Despues(std::int32_t& /*lReturn*/, QObject* /*hWnd*/, int uMsg, std::intptr_t wParam,
                              std::intptr_t lParam)
{
    if (uMsg == kCaptureNotification)
        session_->Notified(wParam, lParam);
}

void frmMain::PostNotification(std::intptr_t handle, std::intptr_t lParam)
{
    QCoreApplication::postEvent(this, new WindowMessage(kCaptureNotification, handle, lParam));
}

void frmMain::SetCaptureState(bool capturing)
{
    Button(1)->setEnabled(!capturing);
    Button(2)->setEnabled(capturing);
    Button(3)->setEnabled(capturing);
    Combo1_->setEnabled(!capturing);
}

}  // namespace quillet
