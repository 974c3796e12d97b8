#pragma once
// The Devices tab: the device table, sortable by any column, its columns as wide as their
// texts, and "Reset counters".

#include <QWidget>

class QSortFilterProxyModel;
class QTableView;

namespace quintrel {

class TDeviceTable;

class TDevicesView : public QWidget {
    Q_OBJECT

  public:
    // The capabilities column is kept to about this many characters.
    static constexpr int CapabilitiesChars = 36;

    TDevicesView(TDeviceTable& table, QWidget* parent = nullptr);
    QTableView* Grid() const { return GridDevices; }
    int CapabilitiesWidth() const;

  private:
    void FitColumn(int column);

    TDeviceTable& Table;
    QSortFilterProxyModel* Sorted = nullptr;
    QTableView* GridDevices = nullptr;
};

} // namespace quintrel
