#include <gtest/gtest.h>

#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTextBlock>
#include <QTextEdit>

#include "WidgetHelpers.h"
#include "inspect/HexDump.h"
#include "inspect/PayloadPane.h"
#include "inspect/frmInfo.h"

using namespace quillet;
using quillet::test::Control;

namespace {

QStringList BlockTexts(const QPlainTextEdit& box)
{
    QStringList out;
    for (QTextBlock b = box.document()->begin(); b.isValid(); b = b.next())
        out << b.text();
    return out;
}

QByteArray AllBytes()
{
    QByteArray bytes;
    for (int i = 0; i < 256; ++i)
        bytes.append(static_cast<char>(i));
    return bytes;
}

struct Pane {
    QPlainTextEdit Text1;
    QPlainTextEdit txtData;
    explicit Pane(int widthPixels)
    {
        Text1.setObjectName("Text1");
        txtData.setObjectName("txtData");
        txtData.setPlainText("Text1");
        Text1.resize(widthPixels, 100);
    }
};

}  // namespace

TEST(PayloadPane, LineLengthFollowsTheWidthOfText1)
{
    const QByteArray payload("GET / HTTP/1.0\r\n");  // 16 bytes
    // 337 pixels = 5055 twips: 9.54 bytes, so 10 per line.
    Pane wide(337);
    ShowPayload(&wide.Text1, &wide.txtData, payload);
    EXPECT_EQ(BlockTexts(wide.Text1), (QStringList{"  47 45 54 20 2F 20 48 54 54 50 | GET / HTTP",
                                                   "  2F 31 2E 30 0D 0A             | /1.0..", ""}));
    EXPECT_EQ(wide.txtData.toPlainText(), "GET / HTTP/1.0..");

    // 112 pixels = 1680 twips and 140 pixels = 2100 twips: 2 per line.
    for (int width : {112, 140}) {
        Pane narrow(width);
        ShowPayload(&narrow.Text1, &narrow.txtData, payload.left(5));
        EXPECT_EQ(BlockTexts(narrow.Text1), (QStringList{"  47 45 | GE", "  54 20 | T ", "  2F    | /", ""}))
            << width;
    }

    // Too narrow for one byte: one per line.
    Pane tiny(40);
    ShowPayload(&tiny.Text1, &tiny.txtData, "ab");
    EXPECT_EQ(BlockTexts(tiny.Text1), (QStringList{"  61 | a", "  62 | b", ""}));
}

TEST(PayloadPane, DumpReadsBackWithOneLineEndPerLine)
{
    Pane pane(337);
    const QByteArray payload = AllBytes();
    ShowPayload(&pane.Text1, &pane.txtData, payload);
    // 256 bytes at 10 per line: 26 lines and the empty line after the last
    // line end. No byte, 0x80 to 0xFF included, breaks a line of its own.
    const QStringList lines = BlockTexts(pane.Text1);
    ASSERT_EQ(lines.size(), 27);
    for (int i = 0; i < 26; ++i)
        EXPECT_EQ(lines[i].indexOf(" | "), 31) << i;
    EXPECT_EQ(lines[25], "  FA FB FC FD FE FF             | " + QString::fromLatin1(payload.right(6)));
    EXPECT_EQ(lines.last(), "");
    // What Text1 shows is the dump with each CR LF as one line end.
    const auto dump = HexDump(std::string_view(payload.constData(), 256), 10).dump;
    EXPECT_EQ(BoxText(&pane.Text1), QString::fromLatin1(dump.data(), dump.size()).replace("\r\n", "\n"));

    const QString text = BoxText(&pane.txtData);
    ASSERT_EQ(text.size(), 256);
    EXPECT_EQ(text.left(32), QString(32, '.'));
    for (int i = 32; i < 256; ++i)
        EXPECT_EQ(text[i].unicode(), i) << i;
    EXPECT_EQ(pane.txtData.document()->blockCount(), 1);
}

TEST(PayloadPane, EmptyPayloadEmptiesBothBoxes)
{
    Pane pane(337);
    ShowPayload(&pane.Text1, &pane.txtData, "abc");
    EXPECT_FALSE(pane.Text1.toPlainText().isEmpty());
    ShowPayload(&pane.Text1, &pane.txtData, QByteArray());
    EXPECT_TRUE(pane.Text1.toPlainText().isEmpty());
    EXPECT_TRUE(pane.txtData.toPlainText().isEmpty());
}

TEST(PayloadPane, RichTextBoxesWorkToo)
{
    QTextEdit Text1;
    QTextEdit txtData;
    Text1.resize(112, 50);
    ShowPayload(&Text1, &txtData, QByteArray("<b>", 3));
    EXPECT_EQ(BoxText(&Text1), "  3C 62 | <b\n  3E    | >\n");
    EXPECT_EQ(BoxText(&txtData), "<b>");
}

TEST(InfoWindow, OneSharedFramelessWindowWithTheText)
{
    QPointer<frmInfo> slot;
    frmInfo* info = frmInfo::ShowText(slot, "   80\r\n [IANA]: http");
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(info->objectName(), "frmInfo");
    EXPECT_TRUE(info->isVisible());
    EXPECT_TRUE(info->windowFlags() & Qt::FramelessWindowHint);
    EXPECT_TRUE(info->windowTitle().isEmpty());
    EXPECT_EQ(info->contentsRect().size(), QSize(386, 162));  // 5790 x 2430 twips
    EXPECT_EQ(info->palette().color(QPalette::Window), info->palette().color(QPalette::ToolTipBase));

    auto* label = Control<QLabel>(info, "Label1");
    EXPECT_EQ(label->text(), "   80\r\n [IANA]: http");
    EXPECT_TRUE(label->font().bold());
    EXPECT_EQ(label->font().pointSizeF(), 8.25);
    EXPECT_EQ(label->size(), QSize(385, 129));
    auto* close = Control<QPushButton>(info, "Command1");
    EXPECT_EQ(close->text(), "关闭");
    EXPECT_EQ(close->geometry().translated(-info->contentsRect().topLeft()), QRect(153, 136, 81, 25));

    // A second double-click replaces the text in place.
    EXPECT_EQ(frmInfo::ShowText(slot, "second"), info);
    EXPECT_EQ(label->text(), "second");

    close->click();
    test::FlushDeletes();
    EXPECT_FALSE(slot);
    frmInfo* again = frmInfo::ShowText(slot, "third");
    EXPECT_EQ(Control<QLabel>(again, "Label1")->text(), "third");
    delete again;
}
