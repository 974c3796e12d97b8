#include "commands/dlg_com_config.h"

#include "commands/dialog_fields.h"

#include <QApplication>
#include <QComboBox>
#include <QFontMetrics>
#include <QFormLayout>
#include <QVBoxLayout>

namespace quintrel {

namespace {

constexpr int kAddressCount = 128; // 0 to 126 and the broadcast address

QStringList Addresses() {
    QStringList items;
    items.reserve(kAddressCount);
    for (int address = 0; address < kAddressCount; ++address)
        items << QString::number(address);
    return items;
}

} // namespace

TFormDlgComConfig::TFormDlgComConfig(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("FormDlgComConfig"));
    setWindowTitle(QStringLiteral("Communication configuration"));
    EditAddr = NewList(QStringLiteral("EditAddr"), Addresses(), 0, this);
    EditBaud = NewList(QStringLiteral("EditBaud"),
                       {QStringLiteral("1200"), QStringLiteral("2400"), QStringLiteral("4800"),
                        QStringLiteral("9600"), QStringLiteral("14400"), QStringLiteral("19200"),
                        QStringLiteral("38400"), QStringLiteral("57600"), QStringLiteral("115200")},
                       -1, this);
    EditBaud->setCurrentText(QStringLiteral("9600"));

    auto* layout = new QVBoxLayout(this);
    auto* form = new QFormLayout;
    form->addRow(QStringLiteral("New address"), EditAddr);
    form->addRow(QStringLiteral("Baudrate"), EditBaud);
    layout->addLayout(form);
    AddButtons(*this, QStringLiteral("OK"), QStringLiteral("btnOK"), QStringLiteral("Cancel"),
               QStringLiteral("btnCancel"));
    // Room for the whole title beside the title bar's buttons, in the title bar's font.
    const QFontMetrics title(QApplication::font("QMdiSubWindowTitleBar"));
    setMinimumWidth(title.horizontalAdvance(windowTitle()) + 4 * title.height() + 48);
}

std::optional<TComSetChoice> TFormDlgComConfig::Execute(int selectedAddress, int currentBaud) {
    // An index outside the list leaves it without a selection, as a rate outside it does.
    EditAddr->setCurrentIndex(
        selectedAddress >= 0 && selectedAddress < kAddressCount ? selectedAddress : -1);
    EditBaud->setCurrentIndex(EditBaud->findText(QString::number(currentBaud), Qt::MatchExactly));
    if (exec() != QDialog::Accepted) return std::nullopt;
    // A list without a selection shows, and gives, empty text.
    return TComSetChoice{EditAddr->currentIndex(), EditBaud->currentText()};
}

} // namespace quintrel
