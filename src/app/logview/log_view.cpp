#include "logview/log_view.h"

#include "log/time_stamp.h"
#include "logview/log_memo.h"

#include <QSaveFile>
#include <QTime>

namespace quintrel {

TLogView::TLogView(QObject* parent) : QObject(parent) {
    Batch.setSingleShot(true);
    Batch.setInterval(BatchIntervalMs);
    connect(&Batch, &QTimer::timeout, this, &TLogView::Flush);
}

TLogMemo* TLogView::CreateMemo(QWidget* parent) {
    View = new TLogMemo(Lines, parent);
    return View;
}

void TLogView::LogLine(const QString& text) {
    LogLineAt(QTime::currentTime(), text);
}

void TLogView::LogLineAt(const QTime& time, const QString& text) {
    std::string line = FormatTimeStamp(time.hour(), time.minute(), time.second(), time.msec());
    line += ' ';
    const QByteArray bytes = text.toUtf8();
    line.append(bytes.constData(), static_cast<std::size_t>(bytes.size()));
    Lines.Append(line);
    if (!Batch.isActive()) Batch.start();
}

void TLogView::Flush() {
    Batch.stop();
    if (View) View->LinesChanged();
}

void TLogView::Clear() {
    Batch.stop();
    Lines.Clear();
    if (View) View->LinesChanged();
}

bool TLogView::SaveTo(const QString& path, QString* error) const {
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        if (error) *error = file.errorString();
        return false;
    }
    QByteArray chunk;
    for (std::size_t i = 0; i < Lines.Count(); ++i) {
        const std::string_view line = Lines.Line(i);
        chunk.append(line.data(), static_cast<qsizetype>(line.size()));
        chunk += '\n';
        if (chunk.size() >= (1 << 20) || i + 1 == Lines.Count()) {
            if (file.write(chunk) != chunk.size()) break;
            chunk.clear();
        }
    }
    if (!file.commit()) {
        if (error) *error = file.errorString();
        return false;
    }
    return true;
}

} // namespace quintrel
