#pragma once
// "Edit customer codes": the reader's customer-code list and its check mode, edited on a
// working copy that "OK" hands back to the records.

#include "maintenance/mfg_channel.h"

#include <QDialog>

#include <functional>

class QComboBox;
class QMenu;
class QTableWidget;
class QToolButton;

namespace quintrel {

class TFormEditCustCodes : public QDialog {
    Q_OBJECT

  public:
    // readLastCode asks the reader for the last code it read into records.LastCustCode
    // (cleared first) and tells whether it answered.
    TFormEditCustCodes(TMaintenanceRecords& records, std::function<bool()> readLastCode,
                       QWidget* parent = nullptr);

    // Shows the dialog modally; true when it closed with "OK" (the records are then updated).
    bool Execute();

  private:
    void FormShow();
    void FillView();
    void UpdateButtons();
    void AddTyped(int kind);
    void btnDeleteClick();
    void btnCheckClick();
    void btnOKClick();

    TMaintenanceRecords& Records;
    std::function<bool()> ReadLastCode;
    TCustCodeList Working;
    QComboBox* CustCodeEnable = nullptr;
    QToolButton* btnAdd = nullptr;
    QToolButton* btnDelete = nullptr;
    QToolButton* btnCheck = nullptr;
    QTableWidget* ListView1 = nullptr;
    QMenu* PopupMenuAdd = nullptr;
};

} // namespace quintrel
