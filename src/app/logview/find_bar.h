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
    // Where the match shown stands among all of them. Counted in full for a new text; a step
    // to the next or previous match only moves the index, and lines logged since only add
    // their own matches, so stepping through ten million lines stays quick.
    std::size_t MatchIndex = 0;
    std::size_t MatchTotal = 0;
    std::size_t CountedLines = 0;
    std::size_t CountedGeneration = 0;
};

} // namespace quintrel
