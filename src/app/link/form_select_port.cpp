#include "link/form_select_port.h"

#include "commands/dialog_fields.h"
#include "link/link.h"

#include <QComboBox>
#include <QLabel>
#include <QListWidget>
#include <QHeaderView>
#include <QPushButton>
#include <QStandardItemModel>
#include <QTreeView>
#include <QVBoxLayout>

namespace quintrel {

TFormSelectPort::TFormSelectPort(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("FormSelectPort"));
    setWindowTitle(QStringLiteral("Select Port"));
    auto* layout = new QVBoxLayout(this);

    auto* prompt = new QLabel(QStringLiteral("Please select the communication port:"), this);
    ComboPort = new QComboBox(this);
    ComboPort->setObjectName(QStringLiteral("ComboPort"));
    ComboPort->setEditable(true);
    ComboPort->setInsertPolicy(QComboBox::NoInsert);
    // The list shows each port's path and what the system says of it; the box takes the path.
    PortModel = new QStandardItemModel(0, 2, this);
    auto* list = new QTreeView(ComboPort);
    list->setObjectName(QStringLiteral("PortList"));
    list->setRootIsDecorated(false);
    list->setHeaderHidden(true);
    list->setAllColumnsShowFocus(true);
    list->setSelectionBehavior(QAbstractItemView::SelectRows);
    ComboPort->setModel(PortModel);
    ComboPort->setView(list);
    ComboPort->setModelColumn(0);
    prompt->setBuddy(ComboPort);
    layout->addWidget(prompt);
    layout->addWidget(ComboPort);

    auto* rateLabel = new QLabel(QStringLiteral("Baudrate:"), this);
    ListBaud = new QListWidget(this);
    ListBaud->setObjectName(QStringLiteral("ListBaud"));
    for (int rate : Rates)
        ListBaud->addItem(QString::number(rate));
    rateLabel->setBuddy(ListBaud);
    layout->addWidget(rateLabel);
    layout->addWidget(ListBaud);

    AddButtons(*this, QStringLiteral("OK"), QStringLiteral("btnOK"), QStringLiteral("Cancel"),
               QStringLiteral("btnCancel"));
    connect(ComboPort, &QComboBox::editTextChanged, this, &TFormSelectPort::UpdateRateList);
}

bool TFormSelectPort::RateApplies(const QString& portName) {
    if (portName.startsWith(QLatin1String("/dev/"))) return true;
    if (!portName.startsWith(QLatin1String("COM"))) return false;
    return portName.mid(3).toInt() != 0;
}

void TFormSelectPort::UpdateRateList() {
    ListBaud->setEnabled(RateApplies(ComboPort->currentText()));
}

std::optional<TPortChoice> TFormSelectPort::Execute(const TPortChoice& preset) {
    ComboPort->clear();
    for (const TLink::TSerialPortEntry& port : TLink::ListSerialPorts()) {
        auto* description = new QStandardItem(port.Description);
        description->setEditable(false);
        auto* path = new QStandardItem(port.Path);
        path->setEditable(false);
        path->setToolTip(port.Description);
        PortModel->appendRow({path, description});
    }
    ComboPort->addItem(QStringLiteral("hostname:portnumber"));
    auto* list = static_cast<QTreeView*>(ComboPort->view());
    list->header()->setStretchLastSection(true);
    list->resizeColumnToContents(0);
    list->resizeColumnToContents(1);
    list->setMinimumWidth(list->columnWidth(0) + list->columnWidth(1) + 24);
    const int known = ComboPort->findText(preset.PortName, Qt::MatchExactly);
    // A typed name must not leave an item current: Enter would put that item's text back.
    ComboPort->setCurrentIndex(known);
    if (known < 0) ComboPort->setEditText(preset.PortName);

    ListBaud->clearSelection();
    ListBaud->setCurrentRow(-1);
    const auto rate = ListBaud->findItems(QString::number(preset.Baud), Qt::MatchExactly);
    if (!rate.isEmpty()) ListBaud->setCurrentItem(rate.front());
    UpdateRateList();
    ComboPort->setFocus();

    if (exec() != QDialog::Accepted) return std::nullopt;
    const QList<QListWidgetItem*> chosen = ListBaud->selectedItems();
    return TPortChoice{ComboPort->currentText(),
                       chosen.isEmpty() ? 0 : chosen.front()->text().toInt()};
}

} // namespace quintrel
