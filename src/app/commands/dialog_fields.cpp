#include "commands/dialog_fields.h"

#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QGroupBox>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>
#include <QRegularExpressionValidator>

#include <cstdint>

namespace quintrel {

namespace {

constexpr const char* kMaximum = "numberFieldMaximum";

// The text of the label a form row gave the field, with the group it sits in.
QString FieldLabel(const QDialog& dialog, const QLineEdit* field) {
    QString label = field->objectName();
    for (const QLabel* l : dialog.findChildren<QLabel*>())
        if (l->buddy() == field) label = l->text();
    if (const auto* group = qobject_cast<const QGroupBox*>(field->parentWidget()))
        label = group->title() + QStringLiteral(", ") + label;
    return label;
}

} // namespace

QLineEdit* NewNumberField(const QString& name, int value, QWidget* parent, int maximum) {
    auto* field = new QLineEdit(QString::number(value), parent);
    field->setObjectName(name);
    field->setValidator(
        new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), field));
    field->setProperty(kMaximum, maximum);
    return field;
}

bool NumberFieldsInRange(QDialog& dialog) {
    for (QLineEdit* field : dialog.findChildren<QLineEdit*>()) {
        const int maximum =
            field->property(kMaximum).isValid() ? field->property(kMaximum).toInt() : -1;
        if (maximum < 0 || !field->isEnabled() || !field->isVisibleTo(&dialog)) continue;
        bool ok = false;
        const qlonglong value = field->text().toLongLong(&ok);
        if (ok && value >= 0 && value <= maximum) continue;
        QMessageBox::critical(&dialog, QApplication::applicationName(),
                              QStringLiteral("%1: enter a whole number from 0 to %2")
                                  .arg(FieldLabel(dialog, field))
                                  .arg(maximum));
        field->setFocus();
        field->selectAll();
        return false;
    }
    return true;
}

int NumberFieldValue(const QLineEdit& field) {
    // Unsigned arithmetic wraps modulo 2^64, a multiple of every power of two we keep.
    std::uint64_t value = 0;
    for (const QChar c : field.text()) {
        if (c < u'0' || c > u'9') continue; // setText() bypasses the validator
        value = value * 10 + static_cast<std::uint64_t>(c.unicode() - u'0');
    }
    return static_cast<int>(value & 0x7FFFFFFFu);
}

QComboBox* NewList(const QString& name, const QStringList& items, int index, QWidget* parent) {
    auto* list = new QComboBox(parent);
    list->setObjectName(name);
    list->addItems(items);
    list->setCurrentIndex(index);
    return list;
}

void AddButtons(QDialog& dialog, const QString& acceptText, const QString& acceptName,
                const QString& rejectText, const QString& rejectName) {
    // Own buttons rather than the standard ones: those carry mnemonics and follow the locale.
    auto* buttons = new QDialogButtonBox(&dialog);
    QPushButton* accept = buttons->addButton(acceptText, QDialogButtonBox::AcceptRole);
    accept->setObjectName(acceptName);
    accept->setDefault(true);
    buttons->addButton(rejectText, QDialogButtonBox::RejectRole)->setObjectName(rejectName);
    QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, [&dialog] {
        if (NumberFieldsInRange(dialog)) dialog.accept();
    });
    QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    dialog.layout()->addWidget(buttons);
}

} // namespace quintrel
