#include <memory>
#include <numeric>

#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QHeaderView>
#include <QLabel>
#include <QRegularExpression>
#include <QTableView>

#include "core/ReadableNumbers.h"
#include "decode/RecordFields.h"
#include "ui/Language.h"
#include "views/ConversationsModel.h"
#include "views/PacketViews.h"
#include "views/frmTotals.h"

namespace quillet {
namespace {

constexpr std::int64_t kSecond = 1000000;
constexpr std::int64_t kT0 = 1700000000 * kSecond;

// Packets of one size each to one host; "huge" sends 1234 over ten seconds, 124 in each of the first four.
struct Program {
    const char* name;
    int packets;
    std::uint64_t bytesEach;
};
const Program kPrograms[] = {{"small", 1, 900}, {"big", 1, 1229}, {"huge", 1234, 150282}, {"esc\x1b[31m", 2, 40}};

// The window over the programs above, shown and refreshed.
struct Shown {
    Shown()
    {
        views.SetLocalAddrs({"10.0.0.1"});
        const AddressText host("10.0.0.2");
        for (const Program& p : kPrograms) {
            const QString owner = QString::fromUtf8(p.name);
            for (int i = 0; i < p.packets; ++i)
                views.Totals().Add(&host, true, true, p.bytesEach, kT0 + (i % 10) * kSecond, &owner);
        }
        w = std::make_unique<frmTotals>(views);
        w->resize(820, 600);
        w->show();
        QApplication::processEvents();
        w->Refresh();
    }
    PacketViews views;
    std::unique_ptr<frmTotals> w;
};

QTableView* Programs(frmTotals& w)
{
    return w.findChild<QTableView*>(QStringLiteral("lvPrograms"));
}

int RowNamed(QAbstractItemModel* m, const QString& name)
{
    for (int r = 0; r < m->rowCount(); ++r)
        if (m->index(r, 0).data().toString() == name)
            return r;
    return -1;
}

TEST(TotalsWindow, FiguresReadableExactInTheTipOnTheRightAndSortedAsNumbers)
{
    Shown shown;
    frmTotals& w = *shown.w;
    QAbstractItemModel* m = Programs(w)->model();
    struct Cell {
        const char* program;
        int column;
        QString text, tip;
    } const cells[] = {
        {"small", 3, "900 B", "900 B"},
        {"big", 3, "1.2 KiB", "1,229 B"},
        {"huge", 1, "1,234", ""},
        {"huge", 3, "177 MiB", "185,447,988 B"},
        {"huge", 5, "18.5 MB/s", "18,484,686 B/s"},  // 123 of them in the newest second
        {"big", 4, "0 B", "0 B"},
    };
    for (const Cell& c : cells) {
        const int row = RowNamed(m, QString::fromUtf8(c.program));
        ASSERT_GE(row, 0) << c.program;
        const QModelIndex at = m->index(row, c.column);
        EXPECT_EQ(at.data().toString(), c.text) << c.program << " " << c.column;
        EXPECT_EQ(at.data(Qt::ToolTipRole).toString(), c.tip) << c.program << " " << c.column;
        EXPECT_EQ(at.data(Qt::TextAlignmentRole).value<Qt::Alignment>() & Qt::AlignHorizontal_Mask, Qt::AlignRight);
    }
    EXPECT_FALSE(m->index(0, 0).data(Qt::TextAlignmentRole).value<Qt::Alignment>() & Qt::AlignRight);

    // Sent bytes ascending and descending: by the figures, not the texts.
    const auto order = [&] {
        QStringList names;
        for (int r = 0; r < m->rowCount(); ++r)
            if (const QString name = m->index(r, 0).data().toString(); name == "small" || name == "big" || name == "huge")
                names << name;
        return names;
    };
    Programs(w)->sortByColumn(3, Qt::AscendingOrder);
    EXPECT_EQ(order(), (QStringList{"small", "big", "huge"}));
    Programs(w)->sortByColumn(3, Qt::DescendingOrder);
    EXPECT_EQ(order(), (QStringList{"huge", "big", "small"}));
    Programs(w)->sortByColumn(1, Qt::DescendingOrder);
    EXPECT_EQ(order().first(), "huge");  // 1,234 packets over 1
}

TEST(TotalsWindow, CaptionsAndFiguresFitTheirColumnsInEitherLanguage)
{
    for (const char* language : {"", "en"}) {
        ASSERT_TRUE(UseLanguage(QString::fromLatin1(language)));
        Shown shown;
        frmTotals& w = *shown.w;
        for (const char* name : {"lvPrograms", "lvHosts", "lvConversations"}) {
            auto* table = w.findChild<QTableView*>(QString::fromLatin1(name));
            QHeaderView* header = table->horizontalHeader();
            for (int c = 0; c < header->count(); ++c) {
                const QString caption = table->model()->headerData(c, Qt::Horizontal).toString();
                EXPECT_GE(header->sectionSize(c), header->sectionSizeHint(c))
                    << language << " " << name << " " << caption.toStdString();
                EXPECT_GE(header->sectionSize(c), static_cast<const QAbstractItemView*>(table)->sizeHintForColumn(c))
                    << language << " " << name << " " << caption.toStdString();
            }
        }
    }
    ASSERT_TRUE(UseLanguage(QString()));
}

TEST(TotalsWindow, TheChartShowsTheSelectedRowInBytesOrPacketsPerSecondWithAxes)
{
    Shown shown;
    frmTotals& w = *shown.w;
    QTableView* table = Programs(w);
    RateChart* chart = w.chartRate();
    table->setCurrentIndex(table->model()->index(RowNamed(table->model(), "huge"), 0));
    EXPECT_EQ(chart->Title(), "huge");
    const std::vector<double>& values = chart->Values();
    EXPECT_EQ(std::accumulate(values.begin(), values.end(), 0.0), 1234.0 * 150282);
    // Round steps in rates up to 18.5 MB/s, each labelled with its unit.
    QStringList labels = chart->ValueLabels();
    ASSERT_GE(labels.size(), 3);
    EXPECT_EQ(labels.first(), "0");
    EXPECT_EQ(labels.last(), "20 MB/s") << labels.join(", ").toStdString();
    // A file's chart is on the clock: the newest second's minute and before.
    const QStringList times = chart->TimeLabels();
    ASSERT_GE(times.size(), 3);
    for (const QString& t : times)
        EXPECT_TRUE(QRegularExpression(QStringLiteral("^\\d\\d:\\d\\d:\\d\\d$")).match(t).hasMatch()) << t.toStdString();
    EXPECT_TRUE(times.first().endsWith(":00")) << times.first().toStdString();

    w.cboChartValue()->setCurrentIndex(1);  // packets per second
    EXPECT_EQ(std::accumulate(chart->Values().begin(), chart->Values().end(), 0.0), 1234.0);
    labels = chart->ValueLabels();
    ASSERT_TRUE(labels.last().endsWith(QString::fromUtf8(" 包/s"))) << labels.join(", ").toStdString();
    const int top = labels.last().section(' ', 0, 0).remove(',').toInt();
    EXPECT_TRUE(top >= 124 && top < 2 * 124) << top;  // 124 in the busiest second

    // A live capture counts back from now; a control character in the title is escaped.
    w.now = [] { return kT0 + 11 * kSecond; };
    w.Refresh();
    EXPECT_EQ(chart->TimeLabels().last(), QString::fromUtf8("现在"));
    EXPECT_EQ(chart->TimeLabels().first(), QString::fromUtf8("240 秒前"));
    table->setCurrentIndex(table->model()->index(RowNamed(table->model(), QString::fromUtf8("esc\x1b[31m")), 0));
    EXPECT_EQ(chart->Title(), "esc\\x1b[31m");
}

// A file whose packets span hours: the chart shows all of it, a point a
// minute, on the clock's hours and minutes; a live capture still counts
// the seconds back from now.
TEST(TotalsWindow, AFileOfHoursIsChartedWholeInMinutes)
{
    Shown shown;
    frmTotals& w = *shown.w;
    const AddressText host("10.0.0.2");
    const QString owner = QStringLiteral("huge");
    shown.views.Totals().Add(&host, true, true, 6000, kT0 + 3 * 3600 * kSecond, &owner);
    w.Refresh();
    QTableView* table = Programs(w);
    table->setCurrentIndex(table->model()->index(RowNamed(table->model(), "huge"), 0));
    RateChart* chart = w.chartRate();
    EXPECT_EQ(chart->Values().size(), 181u);  // 22:13 to 01:13 UTC
    const double all = std::accumulate(chart->Values().begin(), chart->Values().end(), 0.0) * 60;
    EXPECT_NEAR(all, 1234.0 * 150282 + 6000, 1e-3);
    EXPECT_EQ(chart->Values().back() * 60, 6000);
    const QStringList times = chart->TimeLabels();
    ASSERT_GE(times.size(), 3);
    for (const QString& t : times)
        EXPECT_TRUE(QRegularExpression(QStringLiteral("^\\d\\d:\\d\\d$")).match(t).hasMatch()) << t.toStdString();
    w.now = [] { return kT0 + 3 * 3600 * kSecond + 11 * kSecond; };
    w.Refresh();
    EXPECT_EQ(chart->Values().size(), 300u);
    EXPECT_EQ(chart->TimeLabels().last(), QString::fromUtf8("现在"));
}

// More conversations than the table shows: the newest ones, also as more
// come while it is open, a note of how many older ones are left out, a
// double-click following the conversation of its row, and bytes sorted as
// numbers, not as their texts.
TEST(TotalsWindow, ConversationsPastTheTablesRowsAreToldAndBytesSortAsNumbers)
{
    PacketViews views;
    views.SetLocalAddrs({"10.0.0.1"});
    // Conversation i from port 1024 + i; payloads of 9, 10 and 100 bytes: as texts "9 B" would sort after "100 B".
    const auto store = [&views](int i) {
        const int size = i % 3 == 0 ? 9 : i % 3 == 1 ? 100 : 10;
        views.StorePacket("UDP", "10.0.0.1", "10.0.0.2", std::to_string(1024 + i), "53", std::string(size, 'x'), size,
                          "00:00:00.00");
    };
    int stored = 0;
    for (; stored < ConversationsModel::kMaxRows - 2; ++stored)
        store(stored);
    frmTotals w(views);
    std::vector<std::uint32_t> followed;
    w.onFollowStream = [&followed](std::uint32_t conversation) { followed.push_back(conversation); };
    w.show();
    QApplication::processEvents();
    auto* table = w.findChild<QTableView*>(QStringLiteral("lvConversations"));
    ASSERT_NE(table, nullptr);
    auto* note = w.findChild<QLabel*>(QStringLiteral("lblConversationsNote"));
    ASSERT_NE(note, nullptr);
    EXPECT_EQ(table->model()->rowCount(), ConversationsModel::kMaxRows - 2);
    EXPECT_FALSE(note->isVisibleTo(&w));
    constexpr int kPortA = 3, kBytesAToB = 7;
    QAbstractItemModel* m = table->model();
    table->sortByColumn(kPortA, Qt::AscendingOrder);
    // Past the rows: the table keeps the newest while conversations come (one
    // of the oldest having a packet again does not bring it back).
    for (const int extra : {3, 3 + 1000, 3 + 1000 + ConversationsModel::kMaxRows + 5}) {
        for (; stored < ConversationsModel::kMaxRows + extra; ++stored)
            store(stored);
        store(0);
        w.Refresh();
        ASSERT_EQ(m->rowCount(), ConversationsModel::kMaxRows) << extra;
        EXPECT_EQ(m->index(0, kPortA).data().toInt(), 1024 + extra) << extra;
        EXPECT_EQ(m->index(m->rowCount() - 1, kPortA).data().toInt(), 1024 + stored - 1) << extra;
        EXPECT_TRUE(note->isVisibleTo(&w));
        EXPECT_TRUE(note->text().contains(QStringLiteral("20,000"))
                    && note->text().contains(QString::fromStdString(GroupedCount(extra))))
            << note->text().toStdString();
        followed.clear();
        Q_EMIT table->doubleClicked(m->index(0, kPortA));
        ASSERT_EQ(followed.size(), 1u);
        EXPECT_EQ(views.Conversations().At(followed[0]).portA, 1024 + extra);
    }
    table->sortByColumn(kBytesAToB, Qt::AscendingOrder);
    EXPECT_EQ(m->index(0, kBytesAToB).data().toString(), "9 B");
    EXPECT_EQ(m->index(m->rowCount() - 1, kBytesAToB).data().toString(), "100 B");
}

}  // namespace
}  // namespace quillet
