#include "link/link.h"

#include <QAbstractEventDispatcher>
#include <QEventLoop>
#include <QFileInfo>
#include <QHash>
#include <QPointer>
#include <QSerialPort>
#include <QSerialPortInfo>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <algorithm>
#include <optional>
#include <utility>

namespace quintrel {

namespace {

std::optional<QSerialPort::DataBits> ToDataBits(int bits) {
    switch (bits) {
    case 5:
        return QSerialPort::Data5;
    case 6:
        return QSerialPort::Data6;
    case 7:
        return QSerialPort::Data7;
    case 8:
        return QSerialPort::Data8;
    default:
        return std::nullopt;
    }
}

// Our numbering follows the settings file, not QSerialPort's enum (where odd is 3).
std::optional<QSerialPort::Parity> ToParity(int parity) {
    switch (parity) {
    case 0:
        return QSerialPort::NoParity;
    case 1:
        return QSerialPort::OddParity;
    case 2:
        return QSerialPort::EvenParity;
    default:
        return std::nullopt;
    }
}

std::optional<QSerialPort::StopBits> ToStopBits(int bits) {
    switch (bits) {
    case 1:
        return QSerialPort::OneStop;
    case 2:
        return QSerialPort::TwoStop;
    default:
        return std::nullopt;
    }
}

bool Fail(QString* error, const QString& reason) {
    if (error) *error = reason;
    return false;
}

// Takes a device out of service without letting its late signals reach the link: a serial
// device that lost its far end keeps reporting errors until it is closed.
template <typename TDevice> void Retire(TDevice*& device, QObject* owner) {
    if (!device) return;
    TDevice* old = std::exchange(device, nullptr);
    old->disconnect(owner);
    old->close();
    old->deleteLater();
}

} // namespace

TLink::TLink(QObject* parent) : QObject(parent) {}

// A loop that is about to block while one of our handlers is on the stack is a wait inside that
// handler: what the device took in meanwhile, unannounced, is pulled, and reaches it.
void TLink::WatchNestedLoops() {
    if (Watching) return;
    QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance(thread());
    if (!dispatcher) return;
    Watching = true;
    connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, this, [this] {
        if (Delivering > 0) Pull();
    });
}

TLink::~TLink() {
    DroppedPending = 0; // nobody is left to tell
    Close();
}

bool TLink::SetPortName(const QString& name, QString* error) {
    if (name == GetPortName()) return true;
    const bool wasOpen = Opened;
    Close();
    const TPortName parsed = ParsePortName(name);
    Port.Tcp = parsed.Tcp;
    Port.ComNumber = parsed.ComNumber;
    Port.SerialPath = parsed.SerialPath;
    // A serial name leaves the TCP settings alone, and a server keeps the client's address,
    // so switching back and forth in the port dialog loses nothing.
    if (parsed.Tcp) {
        Port.Server = parsed.Server;
        Port.TcpPort = parsed.TcpPort;
        if (!parsed.Server) Port.TcpAddress = parsed.TcpAddress;
    }
    return !wasOpen || Open(error);
}

template <typename TApply> bool TLink::ApplyToOpenSerial(bool usable, TApply apply) {
    if (!usable) return false;
    if (!Serial) return true;
    if (apply(*Serial)) return true;
    Serial->clearError();
    return false;
}

bool TLink::SetBaud(int baud) {
    Line.Baud = baud;
    return ApplyToOpenSerial(baud > 0,
                             [baud](QSerialPort& port) { return port.setBaudRate(baud); });
}

bool TLink::SetDataBits(int bits) {
    Line.DataBits = bits;
    const auto value = ToDataBits(bits);
    return ApplyToOpenSerial(value.has_value(),
                             [&value](QSerialPort& port) { return port.setDataBits(*value); });
}

bool TLink::SetParity(int parity) {
    Line.Parity = parity;
    const auto value = ToParity(parity);
    return ApplyToOpenSerial(value.has_value(),
                             [&value](QSerialPort& port) { return port.setParity(*value); });
}

bool TLink::SetStopBits(int bits) {
    Line.StopBits = bits;
    const auto value = ToStopBits(bits);
    return ApplyToOpenSerial(value.has_value(),
                             [&value](QSerialPort& port) { return port.setStopBits(*value); });
}

bool TLink::Open(QString* error) {
    if (Opened) return true;
    Close();
    const bool ok = !Port.Tcp     ? OpenSerial(error)
                    : Port.Server ? OpenTcpServer(error)
                                  : OpenTcpClient(error);
    if (ok) WatchNestedLoops();
    // Bytes that came while a client was still connecting are announced now.
    if (ok && BytesAvailable() > 0) PostDataAvailable();
    return ok;
}

void TLink::Close() {
    Retire(Serial, this);
    Retire(Socket, this);
    Retire(Listener, this);
    Opened = false;
    ReportDropped(true);
    // The memory goes back too: a flood before the close must not stay resident.
    std::vector<std::uint8_t>().swap(Input);
    InputPos = 0;
}

// The system raises RTS and DTR when a serial port opens; they go down again at once. A
// port without modem lines (a pseudo-terminal) refuses the request, which leaves nothing
// that could drive the line.
void TLink::HoldModemLinesLow(QSerialPort& port) {
    const bool rts = port.setRequestToSend(false);
    const bool dtr = port.setDataTerminalReady(false);
    if (!rts || !dtr) port.clearError();
    ModemLineState = rts && dtr ? TModemLines::HeldLow : TModemLines::Absent;
}

bool TLink::IsConnected() const {
    return Opened && (Serial || Socket);
}

QString TLink::SerialLabel() const {
    if (!Port.SerialPath.isEmpty()) return Port.SerialPath;
    return QStringLiteral("%1 (%2)").arg(DisplayName(), SerialDevicePath(Port.ComNumber));
}

bool TLink::OpenSerial(QString* error) {
    const auto dataBits = ToDataBits(Line.DataBits);
    const auto parity = ToParity(Line.Parity);
    const auto stopBits = ToStopBits(Line.StopBits);
    if (Line.Baud <= 0) return Fail(error, tr("unsupported baud rate %1").arg(Line.Baud));
    if (!dataBits) return Fail(error, tr("unsupported data bits %1").arg(Line.DataBits));
    if (!parity) return Fail(error, tr("unsupported parity %1").arg(Line.Parity));
    if (!stopBits) return Fail(error, tr("unsupported stop bits %1").arg(Line.StopBits));

    const QString path =
        Port.SerialPath.isEmpty() ? SerialDevicePath(Port.ComNumber) : Port.SerialPath;
    auto* port = new QSerialPort(this);
    port->setPortName(path);
    port->setBaudRate(Line.Baud);
    port->setDataBits(*dataBits);
    port->setParity(*parity);
    port->setStopBits(*stopBits);
    port->setFlowControl(QSerialPort::NoFlowControl);
    // errorString() is not cleared by a successful open, so only error() tells the cause.
    if (!port->open(QIODevice::ReadWrite)) {
        const QSerialPort::SerialPortError cause = port->error();
        const QString detail = port->errorString();
        delete port;
        if (cause == QSerialPort::DeviceNotFoundError)
            return Fail(error, tr("%1 does not exist").arg(SerialLabel()));
        if (cause == QSerialPort::PermissionError) {
            // The same error stands for a lock held by another program and for missing
            // rights; only the second shows in the file's access bits.
            const QFileInfo device(path);
            if (device.isReadable() && device.isWritable())
                return Fail(error, tr("%1 is in use by another program").arg(SerialLabel()));
            return Fail(error, tr("no permission to open %1").arg(SerialLabel()));
        }
        return Fail(error, QStringLiteral("%1: %2").arg(SerialLabel(), detail));
    }
    ModemLineState = TModemLines::NotTouched;
    if (ListenOnly) HoldModemLinesLow(*port);
    connect(port, &QSerialPort::readyRead, this, [this, port] { TakeInput(port); });
    connect(port, &QSerialPort::errorOccurred, this, [this](QSerialPort::SerialPortError cause) {
        if (cause != QSerialPort::ReadError && cause != QSerialPort::ResourceError) return;
        // The error text is often a stale errno (a vanished terminal says "Inappropriate
        // ioctl"), so it only goes in brackets.
        Lose(tr("%1 is no longer available (%2)")
                 .arg(SerialLabel(), Serial ? Serial->errorString() : QString()));
    });
    Serial = port;
    Opened = true;
    return true;
}

bool TLink::OpenTcpClient(QString* error) {
    const quint16 number = ResolveTcpPort(Port.TcpPort);
    if (number == 0) return Fail(error, tr("unknown TCP port \"%1\"").arg(Port.TcpPort));

    QPointer<QTcpSocket> socket = new QTcpSocket(this);
    Socket = socket;
    WatchSocket(socket);

    // Wait in a local loop rather than waitForConnected(), whose name lookup is not bounded
    // by its time-out; user input stays out so no command starts against a half-open port.
    QEventLoop loop;
    QTimer deadline;
    deadline.setSingleShot(true);
    connect(&deadline, &QTimer::timeout, &loop, &QEventLoop::quit);
    connect(socket, &QAbstractSocket::stateChanged, &loop,
            [&loop](QAbstractSocket::SocketState state) {
                if (state == QAbstractSocket::ConnectedState ||
                    state == QAbstractSocket::UnconnectedState)
                    loop.quit();
            });
    socket->connectToHost(Port.TcpAddress, number);
    if (socket->state() != QAbstractSocket::ConnectedState &&
        socket->state() != QAbstractSocket::UnconnectedState) {
        const QPointer<TLink> self(this);
        deadline.start(ConnectTimeoutMs);
        loop.exec(QEventLoop::ExcludeUserInputEvents);
        if (!self) return Fail(error, QString());
    }

    // Close() may have run while we waited.
    if (!socket || Socket != socket) return Fail(error, tr("connecting was cancelled"));
    if (socket->state() != QAbstractSocket::ConnectedState) {
        const QString reason =
            socket->state() == QAbstractSocket::UnconnectedState
                ? QStringLiteral("%1: %2").arg(GetPortName(), socket->errorString())
                : tr("%1: no answer within %2 s").arg(GetPortName()).arg(ConnectTimeoutMs / 1000);
        Close();
        return Fail(error, reason);
    }
    Opened = true;
    return true;
}

bool TLink::OpenTcpServer(QString* error) {
    const quint16 number = ResolveTcpPort(Port.TcpPort);
    if (number == 0) return Fail(error, tr("unknown TCP port \"%1\"").arg(Port.TcpPort));
    auto* server = new QTcpServer(this);
    if (!server->listen(QHostAddress::Any, number)) {
        const QString reason =
            tr("cannot listen on TCP port %1: %2").arg(number).arg(server->errorString());
        delete server;
        return Fail(error, reason);
    }
    connect(server, &QTcpServer::newConnection, this, &TLink::AcceptPeers);
    Listener = server;
    Opened = true;
    return true;
}

void TLink::AcceptPeers() {
    while (Listener && Listener->hasPendingConnections()) {
        QTcpSocket* peer = Listener->nextPendingConnection();
        if (Socket) {
            // The bus has one panel; a second one would answer the same readers.
            peer->abort();
            peer->deleteLater();
            continue;
        }
        Socket = peer;
        WatchSocket(peer);
    }
}

void TLink::WatchSocket(QTcpSocket* socket) {
    // Frames are small and each waits for its answer: without this, Nagle's algorithm
    // holds a frame back until the previous segment is acknowledged (tens of ms).
    const auto lowDelay = [socket] { socket->setSocketOption(QAbstractSocket::LowDelayOption, 1); };
    if (socket->state() == QAbstractSocket::ConnectedState) lowDelay();
    connect(socket, &QTcpSocket::connected, socket, lowDelay);
    connect(socket, &QTcpSocket::readyRead, this, [this, socket] { TakeInput(socket); });
    const auto ended = [this, socket] {
        if (socket != Socket) return;
        if (Port.Server)
            DropPeer(socket);
        else if (Opened) // failures while connecting are Open()'s to report
            Lose(QStringLiteral("%1: %2").arg(GetPortName(), socket->errorString()));
    };
    connect(socket, &QTcpSocket::disconnected, this, ended);
    connect(socket, &QTcpSocket::errorOccurred, this, ended);
}

// A peer leaving a server is no failure: the port stays open and waits for the next one.
void TLink::DropPeer(QTcpSocket* peer) {
    TakeInput(peer);
    Retire(Socket, this);
}

void TLink::Lose(const QString& reason) {
    if (!Opened) return;
    Close();
    emit LinkLost(reason);
}

bool TLink::Write(const std::uint8_t* data, std::size_t count, QString* error) {
    if (!Opened) return Fail(error, tr("Error: no connection"));
    if (ListenOnly) return Fail(error, tr("Error: listening only; nothing is sent"));
    if (count == 0) return true;
    QIODevice* device = Serial ? static_cast<QIODevice*>(Serial) : Socket;
    if (!device) return true;
    const auto size = static_cast<qint64>(count);
    if (device->write(reinterpret_cast<const char*>(data), size) != size)
        return Fail(error, tr("Error: write failed: %1").arg(device->errorString()));
    // write() only queues; a nested wait right after a send would otherwise hold the frame.
    if (Serial)
        Serial->flush();
    else
        Socket->flush();
    return true;
}

bool TLink::ReadByte(std::uint8_t& out) {
    if (InputPos >= Input.size()) return false;
    out = Input[InputPos++];
    ++ConsumedTotal;
    if (InputPos == Input.size()) {
        // Drained: a backlog that grew large gives its memory back.
        if (Input.capacity() > 2 * MaxBacklog)
            std::vector<std::uint8_t>().swap(Input);
        else
            Input.clear();
        InputPos = 0;
        ReportDropped(true);
    }
    return true;
}

void TLink::TakeInput(QIODevice* device) {
    char chunk[4096];
    qint64 total = 0;
    for (qint64 n; (n = device->read(chunk, sizeof chunk)) > 0; total += n) {
        // Keep the newest MaxBacklog bytes: the oldest are the least use to anyone.
        const std::size_t unread = Input.size() - InputPos + static_cast<std::size_t>(n);
        if (unread > MaxBacklog) {
            const std::size_t excess = std::min(unread - MaxBacklog, Input.size() - InputPos);
            InputPos += excess;
            DroppedPending += excess;
            ConsumedTotal += excess;
            const std::size_t skip = unread - MaxBacklog - excess; // from this chunk
            DroppedPending += skip;
            Input.insert(Input.end(), chunk + skip, chunk + n);
        } else {
            Input.insert(Input.end(), chunk, chunk + n);
        }
        if (InputPos >= MaxBacklog) {
            Input.erase(Input.begin(), Input.begin() + static_cast<std::ptrdiff_t>(InputPos));
            InputPos = 0;
        }
    }
    if (total == 0) return;
    ReceivedTotal += static_cast<quint64>(total);
    if (!Opened) return;
    // Straight to the reader when nothing of ours is on the stack: no extra pass of the event
    // loop a reply. Inside a delivery (a handler's nested wait that pulled these bytes) it
    // goes by a queued event, so the outer handler finishes first.
    if (Delivering > 0 || NotifyPending)
        PostDataAvailable();
    else
        DeliverDataAvailable();
}

// A handler of ours runs inside the device's readyRead, which the device does not emit again
// until it returns: a wait inside it pulls what came meanwhile.
void TLink::Pull() {
    if (!Opened) return;
    QIODevice* device = Serial ? static_cast<QIODevice*>(Serial) : Socket;
    if (device && device->bytesAvailable() > 0) TakeInput(device);
}

void TLink::ReportDropped(bool force) {
    if (DroppedPending == 0) return;
    constexpr qint64 ReportEveryMs = 5000;
    if (!force && DropReportClock.isValid() && DropReportClock.elapsed() < ReportEveryMs) return;
    const quint64 count = std::exchange(DroppedPending, 0);
    DropReportClock.start();
    emit InputDropped(count);
}

void TLink::PostDataAvailable() {
    if (NotifyPending) return;
    NotifyPending = true;
    QMetaObject::invokeMethod(this, &TLink::DeliverDataAvailable, Qt::QueuedConnection);
}

void TLink::DeliverDataAvailable() {
    NotifyPending = false;
    const qint64 available = BytesAvailable();
    if (!Opened || available == 0) return;
    ReportDropped(false);
    const quint64 receivedBefore = ReceivedTotal;
    const quint64 consumedBefore = ConsumedTotal;
    const QPointer<TLink> self(this);
    ++Delivering;
    emit DataAvailable(static_cast<int>(std::min<qint64>(available, NotifyBatch)));
    if (!self) return;
    --Delivering;
    // A handler that read nothing waits for new bytes instead of being called in a loop.
    const bool progressed = ConsumedTotal != consumedBefore || ReceivedTotal != receivedBefore;
    if (progressed && BytesAvailable() > 0) PostDataAvailable();
}

std::vector<TLink::TSerialPortEntry> TLink::ListSerialPorts() {
    QStringList paths;
    QHash<QString, QString> descriptions;
    for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts()) {
        const QString path = info.systemLocation();
        if (descriptions.contains(path)) continue;
        QStringList parts;
        for (const QString& part : {info.description(), info.manufacturer(), info.serialNumber()})
            if (!part.trimmed().isEmpty() && !parts.contains(part.trimmed())) parts << part.trimmed();
        paths << path;
        descriptions.insert(path, parts.join(QStringLiteral(", ")));
    }
    SortPortNames(paths);
    std::vector<TSerialPortEntry> ports;
    for (const QString& path : paths)
        ports.push_back({path, descriptions.value(path)});
    return ports;
}

} // namespace quintrel
