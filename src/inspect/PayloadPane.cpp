#include "inspect/PayloadPane.h"

#include <QPlainTextEdit>
#include <QTextDocument>
#include <QTextEdit>

#include "core/Twips.h"
#include "inspect/HexDump.h"

namespace quillet {
namespace {

void SetBoxText(QWidget* box, const QString& text)
{
    if (auto* plain = qobject_cast<QPlainTextEdit*>(box))
        plain->setPlainText(text);
    else if (auto* rich = qobject_cast<QTextEdit*>(box))
        rich->setPlainText(text);
}

}  // namespace

QString BoxText(const QWidget* box)
{
    const QTextDocument* document = nullptr;
    if (auto* plain = qobject_cast<const QPlainTextEdit*>(box))
        document = plain->document();
    else if (auto* rich = qobject_cast<const QTextEdit*>(box))
        document = rich->document();
    if (!document)
        return QString();
    // The raw text keeps every character as shown (toPlainText would turn a
    // no-break space into a space); only the block separators become LF.
    QString text = document->toRawText();
    text.replace(QChar::ParagraphSeparator, QLatin1Char('\n'));
    return text;
}

void ShowPayload(QWidget* Text1, QWidget* txtData, const QByteArray& payload)
{
    const float widthTwips = static_cast<float>(PixelsToTwips(Text1->width()));
    const HexDumpText out = HexDump(std::string_view(payload.constData(), static_cast<std::size_t>(payload.size())),
                                    BytesPerLine(widthTwips));
    SetBoxText(Text1, QString::fromLatin1(out.dump.data(), static_cast<qsizetype>(out.dump.size())));
    SetBoxText(txtData, QString::fromLatin1(out.text.data(), static_cast<qsizetype>(out.text.size())));
}

}  // namespace quillet
