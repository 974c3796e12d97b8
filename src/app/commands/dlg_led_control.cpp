#include "commands/dlg_led_control.h"

#include "commands/dialog_fields.h"

#include <QComboBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QVBoxLayout>

namespace quintrel {

namespace {

// In the order of the OSDP colour codes, so an item's index is the code sent.
QStringList Colors() {
    return {QStringLiteral("off"),           QStringLiteral("red"),  QStringLiteral("green"),
            QStringLiteral("yellow/orange"), QStringLiteral("blue"), QStringLiteral("pink"),
            QStringLiteral("cyan"),          QStringLiteral("white")};
}

const QString kOnTime = QStringLiteral("ON time (x 100ms)");
const QString kOffTime = QStringLiteral("OFF time (x 100ms)");
const QString kOnColor = QStringLiteral("ON color");
const QString kOffColor = QStringLiteral("OFF color");

} // namespace

TFormDlgLedControl::TFormDlgLedControl(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("FormDlgLedControl"));
    setWindowTitle(QStringLiteral("LED control"));
    const TLedControl defaults;

    EditLedNumber = NewNumberField(QStringLiteral("EditLedNumber"), defaults.LedNumber, this, 255);

    auto* temporary = new QGroupBox(QStringLiteral("Temporary settings"), this);
    EditTempControlCode =
        NewList(QStringLiteral("EditTempControlCode"),
                {QStringLiteral("Nop"), QStringLiteral("Cancel"), QStringLiteral("Set")},
                defaults.TempControlCode, temporary);
    EditTempOnTime =
        NewNumberField(QStringLiteral("EditTempOnTime"), defaults.TempOnTime, temporary, 255);
    EditTempOffTime =
        NewNumberField(QStringLiteral("EditTempOffTime"), defaults.TempOffTime, temporary, 255);
    EditTempOnColor =
        NewList(QStringLiteral("EditTempOnColor"), Colors(), defaults.TempOnColor, temporary);
    EditTempOffColor =
        NewList(QStringLiteral("EditTempOffColor"), Colors(), defaults.TempOffColor, temporary);
    EditTempTime =
        NewNumberField(QStringLiteral("EditTempTime"), defaults.TempTime, temporary, 65535);
    auto* temporaryForm = new QFormLayout(temporary);
    temporaryForm->addRow(QStringLiteral("Control code"), EditTempControlCode);
    temporaryForm->addRow(kOnTime, EditTempOnTime);
    temporaryForm->addRow(kOffTime, EditTempOffTime);
    temporaryForm->addRow(kOnColor, EditTempOnColor);
    temporaryForm->addRow(kOffColor, EditTempOffColor);
    temporaryForm->addRow(QStringLiteral("Time (x 100ms)"), EditTempTime);

    auto* permanent = new QGroupBox(QStringLiteral("Permanent settings"), this);
    EditPermControlCode = NewList(QStringLiteral("EditPermControlCode"),
                                  {QStringLiteral("Nop"), QStringLiteral("Set")},
                                  defaults.PermControlCode, permanent);
    EditPermOnTime =
        NewNumberField(QStringLiteral("EditPermOnTime"), defaults.PermOnTime, permanent, 255);
    EditPermOffTime =
        NewNumberField(QStringLiteral("EditPermOffTime"), defaults.PermOffTime, permanent, 255);
    EditPermOnColor =
        NewList(QStringLiteral("EditPermOnColor"), Colors(), defaults.PermOnColor, permanent);
    EditPermOffColor =
        NewList(QStringLiteral("EditPermOffColor"), Colors(), defaults.PermOffColor, permanent);
    auto* permanentForm = new QFormLayout(permanent);
    permanentForm->addRow(QStringLiteral("Control code"), EditPermControlCode);
    permanentForm->addRow(kOnTime, EditPermOnTime);
    permanentForm->addRow(kOffTime, EditPermOffTime);
    permanentForm->addRow(kOnColor, EditPermOnColor);
    permanentForm->addRow(kOffColor, EditPermOffColor);

    auto* layout = new QVBoxLayout(this);
    auto* top = new QFormLayout;
    top->addRow(QStringLiteral("LED number"), EditLedNumber);
    layout->addLayout(top);
    auto* groups = new QHBoxLayout;
    groups->addWidget(temporary);
    groups->addWidget(permanent, 0, Qt::AlignTop);
    layout->addLayout(groups);
    AddButtons(*this, QStringLiteral("Apply"), QStringLiteral("btnApply"), QStringLiteral("Close"),
               QStringLiteral("btnClose"));
}

std::optional<TLedControl> TFormDlgLedControl::Execute() {
    if (exec() != QDialog::Accepted) return std::nullopt;
    TLedControl values;
    values.LedNumber = NumberFieldValue(*EditLedNumber);
    values.TempControlCode = EditTempControlCode->currentIndex();
    values.TempOnTime = NumberFieldValue(*EditTempOnTime);
    values.TempOffTime = NumberFieldValue(*EditTempOffTime);
    values.TempOnColor = EditTempOnColor->currentIndex();
    values.TempOffColor = EditTempOffColor->currentIndex();
    values.TempTime = NumberFieldValue(*EditTempTime);
    values.PermControlCode = EditPermControlCode->currentIndex();
    values.PermOnTime = NumberFieldValue(*EditPermOnTime);
    values.PermOffTime = NumberFieldValue(*EditPermOffTime);
    values.PermOnColor = EditPermOnColor->currentIndex();
    values.PermOffColor = EditPermOffColor->currentIndex();
    return values;
}

} // namespace quintrel
