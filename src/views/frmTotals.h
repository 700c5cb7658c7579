#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include <QPointer>
#include <QString>
#include <QStringList>
#include <QWidget>

#include "core/ChartScale.h"
#include "views/TrafficTotals.h"

class QAbstractItemModel;
class QComboBox;
class QLabel;
class QTableView;
class QTimer;

namespace quillet {

class ConversationsModel;
class PacketViews;
class TotalsTableModel;

// A row's bytes or packets per second, newest at the right: the row's name
// as the title, a value axis in the measure's units with grid lines at
// round steps, a time axis in seconds before now (a live capture) or in
// clock time (a file). Each value stands for step seconds: one over the
// last five minutes, a minute or more over a file's whole span.
class RateChart : public QWidget {
    Q_OBJECT

public:
    struct Series {
        std::vector<double> values;   // one each step seconds (a rate per second), oldest first
        std::int64_t lastSecond = 0;  // where the newest value starts, seconds since the epoch
        std::int64_t step = 1;
        RateMeasure measure = RateMeasure::Bytes;
        bool live = false;  // times as seconds before now, else as clock times
        QString title;      // plain text, shown as it is
    };

    explicit RateChart(QWidget* parent = nullptr);
    void SetSeries(Series series);
    const std::vector<double>& Values() const { return series_.values; }
    const QString& Title() const { return series_.title; }

    // The axes' labels at the present size: values from 0 up, times oldest first.
    QStringList ValueLabels() const;
    QStringList TimeLabels() const;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    struct Axes {
        QRectF plot;
        ValueAxis value;
        TimeAxis time;
        QStringList valueLabels;
        QStringList timeLabels;
    };
    Axes Layout() const;
    QString ValueText(std::uint64_t value) const;
    QString TimeText(std::int64_t second) const;
    std::int64_t FirstSecond() const;

    Series series_;
};

// The totals window: lvPrograms (one row per program, one with an empty
// 程序 for packets of no known program) and lvHosts (one row per remote
// host), each sortable by any column, refreshed twice a second; below them
// the rate of the selected row (chartRate: over the last five minutes while
// capturing, else over the packets' whole span, per second up to five
// minutes and per minute or coarser beyond, kChartPoints at most), in
// bytes or packets per second as cboChartValue chooses; under the chart
// lvConversations, one row per TCP or UDP conversation with its round trip
// (the newest when there are too many to show; lblConversationsNote tells
// how many older ones are left out). Columns are kept wide enough for
// their captions and contents. A double-click on a host hands its address
// to onHostFilter, one on a conversation its index (Conversations::At) to
// onFollowStream.
class frmTotals : public QWidget {
    Q_OBJECT

public:
    static constexpr int kChartPoints = 400;

    frmTotals(PacketViews& views, QWidget* parent = nullptr);

    // Opens the window kept in slot (made on first use, deleted on close) or
    // raises it, refreshed, and returns it. capturing says whether a capture
    // runs (the rate then looks back from the present time).
    static frmTotals* Open(QPointer<frmTotals>& slot, PacketViews& views, QWidget* parent,
                           std::function<bool()> capturing, std::function<void(const QString&)> onHostFilter);

    QTableView* lvPrograms() const { return lvPrograms_; }
    QTableView* lvHosts() const { return lvHosts_; }
    QTableView* lvConversations() const { return lvConversations_; }
    RateChart* chartRate() const { return chart_; }
    QComboBox* cboChartValue() const { return cboChartValue_; }

    // Folds what the program look-ups answered and updates both tables.
    void Refresh();
    // The present time in microseconds while a capture runs (the rate looks
    // back from it), else 0: the rate looks back from the newest packet.
    std::function<std::int64_t()> now;
    std::function<void(const QString& address)> onHostFilter;
    // Follows the stream of a conversation (an index for Conversations::At;
    // Conversations::FirstPacketOf finds its first packet).
    std::function<void(std::uint32_t conversation)> onFollowStream;

private:
    QTableView* MakeTable(const QString& name, QAbstractItemModel* model);
    void ShowRate(QTableView* table);
    // Widens the columns whose caption or visible contents need more room
    // than they were last given; a column the user narrowed stays so until
    // its contents grow.
    void FitColumns(QTableView* table);

    PacketViews& views_;
    TotalsTableModel* programs_ = nullptr;
    TotalsTableModel* hosts_ = nullptr;
    QTableView* lvPrograms_ = nullptr;
    QTableView* lvHosts_ = nullptr;
    ConversationsModel* conversations_ = nullptr;
    QTableView* lvConversations_ = nullptr;
    QLabel* lblConversationsNote_ = nullptr;
    QTableView* charted_ = nullptr;  // the table whose selected row the chart shows
    RateChart* chart_ = nullptr;
    QComboBox* cboChartValue_ = nullptr;
    QTimer* timer_ = nullptr;
    std::vector<int> fittedPrograms_, fittedHosts_, fittedConversations_;  // the width each column needed when last fitted
};

}  // namespace quillet
