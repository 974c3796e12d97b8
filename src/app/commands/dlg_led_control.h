#pragma once
// "LED control": one osdp_LED command per "Apply", for reader 0.

#include "commands/builders.h"

#include <QDialog>

#include <optional>

class QComboBox;
class QLineEdit;

namespace quintrel {

class TFormDlgLedControl : public QDialog {
    Q_OBJECT

  public:
    explicit TFormDlgLedControl(QWidget* parent = nullptr);

    // Shows the dialog modally, its fields as the last use left them. Their values on "Apply",
    // nothing on "Close".
    std::optional<TLedControl> Execute();

  private:
    QLineEdit* EditLedNumber = nullptr;
    QComboBox* EditTempControlCode = nullptr;
    QLineEdit* EditTempOnTime = nullptr;
    QLineEdit* EditTempOffTime = nullptr;
    QComboBox* EditTempOnColor = nullptr;
    QComboBox* EditTempOffColor = nullptr;
    QLineEdit* EditTempTime = nullptr;
    QComboBox* EditPermControlCode = nullptr;
    QLineEdit* EditPermOnTime = nullptr;
    QLineEdit* EditPermOffTime = nullptr;
    QComboBox* EditPermOnColor = nullptr;
    QComboBox* EditPermOffColor = nullptr;
};

} // namespace quintrel
