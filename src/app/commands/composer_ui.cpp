#include "commands/composer_ui.h"

#include "commands/dlg_buzzer_control.h"
#include "commands/dlg_com_config.h"
#include "commands/dlg_led_control.h"
#include "commands/dlg_output_control.h"

#include <QApplication>
#include <QComboBox>
#include <QFontMetrics>
#include <QInputDialog>
#include <QLineEdit>
#include <QMessageBox>

#include <algorithm>

namespace quintrel {

namespace {

// Blanks and control characters at either end.
QString TrimControls(const QString& text) {
    qsizetype first = 0, last = text.size();
    while (first < last && text[first].unicode() <= 0x20)
        ++first;
    while (last > first && text[last - 1].unicode() <= 0x20)
        --last;
    return text.mid(first, last - first);
}

// Wide enough for a whole key as the prompt offers it, sixteen pairs of the widest hex
// digit with blanks between, and the frame and margins the edit adds around its text.
int KeyEditWidth(const QLineEdit& edit) {
    const QFontMetrics metrics = edit.fontMetrics();
    int widest = 0;
    for (const QChar digit : QStringLiteral("0123456789ABCDEF"))
        widest = std::max(widest, metrics.horizontalAdvance(digit));
    const int text = 32 * widest + 15 * metrics.horizontalAdvance(QLatin1Char(' '));
    // The edit's own size hint is the width of 17 "x" plus that frame and those margins.
    const int frame = edit.sizeHint().width() - 17 * metrics.horizontalAdvance(QLatin1Char('x'));
    return text + std::max(frame, 0) + metrics.averageCharWidth(); // and room for the cursor
}

} // namespace

TComposerUi::TComposerUi(QWidget* window, QComboBox* history, TEngine& engine,
                         std::function<int()> selectedAddress, std::function<void()> repaint)
    : Window(window), History(history), Engine(engine), SelectedAddress(std::move(selectedAddress)),
      Repaint(std::move(repaint)), FormDlgBuzzerControl(new TFormDlgBuzzerControl(window)),
      FormDlgComConfig(new TFormDlgComConfig(window)),
      FormDlgLedControl(new TFormDlgLedControl(window)),
      FormDlgOutputControl(new TFormDlgOutputControl(window)) {}

std::optional<TOutputControl> TComposerUi::AskOutputControl() {
    return FormDlgOutputControl->Execute();
}
std::optional<TLedControl> TComposerUi::AskLedControl() {
    return FormDlgLedControl->Execute();
}
std::optional<TBuzzerControl> TComposerUi::AskBuzzerControl() {
    return FormDlgBuzzerControl->Execute();
}

std::optional<TComSetChoice> TComposerUi::AskComSet() {
    return FormDlgComConfig->Execute(SelectedAddress(), Engine.Port().Baud());
}

std::optional<std::string> TComposerUi::AskKey(const std::string& prompt,
                                               const std::string& defaultText) {
    QInputDialog input(Window);
    input.setObjectName(QStringLiteral("InputKey"));
    input.setWindowTitle(QApplication::applicationName());
    input.setInputMode(QInputDialog::TextInput);
    input.setLabelText(QString::fromStdString(prompt));
    input.setTextValue(QString::fromStdString(defaultText));
    if (auto* edit = input.findChild<QLineEdit*>()) {
        edit->setObjectName(QStringLiteral("EditKey"));
        edit->setMinimumWidth(KeyEditWidth(*edit));
    }
    // A key that is no key is said, and the prompt comes back with it to be corrected.
    for (;;) {
        if (input.exec() != QDialog::Accepted) return std::nullopt;
        const std::string typed = input.textValue().toStdString();
        TKeyEntry entry = ReadKey(typed);
        if (entry.Key) entry.Key->fill(0); // only its validity was wanted here
        if (entry.Error.empty()) return typed;
        ShowError(QString::fromStdString(entry.Error));
    }
}

QString TComposerUi::AddToHistory(const QString& text) {
    const QString stored = TrimControls(text);
    for (int i = 0; i < History->count(); ++i) {
        if (History->itemText(i).compare(stored, Qt::CaseInsensitive) == 0) {
            History->setCurrentIndex(i); // an entry used again keeps its place
            return stored;
        }
    }
    History->insertItem(0, stored);
    History->setCurrentIndex(0);
    return stored;
}

void TComposerUi::ShowError(const QString& text) {
    QMessageBox::critical(Window, QApplication::applicationName(), text);
}

void TComposerUi::RepaintPollList() {
    Repaint();
}

} // namespace quintrel
