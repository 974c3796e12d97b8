#pragma once
// "Edit options": the reader options record as check boxes and two bit lengths, with a
// preview of the card-data formats they give.

#include "maintenance/mfg_channel.h"

#include <QDialog>

class QCheckBox;
class QLabel;
class QLineEdit;

namespace quintrel {

class TFormEditOptions : public QDialog {
    Q_OBJECT

  public:
    explicit TFormEditOptions(TVarFlags& flags, QWidget* parent = nullptr);

    // Shows the dialog modally; true when it closed with "OK" (the flags are then updated).
    bool Execute();

  private:
    void FormShow();
    void OnUpdateUI();
    void btnOKClick();

    TVarFlags& Flags;
    QCheckBox* chkAddCardType = nullptr;
    QCheckBox* chkAddCustCode = nullptr;
    QCheckBox* chkAddVIDDID = nullptr;
    QCheckBox* chkDualID1Msg = nullptr;
    QCheckBox* chkNoVehicleID = nullptr;
    QLineEdit* EditIDBitlen1 = nullptr;
    QLineEdit* EditIDBitlen2 = nullptr;
    QWidget* RowIDBitlen1 = nullptr;
    QWidget* RowIDBitlen2 = nullptr;
    QLabel* LabelFormat1 = nullptr;
    QLabel* LabelFormat2 = nullptr;
    QLabel* LabelFormat3 = nullptr;
};

} // namespace quintrel
