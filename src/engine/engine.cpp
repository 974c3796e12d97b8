#include "engine.h"

#include "decode/describe.h"
#include "log/hex.h"
#include "osdp/frame_codec.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QMetaMethod>

#include <cmath>
#include <cstring>

namespace quintrel {

namespace {

constexpr std::uint8_t kPoll = 0x60;
constexpr std::uint8_t kAck = 0x40;
constexpr std::uint8_t kBusy = 0x79;

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
    // Protocol timing needs millisecond timers: coarse ones may fire 5 % early or late.
    for (QTimer* t :
         {&CommTimer, &PollTimer, &TurnaroundTimer, &ReplyTimer, &BootTimer, &DisconnectTimer}) {
        t->setSingleShot(true);
        t->setTimerType(Qt::PreciseTimer);
    }
    CommTimer.setInterval(ReplyTimeoutMs);
    connect(&CommTimer, &QTimer::timeout, this, &TEngine::OnTimeout);
    connect(&PollTimer, &QTimer::timeout, this, &TEngine::OnPollTimer);
    connect(&TurnaroundTimer, &QTimer::timeout, this, &TEngine::OnTurnaround);
    connect(&BootTimer, &QTimer::timeout, this, [this] { SetBootMode(0, 1); });
    connect(&CP1, &TLink::DataAvailable, this, &TEngine::OnTriggerAvail);
    connect(&CP1, &TLink::LinkLost, this, &TEngine::OnLinkLost);
    connect(&CP1, &TLink::InputDropped, this, [this](quint64 count) {
        emit LogLine(QStringLiteral("Input overflow: %1 bytes dropped").arg(count));
    });
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
    // What described the connection ("Polling 3", "Timeout 3") no longer holds.
    emit StatusText(1, QString());
    emit StatusText(2, QString());
    EndEverySession(QStringLiteral("disconnected"));
    ResetAssembly();
    RepeatDue = false;
    ExchangeOpen = false;
    Attempts = 0;
    TurnaroundTimer.stop();
    emit PollListChanged();
    emit Disconnected();
}

// Waits for the outstanding exchange, but never longer than one reply time-out: bytes
// that keep arriving (noise, a flood) must not hold the port open.
void TEngine::Disconnect() {
    StopPolling();
    RepeatDue = false;
    IsDisconnecting = true;
    emit ControlsChanged();
    DisconnectTimer.start(ReplyTimeoutMs);
    RunLoopUntil([this] { return !CommTimer.isActive() || !DisconnectTimer.isActive(); });
    DisconnectTimer.stop();
    CommTimer.stop();
    ClosePort();
    IsDisconnecting = false;
    emit ControlsChanged();
}

void TEngine::ReportSessionEnd(int address, std::uint8_t before, const QString& reason) {
    if (before == ssNone) return;
    emit LogLine((before >= ssEstablished ? QStringLiteral("Secure channel with %1 ended (%2)")
                                          : QStringLiteral("Secure channel with %1 not "
                                                           "established (%2)"))
                     .arg(address)
                     .arg(reason));
    emit PollListChanged();
}

void TEngine::EndEverySession(const QString& reason) {
    for (int a = 0; a < kDeviceCount; ++a) {
        TSecureSession& s = DeviceStates[a].Session;
        const std::uint8_t before = s.State;
        EndSession(s);
        ReportSessionEnd(a, before, reason);
    }
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
    LastSendFailedOnWrite = false; // an encoding refusal is no write failure
    const std::uint8_t address = request.Address & 0x7F;
    TDeviceState* device = address < kDeviceCount ? &DeviceStates[address] : nullptr;
    if (RepeatDue) {
        // A new frame overtakes a repeat that has not gone yet. The device may still hold
        // a reply under the old number, so a frame to it starts its count again.
        RepeatDue = false;
        if (device && LastAddress == address)
            RestartSequence(address, QStringLiteral("sequence restart"));
    }
    const TEncodeResult frame = EncodeFrame(request, device, UseCrc, TxBuffer());
    if (!frame.Ok) {
        // Refused before anything went out: the exchange in progress keeps its address.
        if (error) *error = QStringLiteral("Error: %1").arg(QLatin1String(frame.Error));
        return false;
    }
    LastAddress = address;
    TxLength = frame.Length;
    LastRequest = request;
    LastScbLength = frame.ScbLength;
    LastScbType = frame.ScbType;
    Attempts = 0;
    if (!device) {
        // Sequence 0 reaches every reader on the line and restarts each one's count and
        // secure session, so the next frame to each carries 1.
        for (TDeviceState& d : DeviceStates)
            d.Sequence = 1;
        EndEverySession(QStringLiteral("broadcast"));
    }
    TransmitFrame();
    if (LastSendFailedOnWrite) {
        if (error) *error = LastWriteError;
        return false;
    }
    return true;
}

// Logs and writes the frame in TxLine; used for a new frame and for its repeats alike.
void TEngine::TransmitFrame() {
    LastSendFailedOnWrite = false;
    if (ShouldLogTraffic(LastRequest.Command, true)) {
        if (View.Description) {
            QString line = QStringLiteral("> addr=%1: ").arg(LastAddress);
            if (LastScbLength) line += QString::asprintf("SCS%.2X - ", LastScbType);
            line += QString::fromStdString(DescribeCommand(
                LastRequest.Command, LastRequest.Payload.data(), LastRequest.PayloadLength));
            emit LogLine(line);
        }
        if (View.Raw) emit LogLine(QStringLiteral("> ") + Hex(TxBuffer(), TxLength));
    }
    // The mark byte goes out in the same write as the frame.
    QString reason;
    if (!CP1.Write(TxLine.data(), TxLength + 1, &reason)) {
        LastSendFailedOnWrite = true;
        LastWriteError = reason;
        ExchangeOpen = false;
        return;
    }
    ++Attempts;
    ExchangeOpen = true;
    SentClock.start();
    CommTimer.start(ReplyWait);
    EmitLineFrame(true, TxBuffer(), TxLength);
    emit FrameSent(static_cast<std::uint8_t>(LastAddress), LastRequest.Command, Attempts);
}

void TEngine::EmitLineFrame(bool sent, const std::uint8_t* frame, std::size_t count) {
    // Only a capture listens; without one no copy is made.
    static const QMetaMethod signal = QMetaMethod::fromSignal(&TEngine::LineFrame);
    if (isSignalConnected(signal))
        emit LineFrame(
            sent, QByteArray(reinterpret_cast<const char*>(frame), static_cast<qsizetype>(count)));
}

void TEngine::SendRepeat() {
    RepeatDue = false;
    TransmitFrame();
    if (LastSendFailedOnWrite) ConnectionLost();
}

// The reply to the frame in TxLine was unusable. While attempts remain the same frame
// goes again, so a device that did receive it answers from its reply cache and nothing
// runs twice; after that the device starts over, as after a time-out.
// A reply that arrived intact but failed its security (MAC, no session) would only come
// again the same from the cache, so it is not repeated.
void TEngine::ExchangeFailed(const char* reason, bool intact) {
    if (LastAddress >= kDeviceCount) return; // a broadcast has no device to repeat it for
    if (!intact && Attempts < MaxAttempts) {
        RepeatDue = true;
        return;
    }
    const QString why = *reason ? QLatin1String(reason) : QStringLiteral("mac error");
    RestartSequence(LastAddress, why);
}

void TEngine::RestartSequence(int address, const QString& reason) {
    TDeviceState& d = DeviceStates[address];
    d.Sequence = 0;
    Attempts = 0;
    // Sequence 0 ends the device's secure session too, so ours ends with it. A challenge
    // still to be sent starts at 0 anyway; one that was sent has failed with its frame.
    const std::uint8_t before = d.Session.State;
    if (d.Session.IsEstablished()) {
        EndSession(d.Session);
        ReportSessionEnd(address, before, reason);
    } else if (address == LastAddress) {
        EndHandshake(address, reason);
    }
}

bool TEngine::LastFrameWasHandshake() const {
    return LastScbLength != 0 && (LastScbType == 0x11 || LastScbType == 0x13);
}

// A handshake ends only through what answers its own frames: a reply to an earlier poll
// that arrives after a challenge was composed says nothing about it.
void TEngine::EndHandshake(int address, const QString& reason) {
    if (address >= kDeviceCount || !LastFrameWasHandshake()) return;
    TSecureSession& s = DeviceStates[address].Session;
    if (s.State == ssNone || s.IsEstablished()) return;
    const std::uint8_t before = s.State;
    EndSession(s);
    ReportSessionEnd(address, before, reason);
}

// A repeat that is due belongs to the same exchange.
bool TEngine::WaitExchangeDone() {
    RunLoopUntil([this] { return !CommTimer.isActive() && !RepeatDue; });
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
    RepeatDue = false;
    Attempts = 0;
    for (TDeviceState& d : DeviceStates) {
        d.Status = dsOk;
        d.Sequence = 0;
        d.RepliesWithCrc = false; // the reader may have been changed while polling was off
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
    if (RepeatDue) {
        RepeatDue = false;
        TransmitFrame();
        sent = !LastSendFailedOnWrite;
    } else if (QueueRead != QueueWrite) {
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
    if (PollIntervalMs > 0) {
        PollClock.start();
        PollTimer.start(PollIntervalMs);
    }
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
    // Never short: a timer that fired early waits out the rest.
    const qint64 left = PollIntervalMs - PollClock.elapsed();
    if (left > 0) {
        PollTimer.start(static_cast<int>(left));
        return;
    }
    if (!PollStepDue) return;
    PollStepDue = false;
    ContinuePolling();
}

void TEngine::OnTurnaround() {
    if (RepeatDue)
        SendRepeat();
    else
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
        const bool waitForNext = AssembleByte(b);
        // Only bytes of a frame being assembled extend the wait for the reply: noise
        // between frames must not keep a silent device from timing out.
        if (Assembly.Held() > 0) ByteClock.start();
        if (waitForNext) return;
    }
}

bool TEngine::AssembleByte(std::uint8_t b) {
    switch (Assembly.Feed(b)) {
    case TFrameAssembler::TStep::Pending:
        return false;
    case TFrameAssembler::TStep::SecondStart:
        // The frame starts at the second start byte instead; the rest of this
        // notification's bytes wait for the next one.
        if (View.Raw) emit LogLine(Hex(Assembly.Data(), 1));
        return true;
    case TFrameAssembler::TStep::Frame:
        break;
    }
    CommTimer.stop();
    // Only the first frame after a send answers it; anything else is logged and
    // checked, but neither paces the cycle nor counts for the exchange.
    const bool answers = ExchangeOpen;
    ExchangeOpen = false;
    RoundTripUs = answers ? SentClock.nsecsElapsed() / 1000 : -1;
    // Work on a copy: handlers of this frame may run nested loops that assemble the next
    // frame into the assembly before this one is done.
    std::array<std::uint8_t, kFrameBufferSize> frame;
    const std::size_t count = Assembly.Held();
    std::memcpy(frame.data(), Assembly.Data(), count);
    ResetAssembly();
    EmitLineFrame(false, frame.data(), count);
    ProcessFrame(frame.data(), count, answers);
    if (answers && (IsPolling || RepeatDue)) TurnaroundTimer.start(TurnaroundMs());
    return false;
}

void TEngine::ProcessFrame(std::uint8_t* frame, std::size_t count, bool answers) {
    const TDecodedFrame peek = PeekFrame(frame, count);
    const std::uint8_t address = peek.Address;
    const bool shown = ShouldLogTraffic(peek.Code, false);
    if (shown && View.Raw) emit LogLine(QStringLiteral("< ") + Hex(frame, count));

    TDeviceState* device = address < kDeviceCount ? &DeviceStates[address] : nullptr;
    const std::uint8_t sessionBefore = device ? device->Session.State : std::uint8_t{ssNone};
    const TDecodedFrame f = DecodeFrame(frame, count, DeviceStates);
    const bool sessionEnded = device && sessionBefore != ssNone && device->Session.State == ssNone;
    if (!f.Valid) {
        emit StatusText(2, QStringLiteral("Invalid message from %1").arg(address));
        emit PollListChanged();
        if (!device || device->Status != dsError) {
            if (device) device->Status = dsError;
            emit ControlsChanged();
            emit LogLine(
                QStringLiteral("ERROR (%1 from %2)").arg(QLatin1String(f.Error)).arg(address));
        }
        if (sessionEnded)
            ReportSessionEnd(address, sessionBefore,
                             *f.Error ? QLatin1String(f.Error) : QStringLiteral("mac error"));
        if (answers) {
            emit ExchangeEnded(static_cast<std::uint8_t>(LastAddress),
                               f.Intact ? TExchangeEnd::BadSecurity : TExchangeEnd::BadCheck,
                               RoundTripUs);
            ExchangeFailed(f.Error, f.Intact);
        }
        emit InvalidFrame(address);
        return;
    }

    emit StatusText(2, QStringLiteral("Message from %1").arg(address));
    // A broadcast's answer counts for the reader that gave it.
    if (answers)
        emit ExchangeEnded(LastAddress < kDeviceCount ? static_cast<std::uint8_t>(LastAddress)
                                                      : address,
                           TExchangeEnd::Reply, RoundTripUs);
    if (sessionEnded)
        ReportSessionEnd(address, sessionBefore,
                         f.HasBlock() ? QStringLiteral("unprotected reply")
                                      : QStringLiteral("plain reply"));
    const std::uint8_t* data = frame + f.DataStart;
    if (shown && View.Description) {
        QString line = QStringLiteral("< addr=%1: ").arg(address);
        if (f.HasBlock()) line += QString::asprintf("SCS%.2X - ", f.ScbType());
        line += QString::fromStdString(DescribeReply(f.Code, data, f.DataLength, Vendors, MfgId));
        emit LogLine(line);
    }
    if (device && device->Status != dsOk) {
        device->Status = dsOk;
        emit ControlsChanged();
    }
    if (answers && f.Code == kBusy && address == LastAddress && device) {
        // Busy is no answer to the command: the same frame goes again, with the same
        // number, until the attempts run out.
        if (Attempts < MaxAttempts) {
            RepeatDue = true;
        } else {
            emit LogLine(QStringLiteral("BUSY (command %1 to %2 dropped after %3 attempts)")
                             .arg(QString::asprintf("%.2X", LastRequest.Command))
                             .arg(address)
                             .arg(Attempts));
            Attempts = 0;
        }
    } else if (answers && device && LastAddress < kDeviceCount) {
        // (A reader's answer to a broadcast steps nothing: its count restarted at 0 and
        // waits for 1, which every device's next frame carries.)
        if (address == LastAddress && LastFrameWasHandshake()) {
            const bool expected = LastScbType == 0x11 ? f.Code == 0x76 && f.ScbType() == 0x12
                                                      : f.Code == 0x78 && f.ScbType() == 0x14;
            if (!expected)
                EndHandshake(address, f.HasBlock() ? QStringLiteral("unexpected reply")
                                                   : QStringLiteral("plain reply"));
        }
        // Every answer steps the number, the one that ends an error or time-out run too,
        // so no later command leaves with a number the device has already answered.
        device->Sequence = static_cast<std::uint8_t>(device->Sequence % 3 + 1);
    }
    // Dispatch after the step: a command issued from here (osdp_SCRYPT) takes the next number.
    DispatchReply(address, f.Code, data, f.DataLength, f.ScbType());
    if (Awaited != 0 && f.Code == Awaited) Awaited = 0;
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
            // The answer goes to the device that sent the cryptogram, whatever the
            // address box shows.
            if (Host) Host->IssueMenuCommand(0x77, address);
        }
        break;
    case 0x78: // osdp_RMAC_I opens the session
        if (device && device->Session.State == ssScryptSent && scbType == 0x14 && length == 16) {
            std::memcpy(device->Session.LastMac.data(), data, 16);
            device->Session.State = ssEstablished;
            emit LogLine(QStringLiteral("Secure channel with %1 established").arg(address));
            emit PollListChanged();
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
    // Never before the full time: a timer that fired early, or bytes of a frame that
    // came meanwhile, move the deadline on.
    const qint64 left = TimeoutLeftMs();
    if (left > 0) {
        CommTimer.start(static_cast<int>(left));
        return;
    }
    CommTimer.stop();
    ExchangeOpen = false;
    Attempts = 0;
    EndHandshake(LastAddress, QStringLiteral("no reply"));
    if (Assembly.Held() > 0) {
        emit LogLine(Hex(Assembly.Data(), Assembly.Held()));
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
    emit ExchangeEnded(static_cast<std::uint8_t>(LastAddress), TExchangeEnd::Timeout, -1);
    ContinuePolling();
}

// The reply time runs from the frame sent. A frame in assembly gets the inter-byte time
// after its last byte, but never more in all than its own length takes on the line: a
// false start in slow noise must not hold the line for ever.
qint64 TEngine::TimeoutLeftMs() const {
    const qint64 fromSend = ReplyWait - SentClock.elapsed();
    if (Assembly.Held() == 0 || !ByteClock.isValid()) return fromSend;
    const std::size_t length = Assembly.Held() >= 4 ? Assembly.Length() : kFrameBufferSize;
    const int baud = CP1.Baud() > 0 ? CP1.Baud() : 9600;
    const qint64 lineMs = static_cast<qint64>((length * 10 * 1000 + baud - 1) / baud);
    const qint64 fromByte = ReplyWait - ByteClock.elapsed();
    return std::max(fromSend, std::min(fromByte, fromSend + lineMs));
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
