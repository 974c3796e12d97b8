#pragma once
// "Output control": one osdp_OUT command per "Apply".

#include "commands/builders.h"

#include <QDialog>

#include <optional>

class QComboBox;
class QLineEdit;

namespace quintrel {

class TFormDlgOutputControl : public QDialog {
    Q_OBJECT

  public:
    explicit TFormDlgOutputControl(QWidget* parent = nullptr);

    // Shows the dialog modally, its fields as the last use left them. Their values on "Apply",
    // nothing on "Close".
    std::optional<TOutputControl> Execute();

  private:
    void UpdateTimerEnabled();

    QLineEdit* EditOutputNumber = nullptr;
    QComboBox* EditControlCode = nullptr;
    QLineEdit* EditTimer = nullptr;
};

} // namespace quintrel
