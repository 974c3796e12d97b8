#pragma once
// "Buzzer control": one osdp_BUZ command per "Apply", for reader 0.

#include "commands/builders.h"

#include <QDialog>

#include <optional>

class QComboBox;
class QLineEdit;

namespace quintrel {

class TFormDlgBuzzerControl : public QDialog {
    Q_OBJECT

  public:
    explicit TFormDlgBuzzerControl(QWidget* parent = nullptr);

    // Shows the dialog modally, its fields as the last use left them. Their values on "Apply",
    // nothing on "Close".
    std::optional<TBuzzerControl> Execute();

  private:
    QComboBox* EditToneCode = nullptr;
    QLineEdit* EditOnTime = nullptr;
    QLineEdit* EditOffTime = nullptr;
    QLineEdit* EditCount = nullptr;
};

} // namespace quintrel
