#pragma once
// "Communication configuration": the address and baud rate an osdp_COMSET moves a device to.

#include "composer.h"

#include <QDialog>

#include <optional>

class QComboBox;

namespace quintrel {

class TFormDlgComConfig : public QDialog {
    Q_OBJECT

  public:
    explicit TFormDlgComConfig(QWidget* parent = nullptr);

    // Opens preset to the device's present settings: the address selected in the main window
    // and the port's baud rate, or no rate when the list does not hold it. The choice on "OK",
    // nothing on "Cancel". The rate stays text so the composer can reject an empty one.
    std::optional<TComSetChoice> Execute(int selectedAddress, int currentBaud);

  private:
    QComboBox* EditAddr = nullptr;
    QComboBox* EditBaud = nullptr;
};

} // namespace quintrel
