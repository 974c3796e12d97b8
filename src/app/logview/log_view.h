#pragma once
// The message log. Lines arrive one signal at a time, sometimes thousands a second; each
// is stamped on arrival and stored at once, and the box repaints in batches, so a long
// log (it is never trimmed) costs the poll cycle nothing per line.

#include "log/log_store.h"

#include <QObject>
#include <QTimer>

class QTime;

namespace quintrel {

class TLogMemo;

class TLogView : public QObject {
    Q_OBJECT

  public:
    static constexpr int BatchIntervalMs = 50;

    explicit TLogView(QObject* parent = nullptr);

    // The box that shows the log; it lives as long as the window.
    TLogMemo* CreateMemo(QWidget* parent);
    TLogMemo* Memo() const { return View; }
    const TLogStore& Store() const { return Lines; }

    // Stamps the line with the local time now.
    void LogLine(const QString& text);
    // Stamps the line with a time of its own (a line read from a capture).
    void LogLineAt(const QTime& time, const QString& text);
    void Flush();
    void Clear();
    bool Pending() const { return Batch.isActive(); }
    // Writes every line, each ending in a line feed; false with the reason when it could not.
    bool SaveTo(const QString& path, QString* error) const;

  private:
    TLogStore Lines;
    TLogMemo* View = nullptr;
    QTimer Batch;
};

} // namespace quintrel
