#pragma once
// "Find devices": which readers are on the line, at which addresses and speeds. The search
// itself is the engine's TDeviceFinder; this dialog asks for the speeds, the range and the
// wait, shows the readers as they answer, and puts the chosen ones into the poll list.

#include "discovery/device_finder.h"

#include <QDialog>

class QComboBox;
class QLineEdit;
class QListWidget;
class QProgressBar;
class QPushButton;
class QTableWidget;
class QLabel;

namespace quintrel {

class TFormFindDevices : public QDialog {
    Q_OBJECT

  public:
    TFormFindDevices(TEngine& engine, QWidget* parent = nullptr);

    // Shows the dialog modally for the engine's port as it is now. The address of the first
    // device put into the poll list by "Use", or -1.
    int Execute();
    QList<TFoundDevice> Results() const { return Found; }

  private:
    void FormShow();
    void btnStartClick();
    void btnUseClick();
    void AddResult(const TFoundDevice& device);
    void reject() override;

    TEngine& Engine;
    TDeviceFinder Finder;
    QList<TFoundDevice> Found;
    int FirstUsed = -1;
    QLabel* LabelSpeeds = nullptr;
    QListWidget* ListSpeeds = nullptr;
    QLineEdit* EditFirst = nullptr;
    QLineEdit* EditLast = nullptr;
    QLineEdit* EditWait = nullptr;
    QComboBox* ComboSearch = nullptr; // quick (broadcast first) or every address
    QProgressBar* ProgressFind = nullptr;
    QTableWidget* ListResults = nullptr;
    QPushButton* btnStart = nullptr;
    QPushButton* btnCancel = nullptr;
    QPushButton* btnUse = nullptr;
    QPushButton* btnClose = nullptr;
};

} // namespace quintrel
