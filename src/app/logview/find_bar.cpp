#include "logview/find_bar.h"

#include "logview/log_memo.h"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QShortcut>
#include <QToolButton>

namespace quintrel {

TFindBar::TFindBar(const TLogStore& store, TLogMemo& memo, QWidget* parent)
    : QWidget(parent), Store(store), Memo(memo) {
    setObjectName(QStringLiteral("FindBar"));
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 2, 0, 2);
    auto* label = new QLabel(QStringLiteral("Find:"), this);
    EditFind = new QLineEdit(this);
    EditFind->setObjectName(QStringLiteral("EditFind"));
    EditFind->setClearButtonEnabled(true);
    label->setBuddy(EditFind);
    auto* previous = new QPushButton(QStringLiteral("Previous"), this);
    previous->setObjectName(QStringLiteral("btnFindPrevious"));
    auto* next = new QPushButton(QStringLiteral("Next"), this);
    next->setObjectName(QStringLiteral("btnFindNext"));
    chkMatchCase = new QCheckBox(QStringLiteral("Match case"), this);
    chkMatchCase->setObjectName(QStringLiteral("chkMatchCase"));
    lblFindCount = new QLabel(this);
    lblFindCount->setObjectName(QStringLiteral("lblFindCount"));
    lblFindCount->setMinimumWidth(
        fontMetrics().horizontalAdvance(QStringLiteral("10000000 of 10000000 (wrapped)")));
    auto* close = new QToolButton(this);
    close->setObjectName(QStringLiteral("btnFindClose"));
    close->setText(QStringLiteral("\u00D7"));
    close->setToolTip(QStringLiteral("Close (Esc)"));
    row->addWidget(label);
    row->addWidget(EditFind, 1);
    row->addWidget(previous);
    row->addWidget(next);
    row->addWidget(chkMatchCase);
    row->addWidget(lblFindCount);
    row->addWidget(close);

    connect(next, &QPushButton::clicked, this, &TFindBar::FindNext);
    connect(previous, &QPushButton::clicked, this, &TFindBar::FindPrevious);
    connect(close, &QToolButton::clicked, this, &QWidget::hide);
    connect(EditFind, &QLineEdit::textEdited, this, &TFindBar::OnTextEdited);
    connect(chkMatchCase, &QCheckBox::toggled, this, &TFindBar::OnTextEdited);
    const auto key = [this](QKeySequence sequence, auto slot) {
        connect(new QShortcut(sequence, this, nullptr, nullptr, Qt::WidgetWithChildrenShortcut),
                &QShortcut::activated, this, slot);
    };
    key(QKeySequence(Qt::Key_Return), &TFindBar::FindNext);
    key(QKeySequence(Qt::Key_Enter), &TFindBar::FindNext);
    key(QKeySequence(Qt::Key_F3), &TFindBar::FindNext);
    key(QKeySequence(Qt::SHIFT | Qt::Key_Return), &TFindBar::FindPrevious);
    key(QKeySequence(Qt::SHIFT | Qt::Key_Enter), &TFindBar::FindPrevious);
    key(QKeySequence(Qt::SHIFT | Qt::Key_F3), &TFindBar::FindPrevious);
    key(QKeySequence(Qt::Key_Escape), [this] {
        hide();
        Memo.setFocus();
    });
    hide();
}

void TFindBar::Open() {
    show();
    EditFind->setFocus();
    EditFind->selectAll();
}

QString TFindBar::CountText() const {
    return lblFindCount->text();
}

void TFindBar::OnTextEdited() {
    // A new text searches on from where the reader is, as each letter is typed.
    HaveMatch = false;
    if (EditFind->text().isEmpty()) {
        lblFindCount->clear();
        return;
    }
    Find(true);
}

bool TFindBar::FindNext() {
    return Find(true);
}

bool TFindBar::FindPrevious() {
    return Find(false);
}

bool TFindBar::Find(bool forward) {
    const QByteArray needle = EditFind->text().toUtf8();
    if (needle.isEmpty()) return false;
    const std::string_view text(needle.constData(), static_cast<std::size_t>(needle.size()));
    const bool matchCase = chkMatchCase->isChecked();
    // After "Clear screen" the match shown is gone: start afresh.
    if (Store.Generation() != CountedGeneration) HaveMatch = false;
    TLogPosition from = HaveMatch ? Match : Memo.SearchStart();
    if (HaveMatch && forward) from.Offset += 1;
    TLogPosition hit;
    if (!Store.Find(text, matchCase, from, forward, true, hit)) {
        HaveMatch = false;
        lblFindCount->setText(QStringLiteral("No matches"));
        return false;
    }
    const bool wrapped = forward ? hit < from : !(hit < from);
    if (HaveMatch) {
        MatchTotal += Store.CountMatches(text, matchCase, {}, nullptr, CountedLines);
        MatchIndex =
            forward ? (wrapped ? 1 : MatchIndex + 1) : (wrapped ? MatchTotal : MatchIndex - 1);
    } else {
        std::size_t before = 0;
        MatchTotal = Store.CountMatches(text, matchCase, hit, &before);
        MatchIndex = before + 1;
    }
    CountedLines = Store.Count();
    CountedGeneration = Store.Generation();
    HaveMatch = true;
    Match = hit;
    Memo.ShowRange(hit, text.size());
    lblFindCount->setText(QStringLiteral("%1 of %2%3")
                              .arg(MatchIndex)
                              .arg(MatchTotal)
                              .arg(wrapped ? QStringLiteral(" (wrapped)") : QString()));
    return true;
}

} // namespace quintrel
