#include "ports/frmConfig.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QGroupBox>
#include <QPushButton>
#include <QRadioButton>

#include "ui/FormSupport.h"

namespace quillet {

frmConfig::frmConfig(PortPreferences& prefs, QWidget* parent) : QWidget(parent, Qt::Window), prefs_(prefs)
{
    setObjectName(QStringLiteral("frmConfig"));
    setWindowTitle(tr("设置"));
    setFont(FormFont());
    resize(ClientSizeTwips(3195, 2340));

    chkports = new QCheckBox(tr("协议名称:"), this);
    chkports->setObjectName(QStringLiteral("chkports"));
    PlaceTwips(chkports, 0, 0, 3375, 375);

    Frame1 = new QGroupBox(tr("Preferences"), this);
    Frame1->setObjectName(QStringLiteral("Frame1"));
    PlaceTwips(Frame1, 360, 480, 2775, 1335);
    Frame1->hide();

    optionGroup = new QButtonGroup(this);  // at most one; none at start
    QRadioButton** options[] = {&Option1, &Option2, &Option3};
    const char* captions[] = {QT_TR_NOOP("IANA"), QT_TR_NOOP("Own"), QT_TR_NOOP("Trojans")};
    for (int i = 0; i < 3; ++i) {
        auto* option = new QRadioButton(tr(captions[i]), Frame1);
        option->setObjectName(QStringLiteral("Option%1").arg(i + 1));
        PlaceTwips(option, 120, 240 + 360 * i, 2535, 255);
        optionGroup->addButton(option);
        *options[i] = option;
    }

    Command1 = new QPushButton(tr("确定"), this);
    Command1->setObjectName(QStringLiteral("Command1"));
    PlaceTwips(Command1, 1800, 1920, 1215, 375);

    setTabOrder(chkports, Command1);
    setTabOrder(Command1, Option1);
    setTabOrder(Option1, Option2);
    setTabOrder(Option2, Option3);

    connect(chkports, &QCheckBox::clicked, this, &frmConfig::chkports_Click);
    connect(Command1, &QPushButton::clicked, this, &frmConfig::Command1_Click);
}

frmConfig* frmConfig::Open(QPointer<frmConfig>& slot, PortPreferences& prefs)
{
    return ShowSingle(slot, [&] { return new frmConfig(prefs); });
}

void frmConfig::chkports_Click()
{
    Frame1->setHidden(!Frame1->isHidden());
}

void frmConfig::Command1_Click()
{
    prefs_.bPorts = chkports->isChecked();
    prefs_.Prefs = Option1->isChecked() ? kIana : Option2->isChecked() ? kPredefs : kTrojans;
    close();
}

}  // namespace quillet
