#pragma once

#include <QByteArray>
#include <QString>

class QWidget;

namespace quillet {

// Fills the hex dump box Text1 and the text box txtData from a payload (one
// byte per character), with as many bytes per line as the current width of
// Text1 allows. Both boxes may be a QPlainTextEdit or a QTextEdit.
//
// Text1's lines end with CR LF; the text box keeps each as one line, so its
// plain text reads back with a single LF per line and an empty last line
// after the final line end.
void ShowPayload(QWidget* Text1, QWidget* txtData, const QByteArray& payload);

// The text a box shows, character for character, lines ended by LF; for
// either kind of text box.
QString BoxText(const QWidget* box);

}  // namespace quillet
