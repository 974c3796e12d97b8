#pragma once
// The message log. Lines arrive one signal at a time, sometimes thousands a second; each
// is stamped on arrival and collected, and the view takes them in batches, so a long log
// (it is never trimmed) costs the poll cycle nothing per line.

#include <QObject>
#include <QStringList>
#include <QTimer>

class QPlainTextEdit;

namespace quintrel {

class TLogView : public QObject {
    Q_OBJECT

  public:
    static constexpr int BatchIntervalMs = 50;

    explicit TLogView(QPlainTextEdit* memo, QObject* parent = nullptr);

    // Stamps the line with the local time now.
    void LogLine(const QString& text);
    void Flush();
    void Clear();
    int PendingCount() const { return static_cast<int>(Pending.size()); }

  private:
    QPlainTextEdit* Memo;
    QStringList Pending;
    QTimer Batch;
};

} // namespace quintrel
