#include <gtest/gtest.h>

#include <QCheckBox>
#include <QGroupBox>
#include <QPushButton>
#include <QRadioButton>

#include "WidgetHelpers.h"
#include "ports/frmConfig.h"

using namespace quillet;
using quillet::test::Control;

namespace {

class ConfigDialog : public ::testing::Test {
protected:
    PortPreferences prefs;
    QPointer<frmConfig> slot;

    frmConfig* Open() { return frmConfig::Open(slot, prefs); }

    void Click(const char* name) { Control<QAbstractButton>(slot, name)->click(); }

    void Accept()
    {
        Click("Command1");
        test::FlushDeletes();
    }

    void ExpectStartState(const frmConfig* dlg)
    {
        EXPECT_FALSE(Control<QCheckBox>(dlg, "chkports")->isChecked());
        EXPECT_TRUE(Control<QGroupBox>(dlg, "Frame1")->isHidden());
        for (const char* option : {"Option1", "Option2", "Option3"})
            EXPECT_FALSE(Control<QRadioButton>(dlg, option)->isChecked()) << option;
    }

    void TearDown() override
    {
        delete slot.data();
        test::FlushDeletes();
    }
};

}  // namespace

TEST_F(ConfigDialog, OpensInItsStartState)
{
    frmConfig* dlg = Open();
    EXPECT_EQ(dlg->objectName(), "frmConfig");
    EXPECT_EQ(dlg->windowTitle(), "设置");
    EXPECT_EQ(dlg->size(), QSize(213, 156));  // 3195 x 2340 twips
    EXPECT_FALSE(dlg->isModal());
    ExpectStartState(dlg);
    EXPECT_EQ(Control<QCheckBox>(dlg, "chkports")->text(), "协议名称:");
    EXPECT_EQ(Control<QGroupBox>(dlg, "Frame1")->title(), "Preferences");
    EXPECT_EQ(Control<QGroupBox>(dlg, "Frame1")->geometry(), QRect(24, 32, 185, 89));
    EXPECT_EQ(Control<QRadioButton>(dlg, "Option1")->text(), "IANA");
    EXPECT_EQ(Control<QRadioButton>(dlg, "Option2")->text(), "Own");
    EXPECT_EQ(Control<QRadioButton>(dlg, "Option3")->text(), "Trojans");
    EXPECT_EQ(Control<QRadioButton>(dlg, "Option3")->geometry(), QRect(8, 64, 169, 17));
    EXPECT_EQ(Control<QRadioButton>(dlg, "Option3")->parentWidget()->objectName(), "Frame1");
    EXPECT_EQ(Control<QPushButton>(dlg, "Command1")->text(), "确定");
    EXPECT_EQ(Control<QPushButton>(dlg, "Command1")->geometry(), QRect(120, 128, 81, 25));
    EXPECT_EQ(Control<QCheckBox>(dlg, "chkports")->nextInFocusChain(), Control<QPushButton>(dlg, "Command1"));
}

TEST_F(ConfigDialog, AcceptingUntouchedSwitchesNamesOffAndChoosesTrojans)
{
    prefs.bPorts = true;
    prefs.Prefs = kIana;
    Open();
    Accept();
    EXPECT_FALSE(prefs.bPorts);
    EXPECT_EQ(prefs.Prefs, kTrojans);
    EXPECT_FALSE(slot);
}

TEST_F(ConfigDialog, CheckedOwnChoiceAndAFreshStartOnReopening)
{
    Open();
    Click("chkports");
    EXPECT_FALSE(Control<QGroupBox>(slot, "Frame1")->isHidden());
    Click("Option2");
    Accept();
    EXPECT_TRUE(prefs.bPorts);
    EXPECT_EQ(prefs.Prefs, kPredefs);

    ExpectStartState(Open());
    Click("chkports");
    Click("Option1");
    Click("Option3");  // one choice at a time
    EXPECT_FALSE(Control<QRadioButton>(slot, "Option1")->isChecked());
    Accept();
    EXPECT_TRUE(prefs.bPorts);
    EXPECT_EQ(prefs.Prefs, kTrojans);

    Open();
    Click("chkports");
    Click("Option1");
    Accept();
    EXPECT_EQ(prefs.Prefs, kIana);
}

TEST_F(ConfigDialog, AChoiceInTheHiddenFrameStillCounts)
{
    Open();
    Click("chkports");
    Click("Option1");
    Click("chkports");
    EXPECT_TRUE(Control<QGroupBox>(slot, "Frame1")->isHidden());
    EXPECT_FALSE(Control<QCheckBox>(slot, "chkports")->isChecked());
    prefs.Prefs = kTrojans;
    Accept();
    EXPECT_FALSE(prefs.bPorts);
    EXPECT_EQ(prefs.Prefs, kIana);
}

TEST_F(ConfigDialog, ClosingByTheFrameChangesNothingAndOneDialogAtATime)
{
    prefs.bPorts = true;
    prefs.Prefs = kPredefs;
    frmConfig* dlg = Open();
    Click("chkports");
    Click("Option3");
    EXPECT_EQ(Open(), dlg);
    EXPECT_TRUE(Control<QRadioButton>(dlg, "Option3")->isChecked());
    dlg->close();
    test::FlushDeletes();
    EXPECT_FALSE(slot);
    EXPECT_TRUE(prefs.bPorts);
    EXPECT_EQ(prefs.Prefs, kPredefs);
    ExpectStartState(Open());
}
