#pragma once
// Answers modal dialogs for a test. exec() blocks the test until the dialog closes, so the
// answers run from a timer: each new modal dialog gets the next answer. A dialog nobody
// expected, or one still open when time runs out, is rejected and reported, so a wrong
// dialog fails the test instead of hanging it.

#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QTimer>
#include <QWidget>

#include <QElapsedTimer>
#include <functional>
#include <vector>

namespace quintrel::test {

class TModalAnswerer : public QObject {
  public:
    using TAnswer = std::function<void(QWidget* dialog)>;

    explicit TModalAnswerer(std::vector<TAnswer> answers, int timeoutMs = 10000);
    ~TModalAnswerer() override;

    // Every answer was used and nothing unexpected showed up.
    bool AllAnswered() const { return Next == Answers.size() && Problems.isEmpty(); }
    QString Report() const;

  private:
    void Tick();

    std::vector<TAnswer> Answers;
    std::size_t Next = 0;
    QPointer<QWidget> Current;
    QTimer Timer;
    QElapsedTimer Clock;
    int TimeoutMs;
    QStringList Problems;
};

// Closes a dialog as its OK button would.
void Accept(QWidget* dialog);
// Closes a dialog as its Cancel button would.
void Reject(QWidget* dialog);
// An answer for an input box: types text and accepts (rejects any other dialog).
TModalAnswerer::TAnswer Type(const QString& text);

} // namespace quintrel::test
