#include "commands/dlg_buzzer_control.h"

#include "commands/dialog_fields.h"

#include <QComboBox>
#include <QFormLayout>
#include <QLineEdit>
#include <QVBoxLayout>

namespace quintrel {

TFormDlgBuzzerControl::TFormDlgBuzzerControl(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("FormDlgBuzzerControl"));
    setWindowTitle(QStringLiteral("Buzzer control"));
    const TBuzzerControl defaults;
    EditToneCode = NewList(QStringLiteral("EditToneCode"),
                           {QStringLiteral("Nop"), QStringLiteral("Cancel"), QStringLiteral("Set")},
                           defaults.ToneCode, this);
    EditOnTime = NewNumberField(QStringLiteral("EditOnTime"), defaults.OnTime, this, 255);
    EditOffTime = NewNumberField(QStringLiteral("EditOffTime"), defaults.OffTime, this, 255);
    EditCount = NewNumberField(QStringLiteral("EditCount"), defaults.Count, this, 255);

    auto* layout = new QVBoxLayout(this);
    auto* form = new QFormLayout;
    form->addRow(QStringLiteral("Control code"), EditToneCode);
    form->addRow(QStringLiteral("ON time (x 100ms)"), EditOnTime);
    form->addRow(QStringLiteral("OFF time (x 100ms)"), EditOffTime);
    form->addRow(QStringLiteral("Count"), EditCount);
    layout->addLayout(form);
    AddButtons(*this, QStringLiteral("Apply"), QStringLiteral("btnApply"), QStringLiteral("Close"),
               QStringLiteral("btnClose"));
}

std::optional<TBuzzerControl> TFormDlgBuzzerControl::Execute() {
    if (exec() != QDialog::Accepted) return std::nullopt;
    TBuzzerControl values;
    values.ToneCode = EditToneCode->currentIndex();
    values.OnTime = NumberFieldValue(*EditOnTime);
    values.OffTime = NumberFieldValue(*EditOffTime);
    values.Count = NumberFieldValue(*EditCount);
    return values;
}

} // namespace quintrel
