// The command dialogs driven as a person drives them: keys typed into the number fields, items
// chosen from the lists, the buttons clicked; what they return is checked as the bytes it
// becomes.

#include "commands/dlg_buzzer_control.h"
#include "commands/dlg_com_config.h"
#include "commands/dlg_led_control.h"
#include "commands/dlg_output_control.h"

#include <QApplication>
#include <QComboBox>
#include <QFontMetrics>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <QtTest>

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <type_traits>

namespace quintrel {
namespace {

// exec() blocks the test, so the dialog is answered from a timer. Anything else that turns up
// modal first, or the dialog still open after its answer, is rejected and reported, so a wrong
// dialog fails the test instead of hanging it. Once its dialog has closed the answerer stands
// down, so the next one can answer the next showing.
class TAnswerer : public QObject {
  public:
    TAnswerer(QDialog& dialog, std::function<void(QDialog&)> answer)
        : Expected(dialog), Answer(std::move(answer)) {
        connect(&Timer, &QTimer::timeout, this, &TAnswerer::Tick);
        connect(&dialog, &QDialog::finished, this, [this] {
            if (Answered) Timer.stop();
        });
        Timer.start(10);
    }

    bool Ok() const { return Answered && Problem.isEmpty(); }
    QString Report() const { return Answered ? Problem : QStringLiteral("never shown"); }

  private:
    void Tick() {
        QWidget* modal = QApplication::activeModalWidget();
        if (!modal) return;
        if (modal != &Expected || Answered) {
            Problem = QStringLiteral("had to reject \"%1\"").arg(modal->windowTitle());
            if (auto* dialog = qobject_cast<QDialog*>(modal))
                dialog->reject();
            else
                modal->close();
            return;
        }
        Answered = true;
        Answer(Expected);
    }

    QDialog& Expected;
    std::function<void(QDialog&)> Answer;
    bool Answered = false;
    QString Problem;
    QTimer Timer;
};

template <typename T> T& Field(QDialog& dialog, const char* name) {
    T* field = dialog.findChild<T*>(QLatin1String(name));
    if (!field) qFatal("%s has no field %s", qPrintable(dialog.windowTitle()), name);
    return *field;
}

void Type(QDialog& dialog, const char* name, const QString& keys) {
    auto& field = Field<QLineEdit>(dialog, name);
    field.clear();
    QTest::keyClicks(&field, keys);
}

void Choose(QDialog& dialog, const char* name, const QString& item) {
    auto& list = Field<QComboBox>(dialog, name);
    const int index = list.findText(item, Qt::MatchExactly);
    if (index < 0) qFatal("%s has no item %s", name, qPrintable(item));
    list.setCurrentIndex(index);
}

// Clicks the button that shows text; without one the answerer rejects the dialog.
void Click(QDialog& dialog, const QString& text) {
    for (QPushButton* button : dialog.findChildren<QPushButton*>())
        if (button->text() == text) return button->click();
}

std::function<void(QDialog&)> Clicking(const QString& text) {
    return [text](QDialog& dialog) { Click(dialog, text); };
}

// The bytes the values become, or "none" for a dialog closed without them.
template <typename T> QString Payload(const std::optional<T>& values) {
    if (!values) return QStringLiteral("none");
    std::array<std::uint8_t, 32> buffer{};
    std::uint8_t* cursor = buffer.data();
    if constexpr (std::is_same_v<T, TOutputControl>) BuildOutputControl(*values, cursor);
    if constexpr (std::is_same_v<T, TLedControl>) BuildLedControl(*values, cursor);
    if constexpr (std::is_same_v<T, TBuzzerControl>) BuildBuzzerControl(*values, cursor);
    if constexpr (std::is_same_v<T, TComSet>) BuildComSet(*values, cursor);
    const QByteArray bytes(reinterpret_cast<const char*>(buffer.data()), cursor - buffer.data());
    return QString::fromLatin1(bytes.toHex(' ').toUpper());
}

QString Payload(const std::optional<TComSetChoice>& choice) {
    if (!choice) return QStringLiteral("none");
    return Payload(std::optional(TComSet{choice->Address, choice->BaudText.toUInt()}));
}

const QString kApply = QStringLiteral("Apply");
const QString kOk = QStringLiteral("OK");

} // namespace

class TestDialogs : public QObject {
    Q_OBJECT

    // Opens the dialog and lets answer handle it; what went wrong on the way fails the test.
    template <typename TDialog, typename... TArgs>
    auto Run(TDialog& dialog, std::function<void(QDialog&)> answer, TArgs... args) {
        TAnswerer answerer(dialog, std::move(answer));
        auto result = dialog.Execute(args...);
        if (!answerer.Ok())
            Problems << QStringLiteral("%1: %2").arg(dialog.windowTitle(), answerer.Report());
        return result;
    }

    QStringList Problems;

  private slots:
    void cleanup() {
        const QString problems = Problems.join(QStringLiteral("; "));
        Problems.clear();
        QVERIFY2(problems.isEmpty(), qPrintable(problems));
    }

    void defaultsSendTheStandardCommands() {
        TFormDlgOutputControl output;
        QCOMPARE(Payload(Run(output, Clicking(kApply))), QStringLiteral("00 05 0A 00"));
        TFormDlgLedControl led;
        QCOMPARE(Payload(Run(led, Clicking(kApply))),
                 QStringLiteral("00 00 02 01 01 02 00 0A 00 00 00 00 01 01"));
        TFormDlgBuzzerControl buzzer;
        QCOMPARE(Payload(Run(buzzer, Clicking(kApply))), QStringLiteral("00 02 01 02 03"));
        TFormDlgComConfig config;
        QCOMPARE(Field<QComboBox>(config, "EditBaud").currentText(), QStringLiteral("9600"));
        // Its title is whole in the title bar: wider than the title in a bold font.
        QFont bold = config.font();
        bold.setBold(true);
        config.show();
        QVERIFY(config.width() > QFontMetrics(bold).horizontalAdvance(config.windowTitle()) + 60);
    }

    void numberFieldsTakeDigitsOnly() {
        TFormDlgOutputControl output;
        QString timerText;
        const auto typed = Run(output, [&timerText](QDialog& dialog) {
            Type(dialog, "EditOutputNumber", QStringLiteral("2x0-6"));
            Type(dialog, "EditTimer", QStringLiteral("-3a0+0 "));
            timerText = Field<QLineEdit>(dialog, "EditTimer").text();
            Click(dialog, kApply);
        });
        QCOMPARE(timerText, QStringLiteral("300"));
        QCOMPARE(Payload(typed), QStringLiteral("CE 05 2C 01"));
    }

    void timerFieldFollowsTheControlCode() {
        TFormDlgOutputControl output;
        auto& code = Field<QComboBox>(output, "EditControlCode");
        auto& timer = Field<QLineEdit>(output, "EditTimer");
        QVERIFY(timer.isEnabled()); // "Timed ON" by default
        for (int index = 0; index < code.count(); ++index) {
            code.setCurrentIndex(index);
            const bool timed = code.currentText() == QStringLiteral("Timed ON") ||
                               code.currentText() == QStringLiteral("Timed OFF");
            QVERIFY2(timer.isEnabled() == timed, qPrintable(code.currentText()));
        }

        // Changed from the keyboard, with a time typed before: the time is sent anyway.
        bool enabledAfterKeys = true;
        const auto sent = Run(output, [&enabledAfterKeys](QDialog& dialog) {
            Choose(dialog, "EditControlCode", QStringLiteral("Timed OFF"));
            Type(dialog, "EditTimer", QStringLiteral("300"));
            auto& list = Field<QComboBox>(dialog, "EditControlCode");
            for (int i = 0; i < 4; ++i)
                QTest::keyClick(&list, Qt::Key_Up);
            enabledAfterKeys = Field<QLineEdit>(dialog, "EditTimer").isEnabled();
            Click(dialog, kApply);
        });
        QCOMPARE(code.currentText(), QStringLiteral("ON (immediate)"));
        QVERIFY(!enabledAfterKeys);
        QCOMPARE(Payload(sent), QStringLiteral("00 02 2C 01"));
    }

    void fieldsKeepTheirValuesBetweenUses() {
        TFormDlgLedControl led;
        const auto chosen = Run(led, [](QDialog& dialog) {
            Type(dialog, "EditLedNumber", QStringLiteral("1"));
            Choose(dialog, "EditTempOnColor", QStringLiteral("cyan"));
            Choose(dialog, "EditPermControlCode", QStringLiteral("Set"));
            Choose(dialog, "EditPermOffColor", QStringLiteral("yellow/orange"));
            Click(dialog, kApply);
        });
        const QString expected = QStringLiteral("00 01 02 01 01 06 00 0A 00 01 00 00 01 03");
        QCOMPARE(Payload(chosen), expected);
        QCOMPARE(Payload(Run(led, Clicking(kApply))), expected);

        // What was typed before "Close" is still there next time.
        TFormDlgBuzzerControl buzzer;
        const auto closed = Run(buzzer, [](QDialog& dialog) {
            Type(dialog, "EditCount", QStringLiteral("7"));
            Click(dialog, QStringLiteral("Close"));
        });
        QCOMPARE(Payload(closed), QStringLiteral("none"));
        QCOMPARE(Payload(Run(buzzer, Clicking(kApply))), QStringLiteral("00 02 01 02 07"));
    }

    void closeAndCancelReturnNothing() {
        const QString close = QStringLiteral("Close");
        TFormDlgOutputControl output;
        QVERIFY(!Run(output, Clicking(close)));
        TFormDlgLedControl led;
        QVERIFY(!Run(led, Clicking(close)));
        TFormDlgComConfig config;
        QVERIFY(!Run(config, Clicking(QStringLiteral("Cancel")), 5, 9600));
    }

    void comConfigOpensWithTheDeviceSettings() {
        TFormDlgComConfig config;
        const auto inList = Run(config, Clicking(kOk), 3, 14400);
        QVERIFY(inList);
        QCOMPARE(inList->Address, 3);
        QCOMPARE(inList->BaudText, QStringLiteral("14400"));

        int shownIndex = 0;
        const auto notInList = Run(
            config,
            [&shownIndex](QDialog& dialog) {
                shownIndex = Field<QComboBox>(dialog, "EditBaud").currentIndex();
                Click(dialog, kOk);
            },
            3, 12345);
        QCOMPARE(shownIndex, -1);
        QVERIFY(notInList);
        QVERIFY(notInList->BaudText.isEmpty());

        // A choice made last time gives way to the device's settings when the dialog reopens.
        const auto moved = Run(
            config,
            [](QDialog& dialog) {
                Choose(dialog, "EditAddr", QStringLiteral("9"));
                Choose(dialog, "EditBaud", QStringLiteral("19200"));
                Click(dialog, kOk);
            },
            5, 9600);
        QCOMPARE(Payload(moved), QStringLiteral("09 00 4B 00 00"));
        QCOMPARE(Payload(Run(config, Clicking(kOk), 5, 9600)), QStringLiteral("05 80 25 00 00"));
    }
};

} // namespace quintrel

QTEST_MAIN(quintrel::TestDialogs)
#include "tst_dialogs.moc"
