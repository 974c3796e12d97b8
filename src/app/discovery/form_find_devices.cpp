#include "discovery/form_find_devices.h"

#include "commands/dialog_fields.h"
#include "link/form_select_port.h"

#include <QApplication>
#include <QComboBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

#include <set>

namespace quintrel {

namespace {

QPushButton* NewButton(const char* name, const QString& caption, QWidget* parent) {
    auto* button = new QPushButton(caption, parent);
    button->setObjectName(QLatin1String(name));
    button->setAutoDefault(false);
    return button;
}

} // namespace

TFormFindDevices::TFormFindDevices(TEngine& engine, QWidget* parent)
    : QDialog(parent), Engine(engine), Finder(engine) {
    setObjectName(QStringLiteral("FormFindDevices"));
    setWindowTitle(QStringLiteral("Find devices"));
    auto* layout = new QVBoxLayout(this);
    auto* form = new QFormLayout;
    LabelSpeeds = new QLabel(QStringLiteral("Speeds"), this);
    ListSpeeds = new QListWidget(this);
    ListSpeeds->setObjectName(QStringLiteral("ListSpeeds"));
    ListSpeeds->setMaximumHeight(ListSpeeds->fontMetrics().height() * 5);
    form->addRow(LabelSpeeds, ListSpeeds);
    EditFirst = NewNumberField(QStringLiteral("EditFirst"), 0, this, 126);
    EditLast = NewNumberField(QStringLiteral("EditLast"), 126, this, 126);
    EditWait = NewNumberField(QStringLiteral("EditWait"), 100, this, TEngine::ReplyTimeoutMs);
    form->addRow(QStringLiteral("First address"), EditFirst);
    form->addRow(QStringLiteral("Last address"), EditLast);
    form->addRow(QStringLiteral("Wait per address (ms)"), EditWait);
    ComboSearch = new QComboBox(this);
    ComboSearch->setObjectName(QStringLiteral("ComboSearch"));
    ComboSearch->addItems({QStringLiteral("Quick (broadcast first)"), QStringLiteral("Every address")});
    form->addRow(QStringLiteral("Search"), ComboSearch);
    layout->addLayout(form);

    auto* buttons = new QHBoxLayout;
    btnStart = NewButton("btnStart", QStringLiteral("Start"), this);
    btnCancel = NewButton("btnCancel", QStringLiteral("Cancel"), this);
    buttons->addWidget(btnStart);
    buttons->addWidget(btnCancel);
    ProgressFind = new QProgressBar(this);
    ProgressFind->setObjectName(QStringLiteral("ProgressFind"));
    buttons->addWidget(ProgressFind, 1);
    layout->addLayout(buttons);

    ListResults = new QTableWidget(0, 7, this);
    ListResults->setObjectName(QStringLiteral("ListResults"));
    ListResults->setHorizontalHeaderLabels({QStringLiteral("Speed"), QStringLiteral("Address"),
                                            QStringLiteral("Vendor"), QStringLiteral("Model"),
                                            QStringLiteral("Serial number"),
                                            QStringLiteral("Firmware"), QStringLiteral("Note")});
    ListResults->horizontalHeader()->setStretchLastSection(true);
    ListResults->verticalHeader()->hide();
    ListResults->setSelectionBehavior(QAbstractItemView::SelectRows);
    ListResults->setEditTriggers(QAbstractItemView::NoEditTriggers);
    layout->addWidget(ListResults, 1);

    auto* bottom = new QHBoxLayout;
    bottom->addStretch(1);
    btnUse = NewButton("btnUse", QStringLiteral("Use"), this);
    btnClose = NewButton("btnClose", QStringLiteral("Close"), this);
    bottom->addWidget(btnUse);
    bottom->addWidget(btnClose);
    layout->addLayout(bottom);

    connect(btnStart, &QPushButton::clicked, this, &TFormFindDevices::btnStartClick);
    connect(btnCancel, &QPushButton::clicked, &Finder, &TDeviceFinder::Cancel);
    connect(btnUse, &QPushButton::clicked, this, &TFormFindDevices::btnUseClick);
    connect(btnClose, &QPushButton::clicked, this, &TFormFindDevices::reject);
    connect(&Finder, &TDeviceFinder::Found, this, &TFormFindDevices::AddResult);
    connect(&Finder, &TDeviceFinder::Progress, this, [this](int done, int total) {
        ProgressFind->setMaximum(std::max(total, 1));
        ProgressFind->setValue(done);
    });
    resize(640, 480);
}

int TFormFindDevices::Execute() {
    FirstUsed = -1;
    FormShow();
    return exec() == QDialog::Accepted ? FirstUsed : -1;
}

// Every speed of the port dialog, the port's own first; none on TCP, where it means nothing.
void TFormFindDevices::FormShow() {
    const bool tcp = Engine.Port().IsTcp();
    LabelSpeeds->setVisible(!tcp);
    ListSpeeds->setVisible(!tcp);
    ListSpeeds->clear();
    QList<int> rates{Engine.Port().Baud()};
    for (int rate : TFormSelectPort::Rates)
        if (rate != rates.first()) rates << rate;
    for (int rate : rates) {
        auto* item = new QListWidgetItem(QString::number(rate), ListSpeeds);
        item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
        item->setCheckState(Qt::Checked);
    }
    btnCancel->setEnabled(false);
    btnUse->setEnabled(!Found.isEmpty());
}

void TFormFindDevices::btnStartClick() {
    if (!NumberFieldsInRange(*this)) return;
    if (!Engine.Port().IsOpen()) {
        QMessageBox::critical(this, QApplication::applicationName(),
                              QStringLiteral("Error: no connection"));
        return;
    }
    TFinderOptions options;
    options.FirstAddress = EditFirst->text().toInt();
    options.LastAddress = EditLast->text().toInt();
    options.WaitMs = std::max(1, EditWait->text().toInt());
    options.EveryAddress = ComboSearch->currentIndex() == 1;
    if (options.FirstAddress > options.LastAddress)
        std::swap(options.FirstAddress, options.LastAddress);
    for (int i = 0; i < ListSpeeds->count(); ++i)
        if (ListSpeeds->item(i)->checkState() == Qt::Checked)
            options.Speeds << ListSpeeds->item(i)->text().toInt();
    Found.clear();
    ListResults->setRowCount(0);
    ProgressFind->setValue(0);
    btnStart->setEnabled(false);
    btnUse->setEnabled(false);
    btnCancel->setEnabled(true);
    Finder.Run(options);
    btnCancel->setEnabled(false);
    btnStart->setEnabled(true);
    btnUse->setEnabled(!Found.isEmpty());
}

void TFormFindDevices::AddResult(const TFoundDevice& device) {
    Found << device;
    const int row = ListResults->rowCount();
    ListResults->insertRow(row);
    const QStringList cells = {device.Baud > 0 ? QString::number(device.Baud) : QStringLiteral("-"),
                               QString::number(device.Address),
                               device.Vendor,
                               device.Model,
                               device.Serial,
                               device.Firmware,
                               device.Note};
    for (int c = 0; c < cells.size(); ++c)
        ListResults->setItem(row, c, new QTableWidgetItem(cells[c]));
}

// The chosen readers (all, when none is chosen) go into the poll list, at their speed.
void TFormFindDevices::btnUseClick() {
    std::set<int> rows;
    for (const QModelIndex& index : ListResults->selectionModel()->selectedRows())
        rows.insert(index.row());
    if (rows.empty())
        for (int r = 0; r < Found.size(); ++r)
            rows.insert(r);
    if (rows.empty()) return;
    std::array<bool, kDeviceCount> ticks{};
    int baud = 0;
    for (int r : rows) {
        const TFoundDevice& d = Found[r];
        if (baud == 0) baud = d.Baud; // one line, one speed: the first chosen decides
        if (d.Baud != baud && d.Baud != 0) continue;
        ticks[static_cast<std::size_t>(d.Address)] = true;
        if (FirstUsed < 0) FirstUsed = d.Address;
    }
    if (baud > 0 && Engine.Port().Baud() != baud) Engine.Port().SetBaud(baud);
    Engine.SetSelection(ticks);
    accept();
}

// Closing while a search runs cancels it first; the search then restores the line itself.
void TFormFindDevices::reject() {
    if (Finder.Running()) {
        Finder.Cancel();
        return;
    }
    QDialog::reject();
}

} // namespace quintrel
