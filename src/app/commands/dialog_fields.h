#pragma once
// What the command dialogs are built from: number fields that take digits only, lists whose
// item index is the value sent, and the accept/reject button row.

#include <QString>
#include <QStringList>

class QComboBox;
class QDialog;
class QLineEdit;
class QWidget;

namespace quintrel {

// A field for a non-negative decimal number: typing or pasting anything but digits is refused.
// With a maximum of 0 or more, the dialog's accept button refuses an empty field or a value
// above it, naming the field and the range; -1 leaves the range to the caller.
QLineEdit* NewNumberField(const QString& name, int value, QWidget* parent, int maximum);

// Whether every number field of the dialog holds a value in its range; the first that does
// not is named in an error box and gets the focus.
bool NumberFieldsInRange(QDialog& dialog);

// The field's number; an empty field reads as 0. A payload takes only the low 8 or 16 bits of
// a number, so instead of failing on a long number the value wraps: the low 31 bits returned are
// exactly those of the decimal number typed, however many digits it has.
int NumberFieldValue(const QLineEdit& field);

QComboBox* NewList(const QString& name, const QStringList& items, int index, QWidget* parent);

// Adds the dialog's button row below everything else in its layout: acceptText accepts (and is
// the default button, so Enter in a field accepts too) once every number field is in range,
// rejectText rejects.
void AddButtons(QDialog& dialog, const QString& acceptText, const QString& acceptName,
                const QString& rejectText, const QString& rejectName);

} // namespace quintrel
