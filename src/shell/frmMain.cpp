#include "shell/frmMain.h"

#include <cerrno>
#include <exception>

#include <QAction>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProxyStyle>
#include <QSocketNotifier>
#include <QStatusBar>
#include <QTabBar>
#include <QTimer>
#include <QToolBar>
#include <QTreeView>

#include "core/Twips.h"
#include "filters/frmFiltro.h"
#include "ui/FormSupport.h"
#include "inspect/frmInfo.h"
#include "ports/frmConfig.h"
#include "ui/ImageList1.h"
#include "shell/WindowMessage.h"
#include "views/HostTreeMenu.h"
#include "views/HostTreeNames.h"
#include "views/PacketViewWidgets.h"

namespace quillet {

namespace {

// Toolbar buttons: tool-tip text, image, checkable. Index 9 is the separator.
struct ButtonDesign {
    const char* text;
    int image;
    bool check;
};
constexpr ButtonDesign kButtons[8] = {
    {"开始", 1, false}, {"暂停", 2, true}, {"停止", 3, false}, {"清除", 15, false},
    {"筛选", 14, false}, {"设置", 7, false}, {"保存", 10, false}, {"打开", 13, false},
};

// The toolbar's metrics: no frame, margin or spacing around its items, so
// that it is exactly as high as its buttons.
class ToolBarStyle : public QProxyStyle {
public:
    using QProxyStyle::QProxyStyle;

    int pixelMetric(PixelMetric metric, const QStyleOption* option, const QWidget* widget) const override
    {
        switch (metric) {
        case PM_ToolBarFrameWidth:
        case PM_ToolBarItemMargin:
        case PM_ToolBarItemSpacing:
            return 0;
        default:
            return QProxyStyle::pixelMetric(metric, option, widget);
        }
    }
};

}  // namespace

// Capture failures reach the user as the window's messages.
class frmMain::FormSink : public MessageSink {
public:
    explicit FormSink(frmMain& form) : form_(form) {}
    void ShowMessage(const std::string& text) override { form_.Tell(QString::fromStdString(text)); }

private:
    frmMain& form_;
};

frmMain::frmMain(Options options, QWidget* parent)
    : QMainWindow(parent), options_(std::move(options)), sink_(std::make_unique<FormSink>(*this)),
      programLookup_(this, [this](std::vector<OwnerAnswer> answers) { ProgramsAnswered(std::move(answers)); })
{
    BuildControls();
    Form_Load();
}

frmMain::~frmMain()
{
    // The secondary windows work on this window's state; none outlives it.
    delete frmFiltro_.data();
    delete frmConfig_.data();
    delete frmInfo_.data();
    Form_Unload();
}

QAction* frmMain::Button(int index) const
{
    if (index < 1 || index > static_cast<int>(buttons_.size()))
        return nullptr;
    return buttons_[static_cast<std::size_t>(index - 1)];
}

QAbstractItemView* frmMain::lv() const
{
    return viewWidgets_->lv();
}

QTreeView* frmMain::tv() const
{
    return viewWidgets_->tv();
}

QTabBar* frmMain::ts2() const
{
    return viewWidgets_->ts2();
}

std::int64_t frmMain::HostNameLookUps() const
{
    return hostNames_->Resolver().LookUpsMade();
}

void frmMain::BuildControls()
{
    setObjectName(QStringLiteral("frmMain"));
    setWindowTitle(QStringLiteral("Quillet"));
    setWindowIcon(ImageList1::icon(8));
    setFont(FormFont());

    BuildToolBar();

    stB_ = new QStatusBar(this);
    stB_->setObjectName(QStringLiteral("stB"));
    stB_->setSizeGripEnabled(true);
    stBPanel1_ = new QLabel(stB_);
    stBPanel1_->setFixedWidth(96);
    stBPanel1_->setFrameShape(QFrame::StyledPanel);
    stBPanel1_->setFrameShadow(QFrame::Sunken);
    stB_->addWidget(stBPanel1_);
    auto panel = [this](const char* name) {
        auto* label = new QLabel(stB_);
        label->setObjectName(QString::fromLatin1(name));
        label->setFrameShape(QFrame::StyledPanel);
        label->setFrameShadow(QFrame::Sunken);
        stB_->addWidget(label);
        return label;
    };
    stBState_ = panel("stBState");
    stBDrops_ = panel("stBDrops");
    stBDrops_->setStyleSheet(QStringLiteral("QLabel { color: #c00000; font-weight: bold; }"));
    stBDrops_->hide();
    stBRate_ = panel("stBRate");
    // Empty before the first start: no empty frames in the bar.
    stBState_->hide();
    stBRate_->hide();
    statusTimer_ = new QTimer(this);
    statusTimer_->setInterval(500);
    connect(statusTimer_, &QTimer::timeout, this, &frmMain::UpdateStatusPanels);
    stB_->setFixedHeight(TwipsToPixels(315));
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
    ts_->addTab(ImageList1::icon(8), QStringLiteral("十六进制"));
    ts_->addTab(ImageList1::icon(13), QStringLiteral("文本"));
    ts_->setCurrentIndex(0);
    connect(ts_, &QTabBar::tabBarClicked, this, [this](int) {
        // The selection changes after the click; act on the new one.
        QTimer::singleShot(0, this, [this] { ts_Click(); });
    });
    connect(ts_, &QTabBar::currentChanged, this, [this](int) { ts_Click(); });

    ConnectListHandlers();
    BuildFileCommands();
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
    auto* style = new ToolBarStyle;
    style->setParent(tB_);
    tB_->setStyle(style);
    // 330 twips high, buttons 345 x 330 twips.
    tB_->setFixedHeight(TwipsToPixels(330));
    addToolBar(Qt::TopToolBarArea, tB_);

    for (int i = 0; i < 8; ++i) {
        const ButtonDesign& b = kButtons[i];
        QAction* a = tB_->addAction(ImageList1::icon(b.image), QString());
        a->setToolTip(QString::fromUtf8(b.text));
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
        CloseCapture();
        WinsockStop();
        if (oSubCls_)
            oSubCls_->UnSubclass();
    } catch (const std::exception& e) {
        QMessageBox box(QMessageBox::Critical, QStringLiteral("wsck_displayadapterinfo"),
                        QString::fromLocal8Bit(e.what()) + QStringLiteral("\r\n0\r\n") + QString::number(errno),
                        QMessageBox::Ok, this);
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

}  // namespace quillet
