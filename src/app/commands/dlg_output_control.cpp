#include "commands/dlg_output_control.h"

#include "commands/dialog_fields.h"

#include <QComboBox>
#include <QFormLayout>
#include <QLineEdit>
#include <QVBoxLayout>

namespace quintrel {

namespace {

// Control codes that run the output's timer.
constexpr int kTimedOn = 5;
constexpr int kTimedOff = 6;

} // namespace

TFormDlgOutputControl::TFormDlgOutputControl(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("FormDlgOutputControl"));
    setWindowTitle(QStringLiteral("Output control"));
    const TOutputControl defaults;
    EditOutputNumber =
        NewNumberField(QStringLiteral("EditOutputNumber"), defaults.OutputNumber, this, 255);
    EditControlCode = NewList(
        QStringLiteral("EditControlCode"),
        {QStringLiteral("Nop"), QStringLiteral("OFF (immediate)"), QStringLiteral("ON (immediate)"),
         QStringLiteral("OFF (when timer done)"), QStringLiteral("ON (when timer done)"),
         QStringLiteral("Timed ON"), QStringLiteral("Timed OFF")},
        defaults.ControlCode, this);
    EditTimer = NewNumberField(QStringLiteral("EditTimer"), defaults.Time, this, 65535);

    auto* layout = new QVBoxLayout(this);
    auto* form = new QFormLayout;
    form->addRow(QStringLiteral("Output number"), EditOutputNumber);
    form->addRow(QStringLiteral("Control code"), EditControlCode);
    form->addRow(QStringLiteral("Time (x 100ms)"), EditTimer);
    layout->addLayout(form);
    AddButtons(*this, QStringLiteral("Apply"), QStringLiteral("btnApply"), QStringLiteral("Close"),
               QStringLiteral("btnClose"));

    connect(EditControlCode, &QComboBox::currentIndexChanged, this,
            &TFormDlgOutputControl::UpdateTimerEnabled);
    UpdateTimerEnabled();
}

std::optional<TOutputControl> TFormDlgOutputControl::Execute() {
    if (exec() != QDialog::Accepted) return std::nullopt;
    // The time is read even while its field is disabled: the command always carries one.
    TOutputControl values;
    values.OutputNumber = NumberFieldValue(*EditOutputNumber);
    values.ControlCode = EditControlCode->currentIndex();
    values.Time = NumberFieldValue(*EditTimer);
    return values;
}

void TFormDlgOutputControl::UpdateTimerEnabled() {
    const int code = EditControlCode->currentIndex();
    EditTimer->setEnabled(code == kTimedOn || code == kTimedOff);
}

} // namespace quintrel
