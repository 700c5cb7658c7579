#include <gtest/gtest.h>

#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>

#include "WidgetHelpers.h"
#include "filters/frmFiltro.h"

using namespace quillet;
using quillet::test::Control;

namespace {

class FilterDialog : public ::testing::Test {
protected:
    FilterRegistry dFiltro;
    std::shared_ptr<const cFilter> cF;
    QStringList tabs;
    QStringList messages;
    QString refuseTab;  // non-empty: the tab strip refuses every name with it
    QStringList resolved;
    QStringList captionsDuringResolve;
    QPointer<frmFiltro> slot;

    FilterDialogContext Context()
    {
        FilterDialogContext c;
        c.dFiltro = &dFiltro;
        c.cF = &cF;
        c.appendTab = [this](const QString& name) {
            if (!refuseTab.isEmpty())
                return refuseTab;
            tabs << name;
            return QString();
        };
        c.resolve = [this](const std::string& name) -> std::string {
            resolved << QString::fromStdString(name);
            for (const char* button : {"Command2", "Command3"})
                captionsDuringResolve << Control<QPushButton>(slot, button)->text();
            if (name.empty())
                return "10.77.0.1";
            if (name == "unreadable")
                return "";
            return name == "gateway.test" ? "10.77.0.254" : "Unknown";
        };
        c.message = [this](const QString& text) { messages << text; };
        return c;
    }

    frmFiltro* Open() { return frmFiltro::Open(slot, Context()); }

    // Fills the dialog as a user would and presses 确定.
    void Accept(const QString& name, bool src, const QString& srcAddr, bool dest, const QString& destAddr,
                bool andChosen)
    {
        frmFiltro* dlg = Open();
        Control<QLineEdit>(dlg, "txtNombre")->setText(name);
        if (src)
            Control<QCheckBox>(dlg, "chkFiltroE")->click();
        Control<QLineEdit>(dlg, "txtSrcAddr")->setText(srcAddr);
        if (dest)
            Control<QCheckBox>(dlg, "chkFiltroS")->click();
        Control<QLineEdit>(dlg, "txtDestAddr")->setText(destAddr);
        Control<QRadioButton>(dlg, andChosen ? "Option1" : "Option2")->click();
        Control<QPushButton>(dlg, "Command1")->click();
        test::FlushDeletes();
    }

    const cFilter* Registered(const char* name)
    {
        const auto* entry = dFiltro.find(name);
        return entry ? entry->get() : nullptr;
    }

    void TearDown() override
    {
        delete slot.data();
        test::FlushDeletes();
    }
};

}  // namespace

TEST_F(FilterDialog, OpensWithItsStartValuesAndLayout)
{
    frmFiltro* dlg = Open();
    EXPECT_EQ(dlg->objectName(), "frmFiltro");
    EXPECT_EQ(dlg->windowTitle(), "筛选");
    EXPECT_EQ(dlg->size(), QSize(272, 167));  // 4080 x 2505 twips
    EXPECT_EQ(Control<QLineEdit>(dlg, "txtNombre")->text(), "[NAME]");
    EXPECT_EQ(Control<QLineEdit>(dlg, "txtNombre")->geometry(), QRect(64, 4, 181, 19));
    EXPECT_FALSE(Control<QCheckBox>(dlg, "chkFiltroE")->isChecked());
    EXPECT_FALSE(Control<QCheckBox>(dlg, "chkFiltroS")->isChecked());
    EXPECT_EQ(Control<QCheckBox>(dlg, "chkFiltroE")->text(), "接收");
    EXPECT_EQ(Control<QCheckBox>(dlg, "chkFiltroS")->text(), "发送");
    EXPECT_EQ(Control<QLabel>(dlg, "Label3")->text(), "来源 Ip:");
    EXPECT_EQ(Control<QLabel>(dlg, "Label9")->text(), "目标 Ip:");
    EXPECT_TRUE(Control<QLineEdit>(dlg, "txtSrcAddr")->text().isEmpty());
    EXPECT_TRUE(Control<QLineEdit>(dlg, "txtDestAddr")->text().isEmpty());
    EXPECT_TRUE(Control<QRadioButton>(dlg, "Option1")->isChecked());
    EXPECT_FALSE(Control<QRadioButton>(dlg, "Option2")->isChecked());
    EXPECT_EQ(Control<QPushButton>(dlg, "Command2")->text(), "Resolve");
    EXPECT_EQ(Control<QPushButton>(dlg, "Command3")->text(), "Resolve");
    EXPECT_EQ(Control<QPushButton>(dlg, "Command1")->text(), "确定");
    EXPECT_EQ(Control<QPushButton>(dlg, "Command1")->geometry(), QRect(188, 140, 81, 25));

    // The address rows sit in their frames, positions relative to them.
    auto* destRow = Control<QLineEdit>(dlg, "txtDestAddr");
    EXPECT_EQ(destRow->geometry(), QRect(60, 16, 137, 21));
    EXPECT_EQ(destRow->parentWidget()->geometry(), QRect(0, 96, 269, 41));
    EXPECT_EQ(Control<QCheckBox>(dlg, "chkFiltroS")->parentWidget(), destRow->parentWidget());
    EXPECT_EQ(Control<QCheckBox>(dlg, "chkFiltroE")->geometry(), QRect(4, 0, 101, 14));

    // AND and OR exclude each other.
    Control<QRadioButton>(dlg, "Option2")->click();
    EXPECT_FALSE(Control<QRadioButton>(dlg, "Option1")->isChecked());
}

TEST_F(FilterDialog, ExistingNameIsRefusedAndTheDialogKeepsItsContents)
{
    auto previous = std::make_shared<cFilter>();
    dFiltro.assign("web", previous);
    cF = previous;

    frmFiltro* dlg = Open();
    Control<QLineEdit>(dlg, "txtNombre")->setText("web");
    Control<QCheckBox>(dlg, "chkFiltroE")->click();
    Control<QLineEdit>(dlg, "txtSrcAddr")->setText("10.77.0.2");
    Control<QPushButton>(dlg, "Command1")->click();
    test::FlushDeletes();

    EXPECT_EQ(messages, QStringList{"Filter Name already exists!"});
    EXPECT_EQ(dFiltro.count(), 1u);
    EXPECT_EQ(dFiltro.find("web")->get(), previous.get());
    EXPECT_EQ(cF, previous);
    EXPECT_TRUE(tabs.isEmpty());
    ASSERT_TRUE(slot);
    EXPECT_TRUE(slot->isVisible());
    EXPECT_TRUE(Control<QCheckBox>(slot, "chkFiltroE")->isChecked());
    EXPECT_EQ(Control<QLineEdit>(slot, "txtSrcAddr")->text(), "10.77.0.2");

    // Names compare case-sensitively: another spelling is a new filter.
    Control<QLineEdit>(slot, "txtNombre")->setText("Web");
    Control<QPushButton>(slot, "Command1")->click();
    test::FlushDeletes();
    EXPECT_EQ(dFiltro.count(), 2u);
    EXPECT_EQ(tabs, QStringList{"Web"});
    EXPECT_FALSE(slot);
}

TEST_F(FilterDialog, CriteriaAndTheAndOrChoice)
{
    Accept("both-and", true, "10.77.0.1", true, "10.77.0.2", true);
    Accept("both-or", true, "10.77.0.1", true, "10.77.0.2", false);
    Accept("src-and", true, "10.77.0.1", false, "10.77.0.9", true);
    Accept("dest-and", false, "10.77.0.9", true, "10.77.0.2", true);
    Accept("none", false, "10.77.0.1", false, "10.77.0.2", true);
    EXPECT_TRUE(messages.isEmpty());
    EXPECT_EQ(tabs, (QStringList{"both-and", "both-or", "src-and", "dest-and", "none"}));
    ASSERT_EQ(dFiltro.count(), 5u);
    EXPECT_EQ(cF.get(), Registered("none"));

    const cFilter* f = Registered("both-and");
    EXPECT_TRUE(f->bAND && f->bSrc && f->bDest);
    EXPECT_EQ(f->Src, "10.77.0.1");
    EXPECT_EQ(f->Dest, "10.77.0.2");
    EXPECT_TRUE(f->Admits("10.77.0.1", "10.77.0.2"));
    EXPECT_FALSE(f->Admits("10.77.0.1", "10.77.0.3"));

    f = Registered("both-or");
    EXPECT_FALSE(f->bAND);
    EXPECT_TRUE(f->Admits("10.77.0.1", "10.77.0.3"));
    EXPECT_TRUE(f->Admits("10.77.0.5", "10.77.0.2"));

    // One criterion decides alone although AND was chosen; the unticked
    // row's text is not taken.
    f = Registered("src-and");
    EXPECT_FALSE(f->bAND);
    EXPECT_FALSE(f->bDest);
    EXPECT_TRUE(f->Dest.empty());
    EXPECT_TRUE(f->Admits("10.77.0.1", "1.2.3.4"));
    f = Registered("dest-and");
    EXPECT_FALSE(f->bAND);
    EXPECT_TRUE(f->Src.empty());
    EXPECT_TRUE(f->Admits("1.2.3.4", "10.77.0.2"));

    // No criterion: a filter and a tab that admit nothing.
    f = Registered("none");
    EXPECT_FALSE(f->bSrc || f->bDest || f->bAND);
    EXPECT_FALSE(f->Admits("10.77.0.1", "10.77.0.2"));
}

TEST_F(FilterDialog, NamesAndAddressesAreTakenAsTyped)
{
    Accept("[NAME]", true, " 10.77.0.1", false, "", true);
    Accept("", false, "", true, "", true);
    Accept("过滤 1", true, "10.77.0.1", false, "", true);
    ASSERT_NE(Registered("[NAME]"), nullptr);
    EXPECT_EQ(Registered("[NAME]")->Src, " 10.77.0.1");
    EXPECT_FALSE(Registered("[NAME]")->Admits("10.77.0.1", ""));
    ASSERT_NE(Registered(""), nullptr);
    EXPECT_TRUE(Registered("")->bDest);
    EXPECT_FALSE(Registered("")->Admits("10.77.0.1", "10.77.0.2"));
    EXPECT_NE(Registered("过滤 1"), nullptr);
    EXPECT_EQ(tabs, (QStringList{"[NAME]", "", "过滤 1"}));
}

TEST_F(FilterDialog, NameTheTabStripRefusesIsNotRegistered)
{
    refuseTab = "a tab with this key exists";
    frmFiltro* dlg = Open();
    Control<QLineEdit>(dlg, "txtNombre")->setText("dup");
    Control<QPushButton>(dlg, "Command1")->click();
    test::FlushDeletes();
    EXPECT_EQ(dFiltro.count(), 0u);
    EXPECT_EQ(cF, nullptr);
    ASSERT_EQ(messages.size(), 1);
    EXPECT_TRUE(messages[0].contains("dup"));
    EXPECT_TRUE(messages[0].contains(refuseTab));
    ASSERT_TRUE(slot);
    EXPECT_TRUE(slot->isVisible());

    refuseTab.clear();
    Control<QPushButton>(slot, "Command1")->click();
    EXPECT_NE(Registered("dup"), nullptr);
    EXPECT_EQ(tabs, QStringList{"dup"});
}

TEST_F(FilterDialog, ResolveReplacesTheBoxAndShowsItsCaptions)
{
    frmFiltro* dlg = Open();
    auto* src = Control<QLineEdit>(dlg, "txtSrcAddr");
    auto* dest = Control<QLineEdit>(dlg, "txtDestAddr");
    src->setText("no.such.host");
    Control<QPushButton>(dlg, "Command2")->click();
    EXPECT_EQ(src->text(), "Unknown");
    EXPECT_EQ(captionsDuringResolve, (QStringList{"Espera...", "Resolve"}));
    EXPECT_EQ(Control<QPushButton>(dlg, "Command2")->text(), "Resolver");
    EXPECT_EQ(Control<QPushButton>(dlg, "Command3")->text(), "Resolve");

    // An empty box gets the local host's address.
    Control<QPushButton>(dlg, "Command3")->click();
    EXPECT_EQ(dest->text(), "10.77.0.1");
    EXPECT_EQ(Control<QPushButton>(dlg, "Command3")->text(), "Resolver");
    EXPECT_EQ(resolved, (QStringList{"no.such.host", ""}));

    // The caption stays "Resolver" on later use.
    dest->setText("gateway.test");
    Control<QPushButton>(dlg, "Command3")->click();
    EXPECT_EQ(dest->text(), "10.77.0.254");
    EXPECT_EQ(captionsDuringResolve.mid(4), (QStringList{"Resolver", "Espera..."}));
    EXPECT_EQ(Control<QPushButton>(dlg, "Command3")->text(), "Resolver");

    // A look-up that yields nothing empties the box.
    src->setText("unreadable");
    Control<QPushButton>(dlg, "Command2")->click();
    EXPECT_TRUE(src->text().isEmpty());

    // A filter accepted with "Unknown" in its box admits nothing.
    src->setText("no.such.host");
    Control<QPushButton>(dlg, "Command2")->click();
    Control<QCheckBox>(dlg, "chkFiltroE")->click();
    Control<QLineEdit>(dlg, "txtNombre")->setText("unresolved");
    Control<QPushButton>(dlg, "Command1")->click();
    ASSERT_NE(Registered("unresolved"), nullptr);
    EXPECT_EQ(Registered("unresolved")->Src, "Unknown");
    EXPECT_FALSE(Registered("unresolved")->Admits("10.77.0.1", "10.77.0.2"));
}

TEST_F(FilterDialog, OneDialogAtATimeAndEveryOpeningStartsAfresh)
{
    frmFiltro* first = Open();
    Control<QLineEdit>(first, "txtNombre")->setText("half done");
    Control<QRadioButton>(first, "Option2")->click();
    EXPECT_EQ(Open(), first);
    EXPECT_EQ(Control<QLineEdit>(first, "txtNombre")->text(), "half done");
    EXPECT_TRUE(first->isVisible());
    EXPECT_FALSE(first->isModal());

    // The close box creates nothing.
    first->close();
    test::FlushDeletes();
    EXPECT_FALSE(slot);
    EXPECT_EQ(dFiltro.count(), 0u);
    EXPECT_TRUE(tabs.isEmpty());

    frmFiltro* second = Open();
    EXPECT_EQ(Control<QLineEdit>(second, "txtNombre")->text(), "[NAME]");
    EXPECT_TRUE(Control<QRadioButton>(second, "Option1")->isChecked());
}

TEST_F(FilterDialog, WithoutAMessageCallbackTheRefusalIsAMessageBox)
{
    dFiltro.assign("taken", std::make_shared<cFilter>());
    FilterDialogContext context = Context();
    context.message = nullptr;
    frmFiltro* dlg = frmFiltro::Open(slot, context);
    Control<QLineEdit>(dlg, "txtNombre")->setText("taken");
    test::SeenMessageBox seen;
    test::AnswerNextMessageBox(seen);
    Control<QPushButton>(dlg, "Command1")->click();
    ASSERT_TRUE(seen.seen);
    EXPECT_EQ(seen.title, "Quillet");
    EXPECT_EQ(seen.text, "Filter Name already exists!");
    EXPECT_EQ(seen.icon, QMessageBox::NoIcon);
    EXPECT_EQ(seen.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    EXPECT_TRUE(slot);
}
