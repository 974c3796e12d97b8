#include "engine.h"

#include "decode/describe.h"
#include "log/hex.h"
#include "osdp/frame_codec.h"

#include <QCoreApplication>
#include <QEventLoop>

#include <cmath>
#include <cstring>

namespace quintrel {

namespace {

constexpr std::uint8_t kSom = 0x53;
constexpr std::uint8_t kPoll = 0x60;
constexpr std::uint8_t kAck = 0x40;

QString Hex(const std::uint8_t* bytes, std::size_t count) {
    return QString::fromStdString(BytesToHex(bytes, count, true));
}

// Runs the event loop until done() holds. Each pass blocks until an event arrives,
// so a wait never spins; every caller's condition is bounded by a running timer.
template <typename TDone> void RunLoopUntil(TDone done) {
    while (!done())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

} // namespace

TEngine::TEngine(IEngineHost* host, QObject* parent) : QObject(parent), Host(host) {
    for (QTimer* t : {&CommTimer, &PollTimer, &TurnaroundTimer, &ReplyTimer, &BootTimer})
        t->setSingleShot(true);
    CommTimer.setInterval(ReplyTimeoutMs);
    connect(&CommTimer, &QTimer::timeout, this, &TEngine::OnTimeout);
    connect(&PollTimer, &QTimer::timeout, this, &TEngine::OnPollTimer);
    connect(&TurnaroundTimer, &QTimer::timeout, this, &TEngine::OnTurnaround);
    connect(&BootTimer, &QTimer::timeout, this, [this] { SetBootMode(0, 1); });
    connect(&CP1, &TLink::DataAvailable, this, &TEngine::OnTriggerAvail);
    connect(&CP1, &TLink::LinkLost, this, &TEngine::OnLinkLost);
}

TEngine::~TEngine() = default;

// ---------------------------------------------------------------- connection

bool TEngine::OpenPort(QString* error) {
    emit StatusText(0, QString());
    ResetAssembly();
    QString reason;
    if (!CP1.Open(&reason)) {
        if (error) {
            *error = QStringLiteral("Error: failed to open %1").arg(CP1.DisplayName());
            if (!reason.isEmpty()) *error += QLatin1Char('\n') + reason;
        }
        emit ControlsChanged();
        return false;
    }
    LostReported = false;
    emit StatusText(0, QStringLiteral("Connected to %1").arg(CP1.DisplayName()));
    StartPolling();
    return true;
}

void TEngine::ClosePort() {
    CP1.Close();
    emit StatusText(0, QStringLiteral("Disconnected"));
    for (TDeviceState& d : DeviceStates)
        d.Session.State = ssNone;
    ResetAssembly();
    emit PollListChanged();
}

void TEngine::Disconnect() {
    StopPolling();
    WaitExchangeDone();
    CommTimer.stop();
    ClosePort();
    emit ControlsChanged();
}

void TEngine::OnLinkLost(const QString&) {
    ConnectionLost();
}

void TEngine::ShowStatus(int panel, const QString& text) {
    emit StatusText(panel, text);
}

// A broken line while polling must not raise a box for every poll: stop, close and
// say it once until the next successful open.
void TEngine::ConnectionLost() {
    if (IsPolling) StopPolling();
    CommTimer.stop();
    ClosePort();
    emit ControlsChanged();
    if (!LostReported) {
        LostReported = true;
        emit ErrorMessage(QStringLiteral("Error: connection lost"));
    }
}

// ---------------------------------------------------------------- sending

bool TEngine::QueueRequest(const TOsdpRequest& request, QString* error) {
    if (!IsPolling) return SendRequest(request, error);
    // Refused now rather than when its turn comes, so the user hears of it.
    const std::uint8_t address = request.Address & 0x7F;
    const std::size_t length =
        EncodedLength(request, address < kDeviceCount ? &DeviceStates[address] : nullptr, UseCrc);
    if (length == 0 || length > kFrameBufferSize) {
        if (error)
            *error = length == 0 ? QStringLiteral("Error: invalid security block")
                                 : QStringLiteral("Error: frame too long");
        return false;
    }
    Ring[QueueWrite] = request;
    QueueWrite = (QueueWrite + 1) % RingSize;
    if (QueueWrite == QueueRead) QueueRead = (QueueRead + 1) % RingSize; // oldest dropped
    return true;
}

int TEngine::QueuedCount() const {
    return (QueueWrite - QueueRead + RingSize) % RingSize;
}

bool TEngine::SendRequest(const TOsdpRequest& request, QString* error) {
    LastSendFailedOnWrite = false;
    LastAddress = request.Address & 0x7F;
    TDeviceState* device = LastAddress < kDeviceCount ? &DeviceStates[LastAddress] : nullptr;
    const TEncodeResult frame = EncodeFrame(request, device, UseCrc, TxBuffer());
    if (!frame.Ok) {
        if (error) *error = QStringLiteral("Error: %1").arg(QLatin1String(frame.Error));
        return false;
    }
    TxLength = frame.Length;

    if (ShouldLogTraffic(request.Command, true)) {
        if (View.Description) {
            QString line = QStringLiteral("> addr=%1: ").arg(LastAddress);
            if (frame.ScbLength) line += QString::asprintf("SCS%.2X - ", frame.ScbType);
            line += QString::fromStdString(
                DescribeCommand(request.Command, request.Payload.data(), request.PayloadLength));
            emit LogLine(line);
        }
        if (View.Raw) emit LogLine(QStringLiteral("> ") + Hex(TxBuffer(), TxLength));
    }

    // The mark byte goes out in the same write as the frame.
    QString reason;
    if (!CP1.Write(TxLine.data(), TxLength + 1, &reason)) {
        LastSendFailedOnWrite = true;
        if (error) *error = reason;
        return false;
    }
    CommTimer.start(ReplyTimeoutMs);
    return true;
}

bool TEngine::WaitExchangeDone() {
    RunLoopUntil([this] { return !CommTimer.isActive(); });
    return true;
}

bool TEngine::ShouldLogTraffic(std::uint8_t code, bool sending) const {
    const bool routine = sending ? code == kPoll : (code == kPoll || code == kAck);
    return !routine || View.Poll;
}

// ---------------------------------------------------------------- poll cycle

int TEngine::NextPollAddress(int after) const {
    for (int a = after + 1; a < kDeviceCount; ++a)
        if (a >= 0 && DeviceStates[a].Selected) return a;
    if (after >= 0)
        for (int a = 0; a <= after && a < kDeviceCount; ++a)
            if (DeviceStates[a].Selected) return a;
    return -1;
}

void TEngine::StartPolling() {
    IsPolling = true;
    for (TDeviceState& d : DeviceStates) {
        d.Status = dsOk;
        d.Sequence = 0;
    }
    emit LogLine(QStringLiteral("START"));
    PollStep(NextPollAddress(-1));
    emit ControlsChanged();
}

void TEngine::StopPolling() {
    PollTimer.stop();
    TurnaroundTimer.stop();
    PollStepDue = false;
    IsPolling = false;
    emit LogLine(QStringLiteral("STOP"));
    emit StatusText(1, QString());
    emit ControlsChanged();
}

void TEngine::PollStep(int address) {
    PollTimer.stop();
    TurnaroundTimer.stop();
    PollStepDue = false;
    QString error;
    bool sent;
    if (QueueRead != QueueWrite) {
        const TOsdpRequest& queued = Ring[QueueRead];
        QueueRead = (QueueRead + 1) % RingSize;
        sent = SendRequest(queued, &error);
    } else if (address < 0 || address >= kDeviceCount) {
        StopPolling();
        return;
    } else {
        TOsdpRequest poll;
        poll.Command = kPoll;
        poll.Address = static_cast<std::uint8_t>(address);
        emit StatusText(1, QStringLiteral("Polling %1").arg(address));
        sent = SendRequest(poll, &error);
    }
    if (!sent) {
        if (LastSendFailedOnWrite) {
            ConnectionLost();
            return;
        }
        // A queued request that cannot be framed is reported and skipped; the cycle
        // goes on, since no reply or time-out would ever move it forward otherwise.
        emit LogLine(error);
        TurnaroundTimer.start(0);
    }
    if (PollIntervalMs > 0) PollTimer.start(PollIntervalMs);
}

// The pacing waits are timers rather than nested loops or a blocking sleep, so the
// window stays responsive between polls and no wait re-enters another.
void TEngine::ContinuePolling() {
    if (!IsPolling) return;
    if (PollTimer.isActive()) {
        PollStepDue = true;
        return;
    }
    PollStep(NextPollAddress(LastAddress));
}

void TEngine::OnPollTimer() {
    if (!PollStepDue) return;
    PollStepDue = false;
    ContinuePolling();
}

void TEngine::OnTurnaround() {
    ContinuePolling();
}

int TEngine::TurnaroundMs() const {
    const int baud = CP1.Baud();
    if (baud <= 0) return 20;
    const int ms = static_cast<int>(std::lround(20000.0 / baud));
    return ms < 20 ? 20 : ms;
}

void TEngine::SetSelection(const std::array<bool, kDeviceCount>& ticked) {
    for (int a = 0; a < kDeviceCount; ++a) {
        TDeviceState& d = DeviceStates[a];
        if (ticked[a] && !d.Selected) {
            d.Status = dsOk;
            d.Sequence = 0;
        }
        d.Selected = ticked[a];
    }
    emit ControlsChanged();
}

std::array<bool, kDeviceCount> TEngine::Selection() const {
    std::array<bool, kDeviceCount> ticked{};
    for (int a = 0; a < kDeviceCount; ++a)
        ticked[a] = DeviceStates[a].Selected;
    return ticked;
}

void TEngine::SetSelected(int address, bool ticked) {
    if (address < 0 || address >= kDeviceCount) return;
    std::array<bool, kDeviceCount> selection = Selection();
    selection[address] = ticked;
    SetSelection(selection);
}

// ---------------------------------------------------------------- receiving

void TEngine::OnTriggerAvail(int count) {
    for (int i = 0; i < count; ++i) {
        std::uint8_t b;
        if (!CP1.ReadByte(b)) return;
        if (BootModeOn) {
            if (HandleBootByte) HandleBootByte(b);
            continue;
        }
        if (CommTimer.isActive()) CommTimer.start(ReplyTimeoutMs);
        if (AssembleByte(b)) return;
    }
}

bool TEngine::AssembleByte(std::uint8_t b) {
    if (RxCount == 0) {
        if (b == kSom) RxBuffer[RxCount++] = b;
        return false;
    }
    if (RxCount == 1 && b == kSom) {
        // A second start byte: the frame starts here instead. The rest of this
        // notification's bytes wait for the next one.
        if (View.Raw) emit LogLine(Hex(RxBuffer.data(), 1));
        return true;
    }
    RxBuffer[RxCount++] = b;
    if (RxCount < 6) return false;
    const std::size_t length = RxBuffer[2] | (RxBuffer[3] << 8);
    if (length > kFrameBufferSize) {
        ResetAssembly(); // cannot be held; wait for the next start byte
        return false;
    }
    if (RxCount < length) return false;

    CommTimer.stop();
    // Work on a copy: handlers of this frame may run nested loops that assemble the next
    // frame into RxBuffer before this one is done.
    std::array<std::uint8_t, kFrameBufferSize> frame;
    const std::size_t count = RxCount;
    std::memcpy(frame.data(), RxBuffer.data(), count);
    ResetAssembly();
    ProcessFrame(frame.data(), count);
    if (IsPolling) TurnaroundTimer.start(TurnaroundMs());
    return false;
}

void TEngine::ProcessFrame(std::uint8_t* frame, std::size_t count) {
    const TDecodedFrame peek = PeekFrame(frame, count);
    const std::uint8_t address = peek.Address;
    const bool shown = ShouldLogTraffic(peek.Code, false);
    if (shown && View.Raw) emit LogLine(QStringLiteral("< ") + Hex(frame, count));

    const TDecodedFrame f = DecodeFrame(frame, count, DeviceStates);
    TDeviceState* device = address < kDeviceCount ? &DeviceStates[address] : nullptr;
    if (!f.Valid) {
        emit StatusText(2, QStringLiteral("Invalid message from %1").arg(address));
        emit PollListChanged();
        if (!device || device->Status != dsError) {
            if (device) device->Status = dsError;
            emit ControlsChanged();
            emit LogLine(
                QStringLiteral("ERROR (%1 from %2)").arg(QLatin1String(f.Error)).arg(address));
        }
        return;
    }

    emit StatusText(2, QStringLiteral("Message from %1").arg(address));
    const std::uint8_t* data = frame + f.DataStart;
    if (shown && View.Description) {
        QString line = QStringLiteral("< addr=%1: ").arg(address);
        if (f.HasBlock()) line += QString::asprintf("SCS%.2X - ", f.ScbType());
        line += QString::fromStdString(DescribeReply(f.Code, data, f.DataLength, Vendors, MfgId));
        emit LogLine(line);
    }
    DispatchReply(address, f.Code, data, f.DataLength, f.ScbType());
    if (Awaited != 0 && f.Code == Awaited) Awaited = 0;
    if (device) {
        if (device->Status != dsOk) {
            device->Status = dsOk;
            emit ControlsChanged();
        } else {
            device->Sequence = static_cast<std::uint8_t>(device->Sequence % 3 + 1);
        }
    }
    emit FrameReceived(
        address, f.Code,
        QByteArray(reinterpret_cast<const char*>(data), static_cast<qsizetype>(f.DataLength)));
}

void TEngine::DispatchReply(std::uint8_t address, std::uint8_t code, const std::uint8_t* data,
                            std::size_t length, std::uint8_t scbType) {
    TDeviceState* device = address < kDeviceCount ? &DeviceStates[address] : nullptr;
    switch (code) {
    case 0x54: // osdp_COM: follow the device to its new address and speed
        if (length == 5) {
            const int newAddress = data[0];
            const std::uint32_t baud = static_cast<std::uint32_t>(data[1]) | (data[2] << 8) |
                                       (data[3] << 16) |
                                       (static_cast<std::uint32_t>(data[4]) << 24);
            if (newAddress != address && newAddress < kDeviceCount) {
                if (Host) Host->SelectAddress(newAddress);
                std::array<bool, kDeviceCount> selection = Selection();
                if (device) selection[address] = false;
                selection[newAddress] = true;
                SetSelection(selection);
                emit PollListChanged();
            }
            if (baud >= 1200 && baud <= 115200 && static_cast<int>(baud) != CP1.Baud())
                CP1.SetBaud(static_cast<int>(baud));
        }
        break;
    case 0x76: // osdp_CCRYPT
        if (device && scbType == 0x12 && length == 32) {
            TSecureSession& s = device->Session;
            std::memcpy(s.Cuid.data(), data, 8);
            std::memcpy(s.RndB.data(), data + 8, 8);
            std::memcpy(s.ClientCryptogram.data(), data + 16, 16);
            s.State = ssCryptReceived;
            if (Host) Host->IssueMenuCommand(0x77);
        }
        break;
    case 0x78: // osdp_RMAC_I opens the session
        if (device && device->Session.State == ssScryptSent && scbType == 0x14 && length == 16) {
            std::memcpy(device->Session.LastMac.data(), data, 16);
            device->Session.State = ssEstablished;
            emit PollListChanged();
        }
        break;
    case 0x7A: // osdp_FTSTAT: the device asks for the next block
        if (length >= 7) {
            const auto status = static_cast<std::int16_t>(data[3] | (data[4] << 8));
            if (status >= 0 && Host) Host->IssueMenuCommand(0x7C);
        }
        break;
    case 0x90: // osdp_MFGREP from the maker's readers
        if (length >= 4 && data[0] == 0x7C && data[1] == 0x4E)
            emit MfgReply(address, QByteArray(reinterpret_cast<const char*>(data),
                                              static_cast<qsizetype>(length)));
        break;
    default:
        break;
    }
}

void TEngine::OnTimeout() {
    CommTimer.stop();
    if (RxCount > 0) {
        emit LogLine(Hex(RxBuffer.data(), RxCount));
        ResetAssembly();
    }
    if (LastAddress < kDeviceCount) {
        TDeviceState& d = DeviceStates[LastAddress];
        if (d.Status != dsTimeout) {
            d.Status = dsTimeout;
            d.Sequence = 0;
            emit ControlsChanged();
            emit LogLine(QStringLiteral("TIMEOUT (no reply from %1)").arg(LastAddress));
        }
        emit StatusText(2, QStringLiteral("Timeout %1").arg(LastAddress));
    }
    ContinuePolling();
}

// ---------------------------------------------------------------- waits and boot mode

bool TEngine::WaitForReply(std::uint8_t code) {
    ReplyTimer.start(ReplyWaitMs);
    Awaited = code;
    RunLoopUntil([this] { return !ReplyTimer.isActive() || Awaited == 0; });
    return Awaited == 0;
}

void TEngine::SetBootMode(int intervalMs, int tag) {
    BootTimer.stop();
    BootTag = tag;
    if (intervalMs > 0) BootTimer.start(intervalMs);
    BootModeOn = BootTimer.isActive();
}

bool TEngine::WaitBootMode() {
    if (!BootTimer.isActive()) return true;
    RunLoopUntil([this] { return !BootTimer.isActive(); });
    return BootTag == 0;
}

bool TEngine::SendBootBlock(const std::uint8_t* bytes, int count, int timeoutMs) {
    if (count <= 0) return false;
    ResetAssembly();
    if (!CP1.IsOpen()) {
        emit ErrorMessage(QStringLiteral("Error: no connection"));
        return false;
    }
    SetBootMode(timeoutMs, 0);
    if (!CP1.Write(bytes, static_cast<std::size_t>(count))) {
        SetBootMode(0, 1);
        LostReported = false; // a user action: it hears of the failure every time
        ConnectionLost();
        return false;
    }
    return WaitBootMode();
}

} // namespace quintrel
