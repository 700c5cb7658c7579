#include <gtest/gtest.h>

#include <QLabel>
#include <QPlainTextEdit>
#include <QStandardItemModel>
#include <QTreeView>

#include "WidgetHelpers.h"
#include "inspect/ListHandlers.h"
#include "inspect/PayloadPane.h"
#include "views/ListRoles.h"

using namespace quillet;
using quillet::test::Control;

namespace {

// A list whose port columns show names while their tags hold the numbers.
class ListHandlers : public ::testing::Test {
protected:
    QStandardItemModel model{0, kColumnCount};
    QTreeView lv;
    PortDatabases db;
    QPointer<frmInfo> info;

    void SetUp() override
    {
        AddRow("TCP", "http     World Wide Web HTTP", "80", "5000", "5000", QByteArray("GET /\r\n"));
        AddRow("UDP", "53", "53", "my app", "31337", QByteArray("\x01\x02", 2));
        lv.setModel(&model);
        lv.setSelectionBehavior(QAbstractItemView::SelectRows);
        db.dIana.assign("80", "http     World Wide Web HTTP");
        db.dIana.assign("53", "domain     Domain Name Server");
        db.dTrojans.assign("31337", "Back Orifice");
        db.dPredefs.assign("5000", "my app");
    }

    void TearDown() override
    {
        delete info.data();
        test::FlushDeletes();
    }

    void AddRow(const char* proto, const QString& srcShown, const QString& srcTag, const QString& destShown,
                const QString& destTag, const QByteArray& payload)
    {
        QList<QStandardItem*> items;
        for (int c = 0; c < kColumnCount; ++c)
            items << new QStandardItem;
        items[kColProtocol]->setText(proto);
        items[kColProtocol]->setData(payload, kRowTagRole);
        items[kColSrcPort]->setText(srcShown);
        items[kColSrcPort]->setData(srcTag, kColumnTagRole);
        items[kColDestPort]->setText(destShown);
        items[kColDestPort]->setData(destTag, kColumnTagRole);
        model.appendRow(items);
    }

    QString InfoText() { return Control<QLabel>(info, "Label1")->text(); }
};

}  // namespace

TEST_F(ListHandlers, DoubleClickWithoutASelectedRowDoesNothing)
{
    EXPECT_FALSE(lv_DblClick(&lv, db, info));
    EXPECT_FALSE(info);
    // A current row that is not selected does not count either.
    lv.selectionModel()->setCurrentIndex(model.index(0, 0), QItemSelectionModel::NoUpdate);
    EXPECT_FALSE(lv_DblClick(&lv, db, info));
    EXPECT_FALSE(info);
}

TEST_F(ListHandlers, DoubleClickLooksUpThePortNumbersOfTheSelectedRow)
{
    lv.selectionModel()->select(model.index(0, 0), QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    ASSERT_TRUE(lv_DblClick(&lv, db, info));
    ASSERT_TRUE(info);
    EXPECT_EQ(InfoText(), "   80\r\n"
                          " [IANA]: http     World Wide Web HTTP\r\n"
                          " [PREDEF]: \r\n"
                          " [TROJAN]: \r\n"
                          "   5000\r\n"
                          " [IANA]: \r\n"
                          " [PREDEF]: my app\r\n"
                          " [TROJAN]: ");

    // Another row: the same window, its text replaced in place.
    frmInfo* first = info;
    lv.setCurrentIndex(model.index(1, 2));
    ASSERT_TRUE(lv_DblClick(&lv, db, info));
    EXPECT_EQ(info.data(), first);
    EXPECT_TRUE(InfoText().startsWith("   53\r\n [IANA]: domain     Domain Name Server\r\n"));
    EXPECT_TRUE(InfoText().endsWith("   31337\r\n [IANA]: \r\n [PREDEF]: \r\n [TROJAN]: Back Orifice"));
    EXPECT_FALSE(db.dIana.exists("31337"));
}

TEST_F(ListHandlers, RowClickShowsThePayloadTag)
{
    QPlainTextEdit Text1;
    QPlainTextEdit txtData;
    txtData.setPlainText("Text1");
    Text1.resize(337, 100);
    lv_ItemClick(model.index(0, 4), &Text1, &txtData);
    EXPECT_EQ(BoxText(&Text1), "  47 45 54 20 2F 0D 0A          | GET /..\n");
    EXPECT_EQ(BoxText(&txtData), "GET /..");
    lv_ItemClick(model.index(1, 0), &Text1, &txtData);
    EXPECT_EQ(BoxText(&Text1), "  01 02                         | ..\n");
    lv_ItemClick(QModelIndex(), &Text1, &txtData);
    EXPECT_EQ(BoxText(&txtData), "..");
}
