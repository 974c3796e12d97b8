#pragma once
// The log's find bar (Ctrl+F): a text, Next and Previous, Match case, and where the
// match shown stands among all of them ("3 of 17"). The search wraps at either end.
// Enter finds the next match, Shift+Enter the previous one, Escape closes the bar.

#include "log/log_store.h"

#include <QWidget>

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace quintrel {

class TLogMemo;

class TFindBar : public QWidget {
    Q_OBJECT

  public:
    TFindBar(const TLogStore& store, TLogMemo& memo, QWidget* parent = nullptr);

    // Shows the bar with its text selected, ready for typing.
    void Open();
    // True when a match was found (and shown).
    bool FindNext();
    bool FindPrevious();
    QString CountText() const;

  private:
    bool Find(bool forward);
    void OnTextEdited();

    const TLogStore& Store;
    TLogMemo& Memo;
    QLineEdit* EditFind = nullptr;
    QCheckBox* chkMatchCase = nullptr;
    QLabel* lblFindCount = nullptr;
    bool HaveMatch = false;
    TLogPosition Match;
};

} // namespace quintrel
