#include "views/frmTotals.h"

#include <algorithm>

#include <QDateTime>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QSortFilterProxyModel>
#include <QSplitter>
#include <QTableView>
#include <QTimer>
#include <QVBoxLayout>

#include "views/PacketViews.h"
#include "views/TrafficTotals.h"

namespace quillet {

RateChart::RateChart(QWidget* parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("chartRate"));
    setMinimumHeight(90);
}

void RateChart::SetValues(std::vector<double> values, QString title)
{
    values_ = std::move(values);
    title_ = std::move(title);
    update();
}

void RateChart::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.fillRect(rect(), palette().base());
    const QRectF area = QRectF(rect()).adjusted(4, 18, -4, -4);
    p.setPen(palette().mid().color());
    p.drawRect(area);
    const double top = values_.empty() ? 0 : *std::max_element(values_.begin(), values_.end());
    p.setPen(palette().text().color());
    p.drawText(QRectF(4, 0, width() - 8, 18), Qt::AlignLeft | Qt::AlignVCenter,
               title_.isEmpty() ? QString() : tr("%1 — 最高 %2 B/s, 5 分钟").arg(title_).arg(top, 0, 'f', 0));
    if (values_.size() < 2 || top <= 0)
        return;
    QPainterPath line;
    const double step = area.width() / static_cast<double>(values_.size() - 1);
    for (std::size_t i = 0; i < values_.size(); ++i) {
        const QPointF at(area.left() + step * static_cast<double>(i), area.bottom() - values_[i] / top * area.height());
        if (i == 0)
            line.moveTo(at);
        else
            line.lineTo(at);
    }
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(palette().highlight().color(), 1.5));
    p.drawPath(line);
}

frmTotals::frmTotals(PacketViews& views, QWidget* parent) : QWidget(parent, Qt::Window), views_(views)
{
    setObjectName(QStringLiteral("frmTotals"));
    setWindowTitle(tr("统计"));
    resize(820, 600);
    const auto timeText = [&views](std::int64_t tsUs) {
        ArrivalTime clock(views.arrivalTime.separator());
        const FixedText<15> text = clock(tsUs);
        return QString::fromUtf8(text.view().data(), static_cast<qsizetype>(text.view().size()));
    };
    programs_ = new TotalsTableModel(views.Totals(), TotalsTableModel::Kind::Programs, this);
    hosts_ = new TotalsTableModel(views.Totals(), TotalsTableModel::Kind::Hosts, this);
    programs_->timeText = timeText;
    hosts_->timeText = timeText;
    hosts_->hostName = [&views](const std::string& address) { return views.ShownName(address); };

    auto* split = new QSplitter(Qt::Vertical, this);
    lvPrograms_ = MakeTable(QStringLiteral("lvPrograms"), programs_);
    lvHosts_ = MakeTable(QStringLiteral("lvHosts"), hosts_);
    chart_ = new RateChart(this);
    split->addWidget(lvPrograms_);
    split->addWidget(lvHosts_);
    split->addWidget(chart_);
    split->setStretchFactor(0, 2);
    split->setStretchFactor(1, 3);
    split->setStretchFactor(2, 1);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(4, 4, 4, 4);
    layout->addWidget(split);

    connect(lvHosts_, &QAbstractItemView::doubleClicked, this, [this](const QModelIndex& index) {
        const auto* proxy = static_cast<const QSortFilterProxyModel*>(lvHosts_->model());
        const QString address = hosts_->AddressOf(proxy->mapToSource(index).row());
        if (!address.isEmpty() && onHostFilter)
            onHostFilter(address);
    });
    timer_ = new QTimer(this);
    timer_->setInterval(500);
    connect(timer_, &QTimer::timeout, this, &frmTotals::Refresh);
    timer_->start();
    Refresh();
}

frmTotals* frmTotals::Open(QPointer<frmTotals>& slot, PacketViews& views, QWidget* parent,
                           std::function<bool()> capturing, std::function<void(const QString&)> onHostFilter)
{
    if (!slot) {
        slot = new frmTotals(views, parent);
        slot->setAttribute(Qt::WA_DeleteOnClose);
        slot->now = [capturing = std::move(capturing)]() -> std::int64_t {
            return capturing && capturing() ? QDateTime::currentMSecsSinceEpoch() * 1000 : 0;
        };
        slot->onHostFilter = std::move(onHostFilter);
    }
    slot->Refresh();
    slot->show();
    slot->raise();
    slot->activateWindow();
    return slot;
}

QTableView* frmTotals::MakeTable(const QString& name, TotalsTableModel* model)
{
    auto* proxy = new QSortFilterProxyModel(this);
    proxy->setSourceModel(model);
    proxy->setSortRole(TotalsTableModel::kSortRole);
    proxy->setDynamicSortFilter(true);
    auto* table = new QTableView(this);
    table->setObjectName(name);
    table->setModel(proxy);
    table->setSortingEnabled(true);
    table->sortByColumn(-1, Qt::AscendingOrder);
    table->setSelectionBehavior(QAbstractItemView::SelectRows);
    table->setSelectionMode(QAbstractItemView::SingleSelection);
    table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table->verticalHeader()->hide();
    table->horizontalHeader()->setStretchLastSection(true);
    connect(table->selectionModel(), &QItemSelectionModel::currentRowChanged, this, [this, table] {
        charted_ = table;
        ShowRate(table);
    });
    return table;
}

void frmTotals::ShowRate(QTableView* table)
{
    const QModelIndex current = table->currentIndex();
    const auto* proxy = static_cast<const QSortFilterProxyModel*>(table->model());
    const auto* model = static_cast<const TotalsTableModel*>(proxy->sourceModel());
    if (!current.isValid()) {
        chart_->SetValues({}, QString());
        return;
    }
    const int row = proxy->mapToSource(current).row();
    const std::int64_t nowUs = model->nowUs > 0 ? model->nowUs : views_.Totals().NewestUs();
    std::vector<double> values = model->RateOf(row, nowUs / 1000000);
    QString title = model->index(row, 0).data().toString();
    if (title.isEmpty())
        title = tr("(无程序)");
    chart_->SetValues(std::move(values), title);
}

void frmTotals::Refresh()
{
    views_.Totals().Fold(views_.Programs());
    const std::int64_t nowUs = now ? now() : 0;
    for (TotalsTableModel* model : {programs_, hosts_}) {
        model->nowUs = nowUs;
        model->Refresh();
    }
    if (charted_)
        ShowRate(charted_);
}

}  // namespace quillet
