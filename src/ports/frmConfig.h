#pragma once

#include <QPointer>
#include <QWidget>

#include "ports/PortDatabases.h"

class QButtonGroup;
class QCheckBox;
class QGroupBox;
class QPushButton;
class QRadioButton;

namespace quillet {

// The preferences dialog: whether the list's port columns show names, and
// from which database. Always opens in its start state; accepting writes
// both preferences and closes, closing by the window frame changes nothing.
class frmConfig : public QWidget {
    Q_OBJECT

public:
    explicit frmConfig(PortPreferences& prefs, QWidget* parent = nullptr);

    // Shows the open dialog as it is, or a new one in the start state.
    static frmConfig* Open(QPointer<frmConfig>& slot, PortPreferences& prefs);

    // Turns the visibility of the database choices over.
    void chkports_Click();
    // Accept: bPorts from the check box; Prefs 0 for IANA, 1 for Own, and 2
    // for Trojans or no choice; then closes.
    void Command1_Click();

private:
    PortPreferences& prefs_;

    QCheckBox* chkports;
    QGroupBox* Frame1;
    QRadioButton* Option1;
    QRadioButton* Option2;
    QRadioButton* Option3;
    QButtonGroup* optionGroup;
    QPushButton* Command1;
};

}  // namespace quillet
