#pragma once
// The Devices tab: the device table, sortable by any column, and "Reset counters".

#include <QWidget>

class QSortFilterProxyModel;
class QTableView;

namespace quintrel {

class TDeviceTable;

class TDevicesView : public QWidget {
    Q_OBJECT

  public:
    TDevicesView(TDeviceTable& table, QWidget* parent = nullptr);
    QTableView* Grid() const { return GridDevices; }

  private:
    TDeviceTable& Table;
    QSortFilterProxyModel* Sorted = nullptr;
    QTableView* GridDevices = nullptr;
};

} // namespace quintrel
