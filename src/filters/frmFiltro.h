#pragma once

#include <functional>
#include <memory>
#include <string>

#include <QPointer>
#include <QWidget>

#include "filters/cFilter.h"

class QButtonGroup;
class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;

namespace quillet {

// What the filter dialog works on. Everything belongs to the main window.
struct FilterDialogContext {
    FilterRegistry* dFiltro = nullptr;
    // The current filter; pointed at a filter when it is registered.
    std::shared_ptr<const cFilter>* cF = nullptr;
    // Appends a tab with the name as key and caption to the filter tab strip,
    // without selecting it. Returns an empty text when the tab was added, or
    // why the tab strip cannot take the name.
    std::function<QString(const QString& name)> appendTab;
    // The registry's own way in: registers the filter with its tab, or
    // neither, returning why not. When set, it is used instead of dFiltro,
    // cF and appendTab, which only tell whether the name is taken.
    std::function<QString(const QString& name, std::shared_ptr<const cFilter> filter)> addFilter;
    // Host name look-up: dotted address, "Unknown", or an empty text after
    // showing its own message.
    std::function<std::string(const std::string& name)> resolve;
    // Shows a message to the user; a message box when not set.
    std::function<void(const QString& text)> message;
};

// The filter editor: names a filter, chooses its address criteria and AND/OR,
// and on acceptance registers it with a tab of its own. Modeless; open it
// through Open() so there is one at a time.
class frmFiltro : public QWidget {
    Q_OBJECT

public:
    explicit frmFiltro(FilterDialogContext context, QWidget* parent = nullptr);

    // Shows the open dialog as it is, or a new one with the start values.
    static frmFiltro* Open(QPointer<frmFiltro>& slot, const FilterDialogContext& context);

    // Accept: refuses a name already registered; otherwise makes the filter,
    // appends its tab, registers it and closes.
    void Command1_Click();
    // Resolve the source (2) or destination (3) address box.
    void Command2_Click();
    void Command3_Click();

private:
    void Resolve(QPushButton* button, QLineEdit* box);
    void Tell(const QString& text);

    FilterDialogContext context_;

    // One address row: source (chkFiltroE, Label3, txtSrcAddr, Command2) or
    // destination (chkFiltroS, Label9, txtDestAddr, Command3).
    struct AddressRow {
        QGroupBox* frame = nullptr;
        QCheckBox* check = nullptr;
        QLabel* label = nullptr;
        QLineEdit* box = nullptr;
        QPushButton* resolve = nullptr;
    };
    struct AddressRowNames;
    void MakeAddressRow(int top, const AddressRowNames& names, AddressRow& row);

    QLineEdit* txtNombre;
    AddressRow src_;
    QRadioButton* Option1;
    QRadioButton* Option2;
    QButtonGroup* optionGroup;
    AddressRow dest_;
    QPushButton* Command1;
};

}  // namespace quillet
