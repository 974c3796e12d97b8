#include "devices/devices_view.h"

#include "devices/device_table.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QPushButton>
#include <QSortFilterProxyModel>
#include <QTableView>
#include <QVBoxLayout>

namespace quintrel {

TDevicesView::TDevicesView(TDeviceTable& table, QWidget* parent) : QWidget(parent), Table(table) {
    setObjectName(QStringLiteral("tsDevices"));
    auto* layout = new QVBoxLayout(this);
    auto* strip = new QHBoxLayout;
    auto* reset = new QPushButton(QStringLiteral("Reset counters"), this);
    reset->setObjectName(QStringLiteral("btnResetCounters"));
    reset->setToolTip(QStringLiteral("Zero the counters and round-trip times of every device"));
    connect(reset, &QPushButton::clicked, this, [this] { Table.ResetCounters(); });
    strip->addWidget(reset);
    strip->addStretch(1);
    layout->addLayout(strip);

    Sorted = new QSortFilterProxyModel(this);
    Sorted->setSourceModel(&table);
    Sorted->setSortRole(TDeviceTable::SortRole);
    GridDevices = new QTableView(this);
    GridDevices->setObjectName(QStringLiteral("GridDevices"));
    GridDevices->setModel(Sorted);
    GridDevices->setSortingEnabled(true);
    GridDevices->sortByColumn(TDeviceTable::colAddress, Qt::AscendingOrder);
    GridDevices->setSelectionBehavior(QAbstractItemView::SelectRows);
    GridDevices->setEditTriggers(QAbstractItemView::NoEditTriggers);
    GridDevices->setAlternatingRowColors(true);
    GridDevices->setWordWrap(false);
    GridDevices->verticalHeader()->hide();
    GridDevices->horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
    GridDevices->horizontalHeader()->setStretchLastSection(true);
    layout->addWidget(GridDevices, 1);

    // Each column is as wide as its widest text, measured again only when a text grew
    // longer (a header in ResizeToContents mode would measure every cell at every repaint).
    connect(&table, &TDeviceTable::ColumnWidened, this, &TDevicesView::FitColumn);
    connect(&table, &QAbstractItemModel::modelReset, this, [this] {
        for (int column = 0; column < TDeviceTable::ColumnCount; ++column)
            FitColumn(column);
    });
    for (int column = 0; column < TDeviceTable::ColumnCount; ++column)
        FitColumn(column);
}

int TDevicesView::CapabilitiesWidth() const {
    return GridDevices->fontMetrics().averageCharWidth() * CapabilitiesChars;
}

void TDevicesView::FitColumn(int column) {
    GridDevices->resizeColumnToContents(column);
    // The capabilities run long: the cell shows their start and its tool tip all of them.
    if (column == TDeviceTable::colCapabilities &&
        GridDevices->columnWidth(column) > CapabilitiesWidth())
        GridDevices->setColumnWidth(column, CapabilitiesWidth());
}

} // namespace quintrel
