// The display filter in the window: the box on the toolbar, the list's
// entries that filter on a cell's value, and what the status bar tells.
#include "shell/frmMain.h"

#include <QAbstractItemView>
#include <QAction>
#include <QLabel>
#include <QLocale>
#include <QMenu>
#include <QProgressBar>
#include <QTimer>

#include "filters/DisplayFilterBox.h"

namespace quillet {

namespace {

// The filter term that selects a cell's value: its address, port or
// protocol (empty for any other cell).
QString CellTerm(const clV& r, int column)
{
    std::uint32_t v = 0;
    switch (column) {
    case kColProtocol:
        if (!r.mProtocol.packed(v))
            return {};
        switch (v) {
        case 1: return QStringLiteral("icmp");
        case 6: return QStringLiteral("tcp");
        case 17: return QStringLiteral("udp");
        case kPackedICMPv6: return QStringLiteral("icmpv6");
        default: return v <= 255 ? QStringLiteral("ip.proto == %1").arg(v) : QString();
        }
    case kColSrcAddr:
    case kColDestAddr: {
        const AddressText& a = column == kColSrcAddr ? r.mSrcAddr : r.mDestAddr;
        HostAddress host = 0;
        if (!a.host(host))
            return {};  // a text that is no address
        return (column == kColSrcAddr ? QStringLiteral("src == ") : QStringLiteral("dst == "))
               + QString::fromLatin1(a.text().view().data(), static_cast<qsizetype>(a.text().view().size()));
    }
    case kColSrcPort:
    case kColDestPort: {
        const PortText5& p = column == kColSrcPort ? r.mSrcPort : r.mDestPort;
        if (!p.packed(v))
            return {};
        return (column == kColSrcPort ? QStringLiteral("srcport == %1") : QStringLiteral("dstport == %1")).arg(v);
    }
    default:
        return {};
    }
}

QString Grouped(std::int64_t n)
{
    QLocale english(QLocale::English, QLocale::UnitedStates);
    return english.toString(static_cast<qlonglong>(n));
}

}  // namespace

QLineEdit* frmMain::txtDisplayFilter() const
{
    return txtDisplayFilter_;
}

QLabel* frmMain::stBShown() const
{
    return stB_->Shown();
}

void frmMain::BuildFilterCommands()
{
    connect(txtDisplayFilter_, &DisplayFilterBox::applyRequested, this,
            [this](const QString& text) { SetDisplayFilter(text); });
    actFindFilter_ = new QAction(tr("显示过滤器"), this);
    actFindFilter_->setObjectName(QStringLiteral("actFindFilter"));
    actFindFilter_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_F));
    actFindFilter_->setShortcutContext(Qt::WindowShortcut);
    connect(actFindFilter_, &QAction::triggered, this, [this] {
        txtDisplayFilter_->setFocus(Qt::ShortcutFocusReason);
        txtDisplayFilter_->selectAll();
    });
    addAction(actFindFilter_);

    // While a filter is in force the count follows new packets.
    shownTimer_ = new QTimer(this);
    shownTimer_->setInterval(250);
    connect(shownTimer_, &QTimer::timeout, this, [this] { ShowShownCount(); });
    ListPresenter& presenter = views_.Presenter();
    presenter.onProgress = [this](int permille) { ShowFilterProgress(permille); };
    presenter.onDone = [this] { ShowShownCount(); };
}

QString frmMain::SetDisplayFilter(const QString& text)
{
    if (txtDisplayFilter_->text() != text)
        txtDisplayFilter_->setText(text);
    QString why;
    std::shared_ptr<const quillet::DisplayFilter> filter = txtDisplayFilter_->Check(&why);
    if (!filter && !text.trimmed().isEmpty())
        return why;  // the rows stay as they are
    views_.ApplyDisplayFilter(filter);
    if (filter) {
        txtDisplayFilter_->Applied(text);
        shownTimer_->start();
    } else {
        shownTimer_->stop();
    }
    ShowShownCount();
    return {};
}

QString frmMain::DisplayFilter() const
{
    const auto& filter = views_.DisplayFilterInForce();
    return filter ? filter->Text() : QString();
}

void frmMain::ShowShownCount()
{
    QLabel* label = stB_->Shown();
    QLabel* unread = stB_->Unread();
    const std::int64_t unreadCount = views_.DisplayFilterInForce() ? views_.Presenter().UnreadPayloads() : 0;
    if (unreadCount > 0) {
        // The rows shown are short of these: the user is told, not left to
        // take them for rows that do not match.
        const QString text = tr("%1 个数据包的载荷读不出，未计入").arg(Grouped(unreadCount));
        if (unread->text() != text)
            unread->setText(text);
        unread->setToolTip(tr("工作捕获文件读取失败：这些数据包按不符合处理"));
        unread->show();
    } else {
        unread->hide();
    }
    if (!views_.DisplayFilterInForce()) {
        label->hide();
        return;
    }
    const QString text =
        tr("显示 %1 / %2").arg(Grouped(views_.ListModel().rowCount()), Grouped(views_.lSeq()));
    if (label->text() != text)
        label->setText(text);
    label->show();
}

void frmMain::ShowFilterProgress(int permille)
{
    QProgressBar* bar = stB_->FilterProgress();
    if (permille < 0) {
        bar->hide();
        return;
    }
    bar->setValue(permille);
    bar->show();
    ShowShownCount();
}

void frmMain::AddCellFilterEntries(QMenu& menu, const QModelIndex& index)
{
    if (!index.isValid())
        return;
    const std::int64_t seq = index.data(kSequenceRole).toLongLong();
    if (seq < 1 || seq > views_.lSeq())
        return;
    const QString term = CellTerm(views_.dPackets().at(seq), index.column());
    if (term.isEmpty())
        return;
    const QString current = DisplayFilter();
    const auto combined = [current](const QString& t) {
        return current.isEmpty() ? t : QStringLiteral("(%1) and %2").arg(current, t);
    };
    const QString on = combined(term);
    const QString off = combined(QStringLiteral("!(%1)").arg(term));
    QAction* filterOn = menu.addAction(tr("按此值过滤：%1").arg(term));
    filterOn->setObjectName(QStringLiteral("mnuFilterOn"));
    connect(filterOn, &QAction::triggered, this, [this, on] { SetDisplayFilter(on); });
    QAction* filterNot = menu.addAction(tr("…且不是此值：%1").arg(term));
    filterNot->setObjectName(QStringLiteral("mnuFilterNot"));
    connect(filterNot, &QAction::triggered, this, [this, off] { SetDisplayFilter(off); });
    menu.addSeparator();
}

}  // namespace quillet
