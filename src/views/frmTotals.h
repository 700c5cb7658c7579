#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include <QPointer>
#include <QString>
#include <QWidget>

class QTableView;
class QTimer;

namespace quillet {

class PacketViews;
class TotalsTableModel;

// A line of bytes per second over the last five minutes, newest at the right.
class RateChart : public QWidget {
    Q_OBJECT

public:
    explicit RateChart(QWidget* parent = nullptr);
    void SetValues(std::vector<double> values, QString title);
    const std::vector<double>& Values() const { return values_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    std::vector<double> values_;
    QString title_;
};

// The totals window: lvPrograms (one row per program, one with an empty
// 程序 for packets of no known program) and lvHosts (one row per remote
// host), each sortable by any column, refreshed twice a second; below them
// the rate of the selected row over the last five minutes (chartRate). A
// double-click on a host hands its address to onHostFilter.
class frmTotals : public QWidget {
    Q_OBJECT

public:
    frmTotals(PacketViews& views, QWidget* parent = nullptr);

    // Opens the window kept in slot (made on first use, deleted on close) or
    // raises it, refreshed, and returns it. capturing says whether a capture
    // runs (the rate then looks back from the present time).
    static frmTotals* Open(QPointer<frmTotals>& slot, PacketViews& views, QWidget* parent,
                           std::function<bool()> capturing, std::function<void(const QString&)> onHostFilter);

    QTableView* lvPrograms() const { return lvPrograms_; }
    QTableView* lvHosts() const { return lvHosts_; }
    RateChart* chartRate() const { return chart_; }

    // Folds what the program look-ups answered and updates both tables.
    void Refresh();
    // The present time in microseconds while a capture runs (the rate looks
    // back from it), else 0: the rate looks back from the newest packet.
    std::function<std::int64_t()> now;
    std::function<void(const QString& address)> onHostFilter;

private:
    QTableView* MakeTable(const QString& name, TotalsTableModel* model);
    void ShowRate(QTableView* table);

    PacketViews& views_;
    TotalsTableModel* programs_ = nullptr;
    TotalsTableModel* hosts_ = nullptr;
    QTableView* lvPrograms_ = nullptr;
    QTableView* lvHosts_ = nullptr;
    QTableView* charted_ = nullptr;  // the table whose selected row the chart shows
    RateChart* chart_ = nullptr;
    QTimer* timer_ = nullptr;
};

}  // namespace quillet
