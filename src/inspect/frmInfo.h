#pragma once

#include <QFrame>
#include <QPointer>

class QLabel;
class QPushButton;

namespace quillet {

// The packet info window: a small borderless window without title bar that
// names both ports of a packet. One shared instance; its button closes it.
class frmInfo : public QFrame {
    Q_OBJECT

public:
    explicit frmInfo(QWidget* parent = nullptr);

    // Puts the text into the open window (or a new one) and shows it.
    static frmInfo* ShowText(QPointer<frmInfo>& slot, const QString& text);

    QString text() const;
    void setText(const QString& text);

private:
    QLabel* Label1;
    QPushButton* Command1;
};

}  // namespace quillet
