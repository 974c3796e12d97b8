#pragma once
// The port the engine writes frames to and reads bytes from: a serial device, a TCP client
// or a TCP server that holds one peer at a time, behind one interface.
//
// Received bytes are moved into the link's own buffer as soon as the device reports them,
// and DataAvailable is delivered later as a queued event. The engine reads inside that
// notification and may run nested event loops there (it waits for replies); since a device
// does not report new data while a slot on its readyRead is still running, the engine must
// never run inside readyRead. DataAvailable is posted again while unread bytes remain and
// the previous handler made progress, and it is also delivered inside a handler's nested
// loop when new bytes arrive there.

#include "link/port_name.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QStringList>

#include <cstddef>
#include <cstdint>
#include <vector>
#include <vector>

class QIODevice;
class QSerialPort;
class QTcpServer;
class QTcpSocket;

namespace quintrel {

// Values come unchecked from the settings file, so any integer is stored; one the device
// cannot use makes the open (or the setter on an open port) fail.
struct TLineSettings {
    int Baud = 9600;
    int DataBits = 8;
    int Parity = 0; // 0 none, 1 odd, 2 even
    int StopBits = 1;
};

class TLink : public QObject {
    Q_OBJECT

  public:
    static constexpr int ConnectTimeoutMs = 3000;
    // Unread bytes kept at most; past it the oldest go, so a flood cannot eat the memory.
    static constexpr std::size_t MaxBacklog = 64 * 1024;
    // Bytes offered per notification, so the event loop gets a turn between batches.
    static constexpr int NotifyBatch = 4096;

    explicit TLink(QObject* parent = nullptr);
    ~TLink() override;

    QString GetPortName() const { return FormatPortName(Port); }
    // Does nothing when the name is the current one; otherwise closes, switches and reopens
    // a port that was open. False only when that reopen fails.
    bool SetPortName(const QString& name, QString* error = nullptr);
    QString DisplayName() const { return PortDisplayName(Port); }

    bool IsTcp() const { return Port.Tcp; }
    bool IsServer() const { return Port.Tcp && Port.Server; }
    int ComNumber() const { return Port.ComNumber; }
    QString SerialPath() const { return Port.SerialPath; }
    QString TcpAddress() const { return Port.TcpAddress; }
    QString TcpPort() const { return Port.TcpPort; }

    // Setters store the value and apply it at once to an open serial port. False when the
    // value cannot be used (then an open port keeps running with its previous setting).
    int Baud() const { return Line.Baud; }
    bool SetBaud(int baud);
    int DataBits() const { return Line.DataBits; }
    bool SetDataBits(int bits);
    int Parity() const { return Line.Parity; }
    bool SetParity(int parity);
    int StopBits() const { return Line.StopBits; }
    bool SetStopBits(int bits);

    // A port opened only to listen never drives the line: a serial port's RTS and DTR (which
    // many RS-485 adapters take as "transmit") are pulled low as soon as it opens, and
    // nothing is written.
    void SetListenOnly(bool on) { ListenOnly = on; }
    bool IsListenOnly() const { return ListenOnly; }
    // What became of RTS and DTR at the last open of a serial port for listening: held low,
    // or absent (a pseudo-terminal has none).
    enum class TModemLines { NotTouched, HeldLow, Absent };
    TModemLines ModemLines() const { return ModemLineState; }

    bool Open(QString* error = nullptr);
    void Close();
    bool IsOpen() const { return Opened; }
    // Open and someone to talk to: false for a server while no peer is connected.
    bool IsConnected() const;

    // Bytes are queued in order and pushed out at once. A server without a peer drops them
    // and reports success: the poll cycle then simply sees no replies.
    bool Write(const std::uint8_t* data, std::size_t count, QString* error = nullptr);
    qint64 BytesAvailable() const { return static_cast<qint64>(Input.size() - InputPos); }
    bool ReadByte(std::uint8_t& out);
    // Takes what the device holds that no readyRead announced (it is not emitted again while a
    // handler of its own runs): for waits that may run inside such a handler.
    void Pull();

    // Serial ports the system knows, by their device paths in the port list's order, each
    // with what the system says of it (description, maker, serial number; may be empty).
    struct TSerialPortEntry {
        QString Path;
        QString Description;
    };
    static std::vector<TSerialPortEntry> ListSerialPorts();

  signals:
    void DataAvailable(int count);
    // The device went away under an open port; the port is already closed when this comes.
    void LinkLost(const QString& reason);
    // Unread bytes were dropped to keep the backlog bounded: once when the backlog has
    // drained, and every few seconds while a flood lasts.
    void InputDropped(quint64 count);

  private:
    bool OpenSerial(QString* error);
    bool OpenTcpClient(QString* error);
    bool OpenTcpServer(QString* error);
    QString SerialLabel() const;
    template <typename TApply> bool ApplyToOpenSerial(bool usable, TApply apply);

    void AcceptPeers();
    void DropPeer(QTcpSocket* peer);
    void WatchSocket(QTcpSocket* socket);
    void TakeInput(QIODevice* device);
    void PostDataAvailable();
    void WatchNestedLoops();
    void DeliverDataAvailable();
    void Lose(const QString& reason);
    void ReportDropped(bool force);

    void HoldModemLinesLow(QSerialPort& port);

    TPortName Port;
    TLineSettings Line;
    bool Opened = false;
    bool ListenOnly = false;
    TModemLines ModemLineState = TModemLines::NotTouched;
    QSerialPort* Serial = nullptr;
    QTcpSocket* Socket = nullptr; // the client connection, or the server's current peer
    QTcpServer* Listener = nullptr;

    // Read position into Input instead of erasing from the front on every byte.
    std::vector<std::uint8_t> Input;
    std::size_t InputPos = 0;
    // Running totals tell whether a handler made progress, so a handler that leaves bytes
    // unread is not called again until something changes.
    quint64 ReceivedTotal = 0;
    quint64 ConsumedTotal = 0;
    bool NotifyPending = false;
    int Delivering = 0; // DataAvailable handlers on the stack
    bool Watching = false;
    quint64 DroppedPending = 0;
    QElapsedTimer DropReportClock;
};

} // namespace quintrel
