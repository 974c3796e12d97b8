#include "capture/capture_file.h"

#include "capture/overheard.h"

#include "engine.h"

#include <QCoreApplication>
#include <QDateTime>

#include <chrono>

namespace quintrel {

namespace {

constexpr qint64 kMaxLineBytes = 64 * 1024; // a record of the largest frame is under 9 KiB

} // namespace

TCaptureWriter::TCaptureWriter(TEngine& engine, QObject* parent) : QObject(parent), Engine(engine) {
    const QString name = QCoreApplication::applicationName().isEmpty()
                             ? QStringLiteral("Quintrel")
                             : QCoreApplication::applicationName();
    const QString version = QCoreApplication::applicationVersion();
    Source = (version.isEmpty() ? name : name + QLatin1Char(' ') + version).toStdString();
}

// The engine may be gone by now (the window's children outlive its members): only the
// file is closed; the connections end with this object.
TCaptureWriter::~TCaptureWriter() {
    File.close();
}

bool TCaptureWriter::Start(const QString& path, QString* error) {
    Stop();
    File.setFileName(path);
    // Unbuffered: each line goes to the file as it is written.
    if (!File.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered)) {
        if (error) *error = File.errorString();
        return false;
    }
    Count = 0;
    connect(&Engine, &TEngine::LineFrame, this, &TCaptureWriter::OnFrame);
    // A frame overheard on a line the engine only listens to went neither in nor out.
    connect(&Engine, &TEngine::HeardFrame, this,
            [this](const QByteArray& frame, bool, qint64, qint64 lastNs) {
                Write(TCaptureIo::Trace, lastNs, frame);
            });
    connect(&Engine, &TEngine::Disconnected, this, [this] {
        if (!Running()) return;
        const QString text = QStringLiteral("Capture to %1 ended at disconnect: %2 frames")
                                 .arg(File.fileName())
                                 .arg(Count);
        Stop();
        emit Ended(text);
    });
    emit Changed();
    return true;
}

void TCaptureWriter::Stop() {
    disconnect(&Engine, nullptr, this, nullptr);
    if (!File.isOpen()) return;
    File.close();
    emit Changed();
}

void TCaptureWriter::OnFrame(bool sent, const QByteArray& frame) {
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(now).count();
    Write(sent ? TCaptureIo::Output : TCaptureIo::Input, ns, frame);
}

void TCaptureWriter::Write(TCaptureIo io, qint64 ns, const QByteArray& frame) {
    if (!File.isOpen()) return;
    TCaptureRecord record;
    record.Seconds = ns / 1000000000;
    record.Nanos = static_cast<std::int32_t>(ns % 1000000000);
    record.Io = io;
    record.Data.assign(frame.begin(), frame.end());
    record.Source = Source;
    std::string line = FormatCaptureLine(record);
    line += '\n';
    if (File.write(line.data(), static_cast<qint64>(line.size())) !=
        static_cast<qint64>(line.size())) {
        const QString text = QStringLiteral("Capture to %1 stopped: %2 (%3 frames written)")
                                 .arg(File.fileName(), File.errorString())
                                 .arg(Count);
        Stop();
        emit Ended(text);
        return;
    }
    ++Count;
    emit Changed();
}

TCaptureReadResult ReadCaptureFile(const QString& path, const TCaptureView& view,
                                   const TVendorList& vendors,
                                   const std::function<void(const QTime&, const QString&)>& sink,
                                   const TFollowerKeys& keys) {
    TCaptureReadResult result;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        result.Error = file.errorString();
        return result;
    }
    result.Opened = true;
    qint64 lineNumber = 0;
    const auto malformed = [&](const QString& reason) {
        if (result.Malformed++ == 0) {
            result.FirstMalformedLine = lineNumber;
            result.FirstMalformedReason = reason;
        }
    };
    TCaptureRecord record;
    std::string error;
    TOverheardReader reader(view, vendors, [&](std::int64_t time, const std::string& text) {
        sink(QDateTime::fromMSecsSinceEpoch(time / 1000000).time(), QString::fromStdString(text));
    });
    reader.SetKeys(keys);
    while (!file.atEnd()) {
        QByteArray line = file.readLine(kMaxLineBytes);
        ++lineNumber;
        if (!line.endsWith('\n') && !file.atEnd()) {
            // Longer than any record: skip the rest of it.
            while (!file.atEnd() && !file.readLine(kMaxLineBytes).endsWith('\n')) {
            }
            malformed(QStringLiteral("line too long"));
            continue;
        }
        if (line.trimmed().isEmpty()) continue;
        if (!ParseCaptureLine(
                std::string_view(line.constData(), static_cast<std::size_t>(line.size())), record,
                error)) {
            malformed(QString::fromStdString(error));
            continue;
        }
        reader.Feed(record.Io, record.Seconds * 1000000000 + record.Nanos, record.Data.data(),
                    record.Data.size());
    }
    reader.Finish();
    result.Frames = static_cast<qint64>(reader.Frames());
    if (file.error() != QFileDevice::NoError) result.Error = file.errorString();
    return result;
}

} // namespace quintrel
