#include "views/frmTotals.h"

#include <algorithm>

#include <QComboBox>
#include <QDateTime>
#include <QFontMetrics>
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
#include <QHBoxLayout>

#include "core/ReadableNumbers.h"
#include "programs/SocketOwners.h"
#include "views/ConversationsModel.h"
#include "views/PacketViews.h"
#include "views/TrafficTotals.h"

namespace quillet {

namespace {

QString FromUtf8(const std::string& text)
{
    return QString::fromStdString(text);
}

}  // namespace

RateChart::RateChart(QWidget* parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("chartRate"));
    setMinimumHeight(120);
}

void RateChart::SetSeries(Series series)
{
    series_ = std::move(series);
    update();
}

QString RateChart::ValueText(std::uint64_t value) const
{
    if (series_.measure == RateMeasure::Packets)
        return tr("%1 包/s").arg(FromUtf8(GroupedCount(value)));
    return FromUtf8(ByteRateText(value, true));
}

QString RateChart::TimeText(std::int64_t second) const
{
    const std::int64_t before = series_.lastSecond - second;
    return before == 0 ? tr("现在") : tr("%1 秒前").arg(before);
}

std::int64_t RateChart::FirstSecond() const
{
    const auto n = static_cast<std::int64_t>(series_.values.size());
    return series_.lastSecond - (n > 0 ? n - 1 : 0) * std::max<std::int64_t>(1, series_.step);
}

RateChart::Axes RateChart::Layout() const
{
    Axes axes;
    const QFontMetrics fm(font());
    const double line = fm.height();
    const double highest =
        series_.values.empty() ? 0 : *std::max_element(series_.values.begin(), series_.values.end());
    // Value steps at least two lines apart, at most five.
    const double titleHeight = line + 6, timeHeight = line + 6;
    const double plotHeight = std::max(1.0, height() - titleHeight - timeHeight - 2);
    axes.value = ValueAxisFor(highest, std::clamp(static_cast<int>(plotHeight / (2 * line)), 1, 5));
    int labelWidth = 0;
    for (int k = 0; k <= axes.value.Steps(); ++k) {
        axes.valueLabels << (k == 0 ? QStringLiteral("0") : ValueText(axes.value.step * static_cast<std::uint64_t>(k)));
        labelWidth = std::max(labelWidth, fm.horizontalAdvance(axes.valueLabels.back()));
    }
    axes.plot = QRectF(labelWidth + 10, titleHeight, 0, plotHeight);
    axes.plot.setRight(width() - 12);
    if (series_.values.size() < 2)
        return axes;
    const std::int64_t first = FirstSecond();
    // Time ticks at least a label and a gap apart.
    const bool days = series_.lastSecond - first >= 2 * 86400;
    const int timeWidth =
        std::max(fm.horizontalAdvance(series_.live ? TimeText(first) : QString()),
                 fm.horizontalAdvance(days ? QStringLiteral("0000-00-00") : QStringLiteral("00:00:00"))) + 24;
    const int maxTicks = std::max(1, static_cast<int>(axes.plot.width()) / timeWidth);
    const std::int64_t offset = QDateTime::fromSecsSinceEpoch(series_.lastSecond).offsetFromUtc();
    axes.time = TimeAxisFor(first, series_.lastSecond, series_.live ? series_.lastSecond : -offset, maxTicks);
    if (series_.live) {
        for (const std::int64_t t : axes.time.ticks)
            axes.timeLabels << TimeText(t);
    } else {
        for (const std::string& label : ClockTickLabels(axes.time, offset))
            axes.timeLabels << QString::fromStdString(label);
    }
    return axes;
}

QStringList RateChart::ValueLabels() const
{
    return Layout().valueLabels;
}

QStringList RateChart::TimeLabels() const
{
    return Layout().timeLabels;
}

void RateChart::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.fillRect(rect(), palette().base());
    const QFontMetrics fm(font());
    const QColor text = palette().text().color();
    QColor grid = palette().mid().color();
    grid.setAlpha(110);
    p.setPen(text);
    if (series_.title.isEmpty()) {
        p.drawText(rect(), Qt::AlignCenter, tr("选择一行以显示它每秒的流量"));
        return;
    }
    const Axes axes = Layout();
    const QRectF& plot = axes.plot;
    p.drawText(QRectF(4, 2, width() - 8, fm.height() + 2), Qt::AlignHCenter | Qt::AlignVCenter,
               fm.elidedText(series_.title, Qt::ElideMiddle, width() - 8));

    // The value axis: a grid line and its label at each step.
    const int steps = axes.value.Steps();
    for (int k = 0; k <= steps; ++k) {
        const double y = plot.bottom() - plot.height() * k / steps;
        p.setPen(k == 0 ? text : grid);
        p.drawLine(QPointF(plot.left(), y), QPointF(plot.right(), y));
        p.setPen(text);
        p.drawText(QRectF(0, y - fm.height() / 2.0, plot.left() - 6, fm.height()), Qt::AlignRight | Qt::AlignVCenter,
                   axes.valueLabels[k]);
    }
    const std::size_t n = series_.values.size();
    if (n < 2)
        return;
    const double dx = plot.width() / static_cast<double>(n - 1);
    const std::int64_t first = FirstSecond();
    const double step = static_cast<double>(std::max<std::int64_t>(1, series_.step));

    // The time axis: a tick, a faint line and a label at each tick, the
    // labels kept inside the chart.
    for (std::size_t i = 0; i < axes.time.ticks.size(); ++i) {
        const double x = plot.left() + dx * static_cast<double>(axes.time.ticks[i] - first) / step;
        p.setPen(grid);
        p.drawLine(QPointF(x, plot.top()), QPointF(x, plot.bottom()));
        p.setPen(text);
        p.drawLine(QPointF(x, plot.bottom()), QPointF(x, plot.bottom() + 3));
        const double w = fm.horizontalAdvance(axes.timeLabels[static_cast<qsizetype>(i)]);
        const double left = std::clamp(x - w / 2, 0.0, width() - w - 2);
        p.drawText(QRectF(left, plot.bottom() + 4, w + 1, fm.height()), Qt::AlignLeft | Qt::AlignTop,
                   axes.timeLabels[static_cast<qsizetype>(i)]);
    }
    QPainterPath path;
    const double top = static_cast<double>(axes.value.top);
    for (std::size_t i = 0; i < n; ++i) {
        const QPointF at(plot.left() + dx * static_cast<double>(i), plot.bottom() - series_.values[i] / top * plot.height());
        if (i == 0)
            path.moveTo(at);
        else
            path.lineTo(at);
    }
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(palette().highlight().color(), 1.5));
    p.drawPath(path);
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
    conversations_ = new ConversationsModel(views.Conversations(), this);
    conversations_->timeText = timeText;
    conversations_->hostName = [&views](const AddressText& address) {
        const auto text = address.text();
        return views.ShownName(text.view());
    };
    conversations_->programOf = [&views](std::int64_t seq) { return views.ProgramOf(seq, views.dPackets().at(seq)); };

    auto* split = new QSplitter(Qt::Vertical, this);
    lvPrograms_ = MakeTable(QStringLiteral("lvPrograms"), programs_);
    lvHosts_ = MakeTable(QStringLiteral("lvHosts"), hosts_);
    // The chart and, above it, the chooser of what it counts.
    auto* chartPane = new QWidget(this);
    chart_ = new RateChart(chartPane);
    cboChartValue_ = new QComboBox(chartPane);
    cboChartValue_->setObjectName(QStringLiteral("cboChartValue"));
    cboChartValue_->addItem(tr("每秒字节数"), static_cast<int>(RateMeasure::Bytes));
    cboChartValue_->addItem(tr("每秒包数"), static_cast<int>(RateMeasure::Packets));
    auto* chooser = new QHBoxLayout;
    chooser->setContentsMargins(0, 0, 0, 0);
    auto* chooserLabel = new QLabel(tr("图表："), chartPane);
    chooserLabel->setObjectName(QStringLiteral("lblChartValue"));
    chooserLabel->setBuddy(cboChartValue_);
    chooser->addWidget(chooserLabel);
    chooser->addWidget(cboChartValue_);
    chooser->addStretch(1);
    auto* chartLayout = new QVBoxLayout(chartPane);
    chartLayout->setContentsMargins(0, 0, 0, 0);
    chartLayout->setSpacing(2);
    chartLayout->addLayout(chooser);
    chartLayout->addWidget(chart_, 1);
    connect(cboChartValue_, &QComboBox::currentIndexChanged, this, [this] {
        if (charted_)
            ShowRate(charted_);
    });
    // The conversations and, above them when some are left out, a note.
    auto* conversationsPane = new QWidget(this);
    lvConversations_ = MakeTable(QStringLiteral("lvConversations"), conversations_);
    lblConversationsNote_ = new QLabel(conversationsPane);
    lblConversationsNote_->setObjectName(QStringLiteral("lblConversationsNote"));
    lblConversationsNote_->setTextFormat(Qt::PlainText);
    lblConversationsNote_->hide();
    auto* conversationsLayout = new QVBoxLayout(conversationsPane);
    conversationsLayout->setContentsMargins(0, 0, 0, 0);
    conversationsLayout->setSpacing(2);
    conversationsLayout->addWidget(lblConversationsNote_);
    conversationsLayout->addWidget(lvConversations_, 1);
    split->addWidget(lvPrograms_);
    split->addWidget(lvHosts_);
    split->addWidget(chartPane);
    split->addWidget(conversationsPane);
    split->setStretchFactor(0, 2);
    split->setStretchFactor(1, 3);
    split->setStretchFactor(2, 2);
    split->setStretchFactor(3, 3);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(4, 4, 4, 4);
    layout->addWidget(split);

    connect(lvHosts_, &QAbstractItemView::doubleClicked, this, [this](const QModelIndex& index) {
        const auto* proxy = static_cast<const QSortFilterProxyModel*>(lvHosts_->model());
        const QString address = hosts_->AddressOf(proxy->mapToSource(index).row());
        if (!address.isEmpty() && onHostFilter)
            onHostFilter(address);
    });
    connect(lvConversations_, &QAbstractItemView::doubleClicked, this, [this](const QModelIndex& index) {
        const auto* proxy = static_cast<const QSortFilterProxyModel*>(lvConversations_->model());
        if (onFollowStream)
            onFollowStream(conversations_->ConversationAt(proxy->mapToSource(index).row()));
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

QTableView* frmTotals::MakeTable(const QString& name, QAbstractItemModel* model)
{
    static_assert(int{TotalsTableModel::kSortRole} == int{ConversationsModel::kSortRole});
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
    // One line a row: a long list of programs is cut short rather than wrapped.
    table->setWordWrap(false);
    table->setTextElideMode(Qt::ElideRight);
    table->verticalHeader()->setDefaultSectionSize(table->fontMetrics().height() + 8);
    table->horizontalHeader()->setStretchLastSection(true);
    if (model != conversations_)
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
        chart_->SetSeries({});
        return;
    }
    const int row = proxy->mapToSource(current).row();
    RateChart::Series series;
    series.live = model->nowUs > 0;
    // While capturing the chart ends at the last whole second.
    series.lastSecond = series.live ? model->nowUs / 1000000 - 1 : views_.Totals().NewestUs() / 1000000;
    series.measure = static_cast<RateMeasure>(cboChartValue_->currentData().toInt());
    const std::int64_t oldest = views_.Totals().OldestUs() / 1000000;
    if (!series.live && oldest > 0 && series.lastSecond - oldest >= RateHistory::kSeconds) {
        // A file's whole span, a point each minute or more.
        const ChartSpan span = ChartSpanFor(oldest, series.lastSecond, RateHistory::kSeconds,
                                            model->CoarseSecondsOf(row), kChartPoints);
        series.step = span.step;
        series.lastSecond = span.Last();
        series.values = model->RateOver(row, span.first, span.step, span.count, series.measure);
    } else {
        series.values = model->RateOf(row, series.lastSecond, series.measure);
    }
    QString title = model->index(row, 0).data().toString();
    if (model == hosts_) {
        if (const QString name = model->index(row, 1).data().toString(); !name.isEmpty())
            title = QStringLiteral("%1 (%2)").arg(title, name);
    }
    if (title.isEmpty())
        title = tr("(无程序)");
    series.title = QString::fromStdString(ShownName(title.toStdString()));
    chart_->SetSeries(std::move(series));
}

void frmTotals::FitColumns(QTableView* table)
{
    QHeaderView* header = table->horizontalHeader();
    const auto* proxy = static_cast<const QSortFilterProxyModel*>(table->model());
    const bool conversations = table == lvConversations_;
    const auto isText = [&](int column) {
        return conversations ? ConversationsModel::IsText(column)
                             : static_cast<const TotalsTableModel*>(proxy->sourceModel())->ColumnKind(column)
                                   == TotalsTableModel::Column::Text;
    };
    std::vector<int>& fitted =
        table == lvPrograms_ ? fittedPrograms_ : conversations ? fittedConversations_ : fittedHosts_;
    fitted.resize(static_cast<std::size_t>(header->count()), 0);
    // A long text (a list of programs) gets no more than this unless its caption needs it.
    const int textCap = table->fontMetrics().averageCharWidth() * 40;
    for (int c = 0; c < header->count(); ++c) {
        int contents = static_cast<const QAbstractItemView*>(table)->sizeHintForColumn(c);
        if (isText(c))
            contents = std::min(contents, textCap);
        const int need = std::max(header->sectionSizeHint(c), contents);
        int& last = fitted[static_cast<std::size_t>(c)];
        if (need > last) {
            if (header->sectionSize(c) < need)
                header->resizeSection(c, need);
            last = need;
        }
    }
}

void frmTotals::Refresh()
{
    views_.Totals().Fold(views_.Programs());
    const std::int64_t nowUs = now ? now() : 0;
    for (TotalsTableModel* model : {programs_, hosts_}) {
        model->nowUs = nowUs;
        model->Refresh();
    }
    conversations_->Refresh();
    if (const std::size_t hidden = conversations_->Hidden(); hidden > 0) {
        lblConversationsNote_->setText(tr("只显示最新的 %1 个会话，另有 %2 个较早的未显示")
                                           .arg(QString::fromStdString(GroupedCount(ConversationsModel::kMaxRows)),
                                                QString::fromStdString(GroupedCount(hidden))));
        lblConversationsNote_->show();
    }
    FitColumns(lvPrograms_);
    FitColumns(lvHosts_);
    FitColumns(lvConversations_);
    if (charted_)
        ShowRate(charted_);
}

}  // namespace quillet
