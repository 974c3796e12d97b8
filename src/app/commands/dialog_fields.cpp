#include "commands/dialog_fields.h"

#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QRegularExpressionValidator>

#include <cstdint>

namespace quintrel {

QLineEdit* NewNumberField(const QString& name, int value, QWidget* parent) {
    auto* field = new QLineEdit(QString::number(value), parent);
    field->setObjectName(name);
    field->setValidator(
        new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), field));
    return field;
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
    QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    dialog.layout()->addWidget(buttons);
}

} // namespace quintrel
