#include "link/form_setup.h"

#include "commands/dialog_fields.h"

#include <QComboBox>
#include <QFormLayout>
#include <QPushButton>
#include <QScreen>
#include <QVBoxLayout>

namespace quintrel {

namespace {

QComboBox* NewList(const QString& name, const QStringList& items, QWidget* parent) {
    auto* combo = new QComboBox(parent);
    combo->setObjectName(name);
    combo->addItems(items);
    return combo;
}

// Numbers are found by their text, parity by its position, as the lists show them.
void SelectNumber(QComboBox* combo, int value) {
    combo->setCurrentIndex(combo->findText(QString::number(value), Qt::MatchExactly));
}

int SelectedNumber(const QComboBox* combo, int unchanged) {
    return combo->currentIndex() < 0 ? unchanged : combo->currentText().toInt();
}

} // namespace

TFormSetup::TFormSetup(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("FormSetup"));
    setWindowTitle(QStringLiteral("Setup Communication"));
    ComboBaud = NewList(QStringLiteral("ComboBaud"),
                        {QStringLiteral("1200"), QStringLiteral("2400"), QStringLiteral("9600"),
                         QStringLiteral("19200"), QStringLiteral("38400"), QStringLiteral("57600"),
                         QStringLiteral("115200")},
                        this);
    ComboDataBits =
        NewList(QStringLiteral("ComboDataBits"), {QStringLiteral("7"), QStringLiteral("8")}, this);
    ComboParity =
        NewList(QStringLiteral("ComboParity"),
                {QStringLiteral("None"), QStringLiteral("Odd"), QStringLiteral("Even")}, this);
    ComboStopBits =
        NewList(QStringLiteral("ComboStopBits"), {QStringLiteral("1"), QStringLiteral("2")}, this);

    auto* layout = new QVBoxLayout(this);
    auto* form = new QFormLayout;
    form->addRow(QStringLiteral("Baudrate"), ComboBaud);
    form->addRow(QStringLiteral("Databits"), ComboDataBits);
    form->addRow(QStringLiteral("Parity"), ComboParity);
    form->addRow(QStringLiteral("Stopbits"), ComboStopBits);
    layout->addLayout(form);
    AddButtons(*this, QStringLiteral("OK"), QStringLiteral("btnOK"), QStringLiteral("Cancel"),
               QStringLiteral("btnCancel"));
}

std::optional<TLineSettings> TFormSetup::Execute(const TLineSettings& current) {
    SelectNumber(ComboBaud, current.Baud);
    SelectNumber(ComboDataBits, current.DataBits);
    ComboParity->setCurrentIndex(
        current.Parity >= 0 && current.Parity < ComboParity->count() ? current.Parity : -1);
    SelectNumber(ComboStopBits, current.StopBits);
    if (exec() != QDialog::Accepted) return std::nullopt;

    TLineSettings chosen;
    chosen.Baud = SelectedNumber(ComboBaud, current.Baud);
    chosen.DataBits = SelectedNumber(ComboDataBits, current.DataBits);
    chosen.Parity = ComboParity->currentIndex() < 0 ? current.Parity : ComboParity->currentIndex();
    chosen.StopBits = SelectedNumber(ComboStopBits, current.StopBits);
    return chosen;
}

void TFormSetup::showEvent(QShowEvent* event) {
    if (QScreen* s = screen()) move(s->availableGeometry().center() - rect().center());
    QDialog::showEvent(event);
}

} // namespace quintrel
