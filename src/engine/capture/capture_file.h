#pragma once
// Capture files: every frame on the line written as it passes, and a capture read back
// into the log (see capture/capture_format.h for the file's form).

#include "capture/capture_format.h"
#include "capture/session_follower.h"
#include "decode/vendor_list.h"

#include <QFile>
#include <QObject>
#include <QString>

#include <functional>

class QTime;

namespace quintrel {

class TEngine;

// Streams the engine's frames, sent and received (invalid ones too), to a file, one line
// per frame, each written straight through to the file so a crash or a pulled cable loses
// nothing already on the line. Ends at Stop, at disconnect, or at a write error.
class TCaptureWriter : public QObject {
    Q_OBJECT

  public:
    explicit TCaptureWriter(TEngine& engine, QObject* parent = nullptr);
    ~TCaptureWriter() override;

    // Replaces the file if it exists; false with the reason when it cannot be created.
    bool Start(const QString& path, QString* error);
    void Stop();
    bool Running() const { return File.isOpen(); }
    qint64 Frames() const { return Count; }
    QString Path() const { return File.fileName(); }

  signals:
    // Started, stopped, or one frame more.
    void Changed();
    // The capture ended by itself: text for the log.
    void Ended(const QString& text);

  private:
    void OnFrame(bool sent, const QByteArray& frame);
    // One record, stamped ns after 1970.
    void Write(TCaptureIo io, qint64 ns, const QByteArray& frame);

    TEngine& Engine;
    QFile File;
    qint64 Count = 0;
    std::string Source;
};

struct TCaptureReadResult {
    bool Opened = false;
    QString Error;        // why the file could not be read
    qint64 Frames = 0;    // frames found in the records (whole, damaged or cut short)
    qint64 Malformed = 0; // lines that are not records (blank lines are not counted)
    qint64 FirstMalformedLine = 0;
    QString FirstMalformedReason;
};

// Reads a capture and hands its log lines, each with the local time of its frame, to
// sink. A line that is not a record is counted and skipped; only a file that cannot be
// opened or read fails the whole.
// Secure sessions are followed with keys (the default key is always tried).
TCaptureReadResult ReadCaptureFile(const QString& path, const TCaptureView& view,
                                   const TVendorList& vendors,
                                   const std::function<void(const QTime&, const QString&)>& sink,
                                   const TFollowerKeys& keys = {});

} // namespace quintrel
