#include "maintenance/form_edit_cust_codes.h"

#include "commands/dialog_fields.h"
#include "maintenance/cust_codes.h"

#include <QApplication>
#include <QComboBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QInputDialog>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QTableWidget>
#include <QToolButton>
#include <QVBoxLayout>

namespace quintrel {

namespace {

QToolButton* NewSpeedButton(const char* name, const QString& caption, QWidget* parent) {
    auto* button = new QToolButton(parent);
    button->setObjectName(QLatin1String(name));
    button->setText(caption);
    button->setAutoRaise(false); // drawn as a button, not as a label
    return button;
}

struct TAddItem {
    const char* Name;
    const char* Caption;
    const char* Prompt;
    TCodeKind Kind;
};
constexpr TAddItem kAddItems[] = {
    {"mnuAddCF", "CF-code", "Enter CF-code (within range from 1 to 999): ", TCodeKind::CF},
    {"mnuAddDF", "DF-code", "Enter DF-code (within range from 1 to 9999): ", TCodeKind::DF},
    {"mnuAddGF", "GF-code", "Enter GF-code (within range from 1 to 255): ", TCodeKind::GF},
};

void ShowError(QWidget* parent, const QString& text) {
    QMessageBox::critical(parent, QApplication::applicationName(), text);
}

} // namespace

TFormEditCustCodes::TFormEditCustCodes(TMaintenanceRecords& records,
                                       std::function<bool()> readLastCode, QWidget* parent)
    : QDialog(parent), Records(records), ReadLastCode(std::move(readLastCode)) {
    setObjectName(QStringLiteral("FormEditCustCodes"));
    setWindowTitle(QStringLiteral("Edit customer codes"));
    auto* layout = new QVBoxLayout(this);

    auto* top = new QHBoxLayout;
    top->addWidget(new QLabel(QStringLiteral("Customer codes:"), this));
    CustCodeEnable =
        NewList(QStringLiteral("CustCodeEnable"),
                {QStringLiteral("Read any"), QStringLiteral("Only valid customer-code"),
                 QStringLiteral("Valid customer-code + other formats")},
                0, this);
    top->addWidget(CustCodeEnable, 1);
    btnAdd = NewSpeedButton("btnAdd", QStringLiteral("Add"), this);
    btnDelete = NewSpeedButton("btnDelete", QStringLiteral("Delete"), this);
    btnCheck = NewSpeedButton("btnCheck", QStringLiteral("Last customer-code"), this);
    for (QToolButton* b : {btnAdd, btnDelete, btnCheck})
        top->addWidget(b);
    layout->addLayout(top);

    ListView1 = new QTableWidget(0, 1, this);
    ListView1->setObjectName(QStringLiteral("ListView1"));
    ListView1->horizontalHeader()->hide();
    ListView1->verticalHeader()->hide();
    ListView1->horizontalHeader()->setStretchLastSection(true);
    ListView1->setShowGrid(true);
    ListView1->setSelectionBehavior(QAbstractItemView::SelectRows);
    ListView1->setSelectionMode(QAbstractItemView::ExtendedSelection);
    ListView1->setEditTriggers(QAbstractItemView::NoEditTriggers);
    layout->addWidget(ListView1);

    PopupMenuAdd = new QMenu(this);
    PopupMenuAdd->setObjectName(QStringLiteral("PopupMenuAdd"));
    for (const TAddItem& item : kAddItems) {
        QAction* action = PopupMenuAdd->addAction(QLatin1String(item.Caption));
        action->setObjectName(QLatin1String(item.Name));
        const int kind = static_cast<int>(item.Kind);
        connect(action, &QAction::triggered, this, [this, kind] { AddTyped(kind); });
    }
    connect(btnAdd, &QToolButton::clicked, this,
            [this] { PopupMenuAdd->popup(btnAdd->mapToGlobal(QPoint(0, btnAdd->height()))); });
    connect(btnDelete, &QToolButton::clicked, this, &TFormEditCustCodes::btnDeleteClick);
    connect(btnCheck, &QToolButton::clicked, this, &TFormEditCustCodes::btnCheckClick);
    connect(ListView1, &QTableWidget::itemSelectionChanged, this,
            &TFormEditCustCodes::UpdateButtons);

    AddButtons(*this, QStringLiteral("OK"), QStringLiteral("btnOK"), QStringLiteral("Cancel"),
               QStringLiteral("btnCancel"));
    resize(420, 360);
}

bool TFormEditCustCodes::Execute() {
    FormShow();
    if (exec() != QDialog::Accepted) return false;
    btnOKClick();
    return true;
}

void TFormEditCustCodes::FormShow() {
    Working = Records.CustCodes;
    // Set once: Add, Delete and the last code refill the list and keep the user's choice.
    CustCodeEnable->setVisible(Records.CustCodeMode >= 0);
    if (Records.CustCodeMode >= 0)
        CustCodeEnable->setCurrentIndex(CheckModeIndex(Records.CustCodeMode));
    FillView();
    UpdateButtons();
}

void TFormEditCustCodes::UpdateButtons() {
    btnDelete->setEnabled(!ListView1->selectedItems().isEmpty());
    btnAdd->setEnabled(Working.Count < TCustCodeList::Capacity);
}

void TFormEditCustCodes::FillView() {
    ListView1->clearContents();
    ListView1->setRowCount(Working.Count);
    for (int i = 0; i < Working.Count; ++i)
        ListView1->setItem(i, 0,
                           new QTableWidgetItem(QString::fromStdString(
                               CustCodeText(Working.Items[static_cast<std::size_t>(i)]))));
}

void TFormEditCustCodes::AddTyped(int kind) {
    const TAddItem& item = kAddItems[kind];
    QInputDialog input(this);
    input.setObjectName(QStringLiteral("InputCustCode"));
    input.setWindowTitle(QApplication::applicationName());
    input.setInputMode(QInputDialog::TextInput);
    input.setLabelText(QLatin1String(item.Prompt));
    std::optional<TCustCode> code;
    // A code that is no code is said, and the prompt comes back with it to be corrected.
    while (!code) {
        if (input.exec() != QDialog::Accepted) return;
        bool ok = false;
        long long number = input.textValue().trimmed().toLongLong(&ok);
        if (!ok) number = -1;
        code = CodeToAdd(item.Kind, number);
        if (!code) ShowError(this, QStringLiteral("Invalid customer code"));
    }
    Working.Add(code->CodeType, code->Value);
    FillView();
    UpdateButtons();
}

void TFormEditCustCodes::btnDeleteClick() {
    QList<int> rows;
    for (const QModelIndex& index : ListView1->selectionModel()->selectedRows())
        rows << index.row();
    std::sort(rows.begin(), rows.end(), std::greater<>());
    for (int row : rows)
        Working.Delete(row);
    FillView();
    UpdateButtons();
}

void TFormEditCustCodes::btnCheckClick() {
    if (!ReadLastCode || !ReadLastCode()) return;
    const TCustCode code = Records.LastCustCode;
    if (code.CodeType == 0) {
        // An answer, not a failure: no error icon.
        QMessageBox::information(this, QApplication::applicationName(),
                                 QStringLiteral("No customer-code found or command not supported"));
        return;
    }
    const QString question = QStringLiteral("Last customer code is :\n\n") +
                             QString::fromStdString(CustCodeText(code)) +
                             QStringLiteral("\n\nClick Yes to add this customer-code?");
    if (QMessageBox::question(this, QApplication::applicationName(), question,
                              QMessageBox::Yes | QMessageBox::No) != QMessageBox::Yes)
        return;
    Working.Add(code.CodeType, code.Value);
    FillView();
    UpdateButtons();
}

void TFormEditCustCodes::btnOKClick() {
    // Only a change people can see counts: rows without a name are no change.
    if (ListText(Working) != ListText(Records.CustCodes)) {
        Records.CustCodes = Working;
        Records.CustCodes.Modified = true;
    }
    if (CustCodeEnable->isVisibleTo(this))
        Records.CustCodeMode = CheckModeByte(CustCodeEnable->currentIndex());
}

} // namespace quintrel
