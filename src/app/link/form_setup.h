#pragma once
// "Setup Communication": the four line parameters of the serial port.

#include "link/link.h"

#include <QDialog>

#include <optional>

class QComboBox;

namespace quintrel {

class TFormSetup : public QDialog {
    Q_OBJECT

  public:
    explicit TFormSetup(QWidget* parent = nullptr);

    // Each list shows the current value, or nothing when the value is not one of its items.
    // A list left without a selection keeps its current value in the result.
    std::optional<TLineSettings> Execute(const TLineSettings& current);

  protected:
    void showEvent(QShowEvent* event) override;

  private:
    QComboBox* ComboBaud = nullptr;
    QComboBox* ComboDataBits = nullptr;
    QComboBox* ComboParity = nullptr;
    QComboBox* ComboStopBits = nullptr;
};

} // namespace quintrel
