// The filter dialog's Resolve buttons with the real host name look-up. The
// look-ups run in a private network namespace without any link, so a name
// that is not in the hosts file fails at once and no query leaves the machine.
#include <gtest/gtest.h>

#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>

#include "WidgetHelpers.h"
#include "filters/frmFiltro.h"
#include "ui/FormSupport.h"
#include "support/Netns.h"

using namespace quillet;
using quillet::test::Control;

TEST(FilterDialogResolve, RealLookUpOfKnownUnknownAndEmptyNames)
{
    quillet::testsupport::PrivateNetns isolated;
    FilterRegistry dFiltro;
    std::shared_ptr<const cFilter> cF;
    FilterDialogContext context;
    context.dFiltro = &dFiltro;
    context.cF = &cF;
    context.appendTab = [](const QString&) { return QString(); };
    context.resolve = HostNameResolver();
    QPointer<frmFiltro> slot;
    frmFiltro* dlg = frmFiltro::Open(slot, context);

    auto* src = Control<QLineEdit>(dlg, "txtSrcAddr");
    auto* dest = Control<QLineEdit>(dlg, "txtDestAddr");
    src->setText("localhost");
    Control<QPushButton>(dlg, "Command2")->click();
    EXPECT_EQ(src->text(), "127.0.0.1");
    EXPECT_EQ(Control<QPushButton>(dlg, "Command2")->text(), "Resolver");

    dest->setText("no-such-host.invalid");
    Control<QPushButton>(dlg, "Command3")->click();
    EXPECT_EQ(dest->text(), "Unknown");

    // An empty box: the local host's own address.
    src->clear();
    Control<QPushButton>(dlg, "Command2")->click();
    EXPECT_TRUE(QRegularExpression("^\\d{1,3}(\\.\\d{1,3}){3}$").match(src->text()).hasMatch()) << src->text().toStdString();
    delete dlg;
}
