#pragma once

#include <memory>

#include <QAbstractButton>
#include <QApplication>
#include <QCoreApplication>
#include <QEvent>
#include <QMessageBox>
#include <QPointer>
#include <QTimer>
#include <QWidget>

#include <gtest/gtest.h>

namespace quillet::test {

// The named control of a window; fails the test when it is missing.
template <typename T>
T* Control(const QWidget* window, const char* name)
{
    T* control = window->findChild<T*>(QString::fromLatin1(name));
    EXPECT_NE(control, nullptr) << "no control " << name;
    return control;
}

// Lets windows closed with delete-on-close go away.
inline void FlushDeletes()
{
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

// What a modal message box showed once it has been answered with OK.
struct SeenMessageBox {
    bool seen = false;
    QString title;
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QMessageBox::StandardButtons buttons;
};

// Answers the next modal message box with OK and records it. Gives up after
// about two seconds without one.
inline void AnswerNextMessageBox(SeenMessageBox& seen)
{
    auto* poll = new QTimer;
    auto tries = std::make_shared<int>(0);
    QObject::connect(poll, &QTimer::timeout, poll, [poll, tries, &seen] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box) {
            if (++*tries > 200)
                poll->deleteLater();
            return;
        }
        seen.seen = true;
        seen.title = box->windowTitle();
        seen.text = box->text();
        seen.icon = box->icon();
        seen.buttons = box->standardButtons();
        poll->stop();
        poll->deleteLater();
        box->button(QMessageBox::Ok)->click();
    });
    poll->start(10);
}

}  // namespace quillet::test
