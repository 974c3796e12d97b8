#include "maintenance/form_edit_options.h"

#include "commands/dialog_fields.h"
#include "maintenance/reader_options.h"

#include <QCheckBox>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QVBoxLayout>

namespace quintrel {

namespace {

QCheckBox* NewCheck(const char* name, const QString& caption, QWidget* parent) {
    auto* box = new QCheckBox(caption, parent);
    box->setObjectName(QLatin1String(name));
    return box;
}

QLabel* NewLabel(const char* name, const QString& text, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setObjectName(QLatin1String(name));
    return label;
}

// A caption, a digits-only field and the " bits" after it, shown and hidden together.
QWidget* NewLengthRow(const QString& caption, const QString& name, QLineEdit*& field,
                      QWidget* parent) {
    auto* row = new QWidget(parent);
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    auto* label = new QLabel(caption, row);
    layout->addWidget(label, 1);
    field = NewNumberField(name, 0, row, 255); // one byte on the wire
    label->setBuddy(field);                    // names the field in a range message
    layout->addWidget(field);
    layout->addWidget(new QLabel(QStringLiteral(" bits"), row));
    return row;
}

} // namespace

TFormEditOptions::TFormEditOptions(TVarFlags& flags, QWidget* parent)
    : QDialog(parent), Flags(flags) {
    setObjectName(QStringLiteral("FormEditOptions"));
    setWindowTitle(QStringLiteral("Edit options"));
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel(QStringLiteral("OSDP output format options"), this));
    chkAddCardType = NewCheck("chkAddCardType", QStringLiteral("Add card type (T)"), this);
    chkAddCustCode = NewCheck("chkAddCustCode", QStringLiteral("Add customer-code (X)"), this);
    chkAddVIDDID = NewCheck("chkAddVIDDID", QStringLiteral("Add vehicle/driver id (B)"), this);
    chkDualID1Msg = NewCheck("chkDualID1Msg", QStringLiteral("Send dual-id in 1 message"), this);
    chkNoVehicleID = NewCheck("chkNoVehicleID", QStringLiteral("Disable sending Vantor-ID"), this);
    for (QCheckBox* box :
         {chkAddCardType, chkAddCustCode, chkAddVIDDID, chkDualID1Msg, chkNoVehicleID}) {
        layout->addWidget(box);
        connect(box, &QCheckBox::clicked, this, &TFormEditOptions::OnUpdateUI);
    }
    RowIDBitlen1 = NewLengthRow(QStringLiteral("Torva Qeno ID length (default 24)"),
                                QStringLiteral("EditIDBitlen1"), EditIDBitlen1, this);
    RowIDBitlen2 = NewLengthRow(QStringLiteral("Raw Data bit length (default 0 = auto)"),
                                QStringLiteral("EditIDBitlen2"), EditIDBitlen2, this);
    layout->addWidget(RowIDBitlen1);
    layout->addWidget(RowIDBitlen2);

    const QFont fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    layout->addWidget(NewLabel("LabelFormatSingleID", QStringLiteral("Single-ID format"), this));
    LabelFormat1 = NewLabel("LabelFormat1", QString(), this);
    layout->addWidget(LabelFormat1);
    layout->addWidget(NewLabel("LabelFormatDualID", QStringLiteral("Dual-ID format"), this));
    LabelFormat2 = NewLabel("LabelFormat2", QString(), this);
    LabelFormat3 = NewLabel("LabelFormat3", QString(), this);
    layout->addWidget(LabelFormat2);
    layout->addWidget(LabelFormat3);
    // "<TT>", "<IDNO>" and the like are text, not markup.
    for (QLabel* l : {LabelFormat1, LabelFormat2, LabelFormat3}) {
        l->setFont(fixed);
        l->setTextFormat(Qt::PlainText);
    }

    AddButtons(*this, QStringLiteral("OK"), QStringLiteral("btnOK"), QStringLiteral("Cancel"),
               QStringLiteral("btnCancel"));
}

bool TFormEditOptions::Execute() {
    FormShow();
    if (exec() != QDialog::Accepted) return false;
    btnOKClick();
    return true;
}

void TFormEditOptions::FormShow() {
    const TOptionBoxes boxes = BoxesFromFlags(Flags.Flags);
    chkAddCardType->setChecked(boxes.AddCardType);
    chkAddCustCode->setChecked(boxes.AddCustCode);
    chkAddVIDDID->setChecked(boxes.AddVidDid);
    chkDualID1Msg->setChecked(boxes.DualId1Msg);
    chkNoVehicleID->setChecked(boxes.NoVehicleId);
    // The reader reports 1, 2 or 3 bytes: only what it reported can be edited.
    chkNoVehicleID->setVisible(Flags.RawBitLength >= 0);
    RowIDBitlen1->setVisible(Flags.IdBitLength >= 0);
    RowIDBitlen2->setVisible(Flags.RawBitLength >= 0);
    EditIDBitlen1->setText(QString::number(std::max(Flags.IdBitLength, 0)));
    EditIDBitlen2->setText(QString::number(std::max(Flags.RawBitLength, 0)));
    OnUpdateUI();
}

void TFormEditOptions::OnUpdateUI() {
    const TOptionsPreview p = PreviewOptions(TOptionBoxes{
        chkAddCardType->isChecked(), chkAddCustCode->isChecked(), chkAddVIDDID->isChecked(),
        chkDualID1Msg->isChecked(), chkNoVehicleID->isChecked()});
    LabelFormat1->setText(QString::fromStdString(p.Format1));
    LabelFormat2->setText(QString::fromStdString(p.Format2));
    LabelFormat3->setText(QString::fromStdString(p.Format3));
}

void TFormEditOptions::btnOKClick() {
    Flags.Flags = FlagsFromBoxes(
        Flags.Flags, TOptionBoxes{chkAddCardType->isChecked(), chkAddCustCode->isChecked(),
                                  chkAddVIDDID->isChecked(), chkDualID1Msg->isChecked(),
                                  chkNoVehicleID->isChecked()});
    // A hidden length stays unreported (-1), so it is not written either.
    Flags.IdBitLength = RowIDBitlen1->isVisibleTo(this) ? NumberFieldValue(*EditIDBitlen1) : -1;
    Flags.RawBitLength = RowIDBitlen2->isVisibleTo(this) ? NumberFieldValue(*EditIDBitlen2) : -1;
}

} // namespace quintrel
