#include <gtest/gtest.h>

#include <functional>
#include <thread>

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QMessageBox>
#include <QPointer>
#include <QProgressDialog>
#include <QTemporaryDir>
#include <QTimer>

#include "shell/EmptyPortFiles.h"
#include "shell/FakeCapture.h"
#include "inspect/frmInfo.h"
#include "shell/frmMain.h"
#include "ui/FileProgress.h"
#include "ui/FormSupport.h"

using namespace quillet;

namespace {

const QString kMarkup = QStringLiteral("/tmp/x<h1>BIG<font color=red>y.pcapng");

// What a label showed: its text, how it takes it, and the box's own format.
struct Shown {
    bool found = false;
    QString text;
    Qt::TextFormat format = Qt::AutoText;
    Qt::TextFormat boxFormat = Qt::PlainText;  // of a message box, if one showed it
};

Shown Of(const QLabel* label)
{
    if (!label)
        return {};
    return {true, label->text(), label->textFormat()};
}

// Runs open, which shows a modal message box, and reads the box it shows.
Shown FromMessageBox(const std::function<void()>& open)
{
    Shown shown;
    QTimer watch;
    watch.setInterval(10);
    QObject::connect(&watch, &QTimer::timeout, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box)
            return;
        shown = Of(box->findChild<QLabel*>(QStringLiteral("qt_msgbox_label")));
        shown.boxFormat = box->textFormat();
        box->done(QMessageBox::Ok);
    });
    watch.start();
    QTimer::singleShot(5000, [] {
        if (QWidget* w = QApplication::activeModalWidget())
            w->close();  // a box that was not found ends the wait
    });
    open();
    return shown;
}

struct Place {
    const char* where;
    std::function<Shown(const QString& outside, QTemporaryDir& dir)> show;
    bool whole;  // the label holds the outside text alone, not within a sentence
};

std::unique_ptr<frmMain> Window(QTemporaryDir& dir, CaptureOpener opener = {})
{
    frmMain::Options o;
    o.portDir = dir.path();
    o.captureDir = dir.path();
    o.kernelMajor = [] { return std::optional<int>(6); };
    if (opener)
        o.openCapture = opener;
    return std::make_unique<frmMain>(o);  // no `message`: message boxes
}

TEST(PlainTexts, MarkupFromOutsideIsShownAsTextInEveryMessageAndLabel)
{
    ASSERT_TRUE(Qt::mightBeRichText(kMarkup)) << "as rich text this would draw a heading";
    test::FakeOpener fake;
    const Place places[] = {
        {"a file that cannot be opened",
         [](const QString& outside, QTemporaryDir& dir) {
             auto w = Window(dir);
             return FromMessageBox([&] { w->OpenAndTell(outside); });
         },
         false},
        {"a message of the network routines",
         [](const QString& outside, QTemporaryDir&) {
             return FromMessageBox([&] { MessageBoxSink().ShowMessage(outside.toStdString()); });
         },
         true},
        {"a failure of the network routines",
         [](const QString& outside, QTemporaryDir&) {
             return FromMessageBox([&] { MessageBoxSink().ShowFailure("bind err", {"%1", {outside.toStdString()}}); });
         },
         false},
        {"the capture state naming its interface",
         [&fake](const QString& outside, QTemporaryDir& dir) {
             fake.state->interfaceName = outside.toStdString();
             auto w = Window(dir, fake.opener());
             w->Combo1()->addItem(QStringLiteral("10.9.0.1"));
             w->Combo1()->setCurrentIndex(w->Combo1()->count() - 1);
             w->StartCapture();
             return Of(w->stBState());
         },
         false},
        {"the progress of a long read",
         [](const QString& outside, QTemporaryDir&) {
             FileProgress progress(nullptr, outside);
             std::this_thread::sleep_for(std::chrono::milliseconds(FileProgress::kProgressAfterMs + 20));
             progress.Step(1);
             QProgressDialog* dialog = nullptr;
             for (QWidget* top : QApplication::topLevelWidgets())
                 if (top->objectName() == "dlgProgress")
                     dialog = qobject_cast<QProgressDialog*>(top);
             return Of(dialog ? dialog->findChild<QLabel*>() : nullptr);  // its one label
         },
         true},
        {"the port information window",
         [](const QString& outside, QTemporaryDir&) {
             QPointer<frmInfo> slot;
             frmInfo::ShowText(slot, outside);
             const Shown shown = Of(slot->findChild<QLabel*>(QStringLiteral("Label1")));
             slot->close();
             return shown;
         },
         true},
    };
    for (const Place& place : places) {
        SCOPED_TRACE(place.where);
        QTemporaryDir dir;
        test::WriteEmptyPortFiles(dir.path());
        const Shown shown = place.show(kMarkup, dir);
        ASSERT_TRUE(shown.found);
        EXPECT_EQ(shown.format, Qt::PlainText);
        EXPECT_EQ(shown.boxFormat, Qt::PlainText);
        if (place.whole)
            EXPECT_EQ(shown.text, kMarkup);
        else
            EXPECT_TRUE(shown.text.contains(kMarkup)) << shown.text.toStdString();
    }
}

}  // namespace
