#pragma once
// Sends a file to a device with osdp_FILETRANSFER, one fragment of up to 64 bytes at a
// time (fewer when the device's osdp_FTSTAT asks for a smaller message). The first goes when
// the file is picked; each osdp_FTSTAT with a status of 0 or more calls for the next, after
// the delay the device asked for, to the address the address box shows then. The status of
// the last fragment completes the transfer; a negative status, or a disconnect, ends it. Each
// end is one log line.

#include "engine.h"

#include <QElapsedTimer>
#include <QFile>
#include <QObject>
#include <QTimer>

namespace quintrel {

class TFileTransfer : public QObject {
    Q_OBJECT

  public:
    TFileTransfer(TEngine& engine, IEngineHost* host, QObject* parent = nullptr);

    // Opens the file for a new transfer, closing one still open. False with the reason
    // when it cannot be opened; then nothing is sent.
    bool Start(const QString& path, QString* error);
    void Stop();
    // Stops an open transfer at a person's word, with a log line of how far it came.
    void Abandon();
    // The payload of the next fragment. False when nothing was written: no transfer
    // open, the file at its end (it is closed then), or a read error (with its text).
    bool BuildNext(std::uint8_t*& cursor, QString* error);

    // Open from Start until the last fragment's status, the device's refusal or a disconnect.
    bool IsOpen() const { return TransferOpen; }
    quint32 Size() const { return TransferSize; }
    quint32 Offset() const { return TransferOffset; }

  signals:
    void Changed(); // opened, progressed or closed: the progress bar follows

  private:
    void OnFrame(std::uint8_t address, std::uint8_t code, const QByteArray& data);
    void Close();
    void End(const QString& text);

    TEngine& Engine;
    IEngineHost* Host;
    QFile TransferFile;
    bool TransferOpen = false;
    quint32 TransferSize = 0;
    quint32 TransferOffset = 0;
    quint16 TransferFragment = 0;
    quint16 MaxFragment = 0; // what the device last asked for; 0: the full 64
    bool AllSent = false;    // the last fragment is out; its status completes the transfer
    int Address = 0;         // of the last status, for the log
    std::uint64_t AwaitedSubmission = 0; // the fragment whose status comes next
    QElapsedTimer Clock;     // since Start
    QTimer NextTimer;        // the delay the device asked for
};

} // namespace quintrel
