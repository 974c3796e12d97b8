#include "log_view.h"

#include "log/time_stamp.h"

#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTime>

namespace quintrel {

TLogView::TLogView(QPlainTextEdit* memo, QObject* parent) : QObject(parent), Memo(memo) {
    Batch.setSingleShot(true);
    Batch.setInterval(BatchIntervalMs);
    connect(&Batch, &QTimer::timeout, this, &TLogView::Flush);
}

void TLogView::LogLine(const QString& text) {
    const QTime now = QTime::currentTime();
    Pending << QString::fromStdString(
                   FormatTimeStamp(now.hour(), now.minute(), now.second(), now.msec())) +
                   QLatin1Char(' ') + text;
    if (!Batch.isActive()) Batch.start();
}

void TLogView::Flush() {
    Batch.stop();
    if (Pending.isEmpty()) return;
    // Someone reading further up keeps their place; someone at the end follows the log.
    QScrollBar* bar = Memo->verticalScrollBar();
    const bool atBottom = bar->value() >= bar->maximum();
    const int position = bar->value();
    Memo->appendPlainText(Pending.join(QLatin1Char('\n')));
    Pending.clear();
    bar->setValue(atBottom ? bar->maximum() : position);
}

void TLogView::Clear() {
    Batch.stop();
    Pending.clear();
    Memo->clear();
}

} // namespace quintrel
