#pragma once
// "Select Port": the port name (a serial port of the system, listed by its device path with
// its description, a typed COMn name or device path, or a TCP endpoint) and, for serial
// ports, the baud rate.

#include <QDialog>
#include <QString>

#include <optional>

class QComboBox;
class QListWidget;
class QStandardItemModel;

namespace quintrel {

struct TPortChoice {
    QString PortName;
    int Baud = 0; // 0 when no rate is selected

    bool operator==(const TPortChoice&) const = default;
};

class TFormSelectPort : public QDialog {
    Q_OBJECT

  public:
    static constexpr int Rates[] = {1200, 2400, 9600, 19200, 38400, 57600, 115200};

    explicit TFormSelectPort(QWidget* parent = nullptr);

    // Offers the system's serial ports each time, since adapters come and go.
    std::optional<TPortChoice> Execute(const TPortChoice& preset);
    // A rate means something only for a serial port: "COM" and a number other than 0, or a
    // device path.
    static bool RateApplies(const QString& portName);

  private:
    void UpdateRateList();

    QComboBox* ComboPort = nullptr;
    QListWidget* ListBaud = nullptr;
    QStandardItemModel* PortModel = nullptr;
};

} // namespace quintrel
