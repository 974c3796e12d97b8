#include "support/modal_answerer.h"

#include <QApplication>
#include <QDialog>
#include <QInputDialog>

namespace quintrel::test {

TModalAnswerer::TModalAnswerer(std::vector<TAnswer> answers, int timeoutMs)
    : Answers(std::move(answers)), TimeoutMs(timeoutMs) {
    Timer.setInterval(10);
    connect(&Timer, &QTimer::timeout, this, &TModalAnswerer::Tick);
    Clock.start();
    Timer.start();
}

TModalAnswerer::~TModalAnswerer() = default;

void TModalAnswerer::Tick() {
    QWidget* modal = QApplication::activeModalWidget();
    if (Clock.elapsed() > TimeoutMs) {
        if (modal) {
            Problems
                << QStringLiteral("still open at the time-out: \"%1\"").arg(modal->windowTitle());
            Reject(modal);
        }
        if (Next < Answers.size()) Problems << QStringLiteral("a dialog never came");
        Timer.stop();
        return;
    }
    if (!modal || modal == Current) return;
    Current = modal;
    // A dialog that is created once and shown again counts as a new dialog each time.
    if (auto* d = qobject_cast<QDialog*>(modal))
        connect(
            d, &QDialog::finished, this, [this] { Current = nullptr; }, Qt::SingleShotConnection);
    if (Next >= Answers.size()) {
        Problems << QStringLiteral("unexpected dialog \"%1\"").arg(modal->windowTitle());
        Reject(modal);
        return;
    }
    Answers[Next++](modal);
}

QString TModalAnswerer::Report() const {
    QStringList all = Problems;
    if (Next < Answers.size())
        all << QStringLiteral("%1 of %2 answers used").arg(Next).arg(Answers.size());
    return all.join(QStringLiteral("; "));
}

void Accept(QWidget* dialog) {
    if (auto* d = qobject_cast<QDialog*>(dialog)) d->accept();
}

void Reject(QWidget* dialog) {
    if (auto* d = qobject_cast<QDialog*>(dialog))
        d->reject();
    else
        dialog->close();
}

TModalAnswerer::TAnswer Type(const QString& text) {
    return [text](QWidget* dialog) {
        auto* input = qobject_cast<QInputDialog*>(dialog);
        if (!input) return Reject(dialog);
        input->setTextValue(text);
        Accept(dialog);
    };
}

} // namespace quintrel::test
