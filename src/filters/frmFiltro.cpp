#include "filters/frmFiltro.h"

#include <exception>

#include <QButtonGroup>
#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>

#include "ui/FormSupport.h"

namespace quillet {
namespace {

template <typename T>
T* Make(QWidget* container, const char* name, const QString& text, int left, int top, int width, int height)
{
    auto* control = new T(container);
    control->setObjectName(QString::fromLatin1(name));
    control->setText(text);
    PlaceTwips(control, left, top, width, height);
    return control;
}

}  // namespace

struct frmFiltro::AddressRowNames {
    const char* frame;
    const char* check;
    int checkWidth;
    QString checkText;
    const char* label;
    QString labelText;
    const char* box;
    const char* button;
};

// An address row: a frame without caption whose check box sits on its top
// edge, a label, the address box and its Resolve button.
void frmFiltro::MakeAddressRow(int top, const AddressRowNames& names, AddressRow& row)
{
    row.frame = new QGroupBox(this);
    row.frame->setObjectName(QString::fromLatin1(names.frame));
    PlaceTwips(row.frame, 0, top, 4035, 615);
    row.check = Make<QCheckBox>(row.frame, names.check, names.checkText, 60, 0, names.checkWidth, 210);
    row.check->setAutoFillBackground(true);
    row.label = Make<QLabel>(row.frame, names.label, names.labelText, 120, 300, 795, 255);
    row.box = Make<QLineEdit>(row.frame, names.box, QString(), 900, 240, 2055, 315);
    row.resolve = Make<QPushButton>(row.frame, names.button, tr("Resolve"), 3000, 240, 975, 315);
}

frmFiltro::frmFiltro(FilterDialogContext context, QWidget* parent)
    : QWidget(parent, Qt::Window), context_(std::move(context))
{
    setObjectName(QStringLiteral("frmFiltro"));
    setWindowTitle(tr("筛选"));
    setFont(FormFont());
    setFixedSize(ClientSizeTwips(4080, 2505));

    txtNombre = Make<QLineEdit>(this, "txtNombre", QStringLiteral("[NAME]"), 960, 60, 2715, 285);
    MakeAddressRow(540, {"fraSrc", "chkFiltroE", 1515, tr("接收"), "Label3", tr("来源 Ip:"),
                         "txtSrcAddr", "Command2"},
                   src_);
    Option1 = Make<QRadioButton>(this, "Option1", tr("AND"), 960, 1200, 675, 195);
    Option2 = Make<QRadioButton>(this, "Option2", tr("OR"), 1860, 1200, 675, 195);
    optionGroup = new QButtonGroup(this);
    optionGroup->addButton(Option1);
    optionGroup->addButton(Option2);
    Option1->setChecked(true);
    MakeAddressRow(1440, {"fraDest", "chkFiltroS", 1875, tr("发送"), "Label9", tr("目标 Ip:"),
                          "txtDestAddr", "Command3"},
                   dest_);
    Command1 = Make<QPushButton>(this, "Command1", tr("确定"), 2820, 2100, 1215, 375);

    connect(Command1, &QPushButton::clicked, this, &frmFiltro::Command1_Click);
    connect(src_.resolve, &QPushButton::clicked, this, &frmFiltro::Command2_Click);
    connect(dest_.resolve, &QPushButton::clicked, this, &frmFiltro::Command3_Click);
}

frmFiltro* frmFiltro::Open(QPointer<frmFiltro>& slot, const FilterDialogContext& context)
{
    return ShowSingle(slot, [&] { return new frmFiltro(context); });
}

void frmFiltro::Tell(const QString& text)
{
    if (context_.message)
        context_.message(text);
    else
        ShowMessageBox(this, text);
}

void frmFiltro::Command1_Click()
{
    try {
        const QString name = txtNombre->text();
        const std::string key = name.toStdString();
        if (context_.dFiltro->exists(key)) {
            Tell(tr("Filter Name already exists!"));
            return;
        }

        auto filter = std::make_shared<cFilter>();
        if (src_.check->isChecked()) {
            filter->bSrc = true;
            filter->Src = src_.box->text().toStdString();
        }
        if (dest_.check->isChecked()) {
            filter->bDest = true;
            filter->Dest = dest_.box->text().toStdString();
        }
        // With a single criterion it decides alone, whatever option is chosen.
        if (filter->bSrc && filter->bDest && Option1->isChecked())
            filter->bAND = true;

        // Every filter tab must have its registry entry: a name the tab strip
        // refuses is not registered, and the dialog stays open to change it.
        if (context_.addFilter) {
            if (const QString refusal = context_.addFilter(name, filter); !refusal.isEmpty()) {
                Tell(tr("筛选器“%1”未建立：%2").arg(name, refusal));
                return;
            }
            close();
            return;
        }
        const QString refusal = context_.appendTab ? context_.appendTab(name) : QString();
        if (!refusal.isEmpty()) {
            Tell(tr("筛选器“%1”未建立：%2").arg(name, refusal));
            return;
        }

        context_.dFiltro->assign(key, filter);
        if (context_.cF)
            *context_.cF = filter;
        close();
    } catch (const std::exception& error) {
        Tell(QString::fromStdString(error.what()));
    }
}

void frmFiltro::Command2_Click()
{
    Resolve(src_.resolve, src_.box);
}

void frmFiltro::Command3_Click()
{
    Resolve(dest_.resolve, dest_.box);
}

void frmFiltro::Resolve(QPushButton* button, QLineEdit* box)
{
    button->setText(tr("Espera..."));
    // The look-up blocks; let the caption be seen meanwhile.
    button->repaint();
    try {
        if (context_.resolve)
            box->setText(QString::fromStdString(context_.resolve(box->text().toStdString())));
    } catch (const std::exception& error) {
        Tell(QString::fromStdString(error.what()));
    }
    button->setText(tr("Resolver"));
}

}  // namespace quillet
