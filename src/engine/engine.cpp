#include "engine.h"

#include "decode/describe.h"
#include "log/hex.h"
#include "osdp/bytes.h"
#include "osdp/frame_codec.h"

#include "crypto/handshake.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QMetaMethod>
#include <QRandomGenerator>

#include <cmath>
#include <cstring>
#include <memory>
#include <utility>

namespace quintrel {

namespace {

constexpr std::uint8_t kPoll = 0x60;
constexpr std::uint8_t kAck = 0x40;
constexpr std::uint8_t kBusy = 0x79;

// What the line did to an exchange, as against what the device answered.
bool IsLineFault(const QString& reason) {
    static const QStringList faults = {
        QStringLiteral("no reply"),         QStringLiteral("crc error"),
        QStringLiteral("cksum error"),      QStringLiteral("length error"),
        QStringLiteral("mac error"),        QStringLiteral("block length error"),
        QStringLiteral("data length error")};
    return faults.contains(reason);
}

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
    ReconnectTimer.setSingleShot(true);
    ReconnectTimer.setTimerType(Qt::PreciseTimer); // never sooner than the interval
    ReconnectTimer.setInterval(ReconnectIntervalMs);
    connect(&ReconnectTimer, &QTimer::timeout, this, &TEngine::TryReconnect);
    HeardTimer.setSingleShot(true);
    HeardTimer.setTimerType(Qt::PreciseTimer);
    HeardTimer.setInterval(ReplyTimeoutMs);
    connect(&HeardTimer, &QTimer::timeout, this, [this] {
        if (HeardCommand.Open) HeardUnanswered();
    });
    connect(&CP1, &TLink::InputDropped, this, [this](quint64 count) {
        emit LogLine(QStringLiteral("Input overflow: %1 bytes dropped").arg(count));
    });
}

TEngine::~TEngine() = default;

// ---------------------------------------------------------------- connection

// The port opened for talking or for listening; whoever opens it ends a reconnection under
// way, and a reconnection after a loss does what this open was for.
bool TEngine::OpenLink(bool listening, QString* error) {
    ReconnectTimer.stop();
    ReconnectListens = listening;
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
    return true;
}

bool TEngine::OpenPort(QString* error) {
    if (ListenMode) {
        if (error) *error = QStringLiteral("Error: %1 is already open").arg(CP1.DisplayName());
        return false;
    }
    if (!OpenLink(false, error)) return false;
    emit StatusText(0, QStringLiteral("Connected to %1").arg(CP1.DisplayName()));
    StartPolling();
    return true;
}

void TEngine::ClosePort() {
    // A command still waiting for its reply, or for its repeat, gets none now.
    if (ExchangeOpen)
        EndCommand(TExchangeEnd::Timeout);
    else if (RepeatDue)
        EndCommand(RepeatCause, RepeatReply);
    CommTimer.stop(); // nothing is left to answer, and no time-out may follow the close
    if (Overheard) Overheard->Finish(); // a frame cut short by the close is reported
    Overheard.reset();
    ListenMode = false;
    HeardTimer.stop();
    HeardCommand = THeardCommand{};
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
    ClearQueue();
    Answered.fill(false);
    ReplyClock.invalidate();
    emit PollListChanged();
    emit Disconnected();
}

// Waits for the outstanding exchange, but never longer than one reply time-out: bytes
// that keep arriving (noise, a flood) must not hold the port open.
void TEngine::Disconnect() {
    StopReconnecting();
    if (!ListenMode) StopPolling();
    if (RepeatDue) EndCommand(RepeatCause, RepeatReply);
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
    const bool reopening = before < ssEstablished && address >= 0 && address < kDeviceCount &&
                           std::exchange(Reopen[address].Running, false);
    // A reopening that the line itself cut short is tried again at the next answer; one the
    // device turned down is not.
    if (reopening) Reopen[address].Pending = ReopenSessions && IsLineFault(reason);
    emit LogLine((before >= ssEstablished ? QStringLiteral("Secure channel with %1 ended (%2)")
                  : reopening ? QStringLiteral("Secure channel with %1 not reopened (%2)")
                              : QStringLiteral("Secure channel with %1 not "
                                               "established (%2)"))
                     .arg(address)
                     .arg(reason));
    emit PollListChanged();
}

// Sessions ended on purpose (a broadcast, a disconnect) are not opened again.
void TEngine::EndEverySession(const QString& reason) {
    Reopen.fill(TReopen{});
    for (int a = 0; a < kDeviceCount; ++a) {
        TSecureSession& s = DeviceStates[a].Session;
        const std::uint8_t before = s.State;
        EndSession(s);
        ReportSessionEnd(a, before, reason);
    }
}

void TEngine::OnLinkLost(const QString& reason) {
    ConnectionLost(reason);
}

void TEngine::SetReconnect(bool on) {
    ReconnectOn = on;
    if (!on) StopReconnecting();
}

void TEngine::StopReconnecting() {
    if (!ReconnectTimer.isActive()) return;
    ReconnectTimer.stop();
    emit LogLine(QStringLiteral("Reconnection to %1 stopped").arg(CP1.DisplayName()));
    emit ControlsChanged();
}

void TEngine::TryReconnect() {
    if (CP1.IsOpen()) return;
    QString error;
    if (ReconnectListens ? StartListening(&error) : OpenPort(&error)) {
        emit LogLine(QStringLiteral("Reconnected to %1").arg(CP1.DisplayName()));
        emit ControlsChanged();
        return;
    }
    // The port's own reason, without the "Error: failed to open X" that this line says.
    const qsizetype reason = error.indexOf(QLatin1Char('\n'));
    if (reason >= 0) error = error.mid(reason + 1);
    emit LogLine(QStringLiteral("Reconnection to %1 failed (%2); next try in %3 s")
                     .arg(CP1.DisplayName(), error)
                     .arg(ReconnectTimer.interval() / 1000.0));
    if (ReconnectOn) ReconnectTimer.start();
}

void TEngine::ShowStatus(int panel, const QString& text) {
    emit StatusText(panel, text);
}

// A broken line while polling must not raise a box for every poll: stop, close and
// say it once until the next successful open. The log keeps why; with reconnection on,
// the log is all there is to say, and the port is tried again.
void TEngine::ConnectionLost(const QString& reason) {
    if (IsPolling) StopPolling();
    CommTimer.stop();
    const QString port = CP1.DisplayName();
    ClosePort();
    emit LogLine(reason.isEmpty() ? QStringLiteral("Connection to %1 lost").arg(port)
                                  : QStringLiteral("Connection to %1 lost (%2)").arg(port, reason));
    if (ReconnectOn) {
        ReconnectTimer.start();
        emit LogLine(QStringLiteral("Reconnecting to %1 every %2 s")
                         .arg(port)
                         .arg(ReconnectTimer.interval() / 1000.0));
    }
    emit ControlsChanged();
    if (!LostReported && !ReconnectOn) {
        LostReported = true;
        emit ErrorMessage(QStringLiteral("Error: connection lost"));
    }
}

// ---------------------------------------------------------------- sending

bool TEngine::QueueRequest(const TOsdpRequest& request, QString* error, TOrigin origin) {
    if (ListenMode) {
        if (error) *error = ListenOnlyError();
        return false;
    }
    if (!IsPolling) return SendRequest(request, error, origin);
    if (!Enqueue(request, error, origin)) return false;
    Kick();
    return true;
}

// Refused now rather than when its turn comes, so the user hears of it.
bool TEngine::Enqueue(const TOsdpRequest& request, QString* error, TOrigin origin) {
    const std::uint8_t address = request.Address & 0x7F;
    const std::size_t length =
        EncodedLength(request, address < kDeviceCount ? &DeviceStates[address] : nullptr, UseCrc);
    if (length == 0 || length > kFrameBufferSize) {
        if (error)
            *error = length == 0 ? QStringLiteral("Error: invalid security block")
                                 : QStringLiteral("Error: frame too long");
        return false;
    }
    ++Submitted;
    Ring[QueueWrite] = request;
    RingOrigin[QueueWrite] = origin;
    QueueWrite = (QueueWrite + 1) % RingSize;
    if (QueueWrite == QueueRead) { // full: the oldest is dropped
        QueueRead = (QueueRead + 1) % RingSize;
        ++Dispatched;
        DispatchClock.start();
    }
    return true;
}

int TEngine::QueuedCount() const {
    return (QueueWrite - QueueRead + RingSize) % RingSize;
}

void TEngine::ClearQueue() {
    Dispatched += static_cast<std::uint64_t>(QueuedCount());
    QueueRead = QueueWrite;
    DispatchClock.start();
}

// The line is taken: a frame awaits its reply, the same frame goes again, the turnaround
// after a reply still runs, or requests wait their turn.
bool TEngine::LineBusy() const {
    return ExchangeOpen || RepeatDue || TurnaroundTimer.isActive() || !QueueEmpty() ||
           (ReplyClock.isValid() && ReplyClock.elapsed() < TurnaroundMs());
}

bool TEngine::SendRequest(const TOsdpRequest& request, QString* error, TOrigin origin) {
    if (ListenMode) {
        if (error) *error = ListenOnlyError();
        return false;
    }
    if (LineBusy()) {
        if (!Enqueue(request, error, origin)) return false;
        Kick();
        return true;
    }
    ++Submitted;
    ++Dispatched;
    DispatchClock.start();
    return SendNow(request, error, origin);
}

// Makes sure the next exchange slot comes: nothing else may be left to start it.
void TEngine::Kick() {
    if (ExchangeOpen || TurnaroundTimer.isActive() || !CP1.IsOpen()) return;
    const qint64 since = ReplyClock.isValid() ? ReplyClock.elapsed() : TurnaroundMs();
    TurnaroundTimer.start(static_cast<int>(std::max<qint64>(0, TurnaroundMs() - since)));
}

bool TEngine::SendNow(const TOsdpRequest& request, QString* error, TOrigin origin) {
    LastSendFailedOnWrite = false; // an encoding refusal is no write failure
    const std::uint8_t address = request.Address & 0x7F;
    TDeviceState* device = address < kDeviceCount ? &DeviceStates[address] : nullptr;
    if (device && request.Command == 0x76 && request.ScbLength &&
        (request.PayloadLength != 8 ||
         std::memcmp(request.Payload.data(), Reopen[address].RndA.data(), 8) != 0)) {
        // A handshake the user starts replaces any reopening of ours.
        Reopen[address].Pending = false;
        Reopen[address].Running = false;
    }
    if (device && request.Command == 0x75) Reopen[address] = TReopen{}; // a new key
    const TEncodeResult frame = EncodeFrame(request, device, UseCrc, TxBuffer());
    if (!frame.Ok) {
        // Refused before anything went out: the exchange in progress keeps its address.
        if (error) *error = QStringLiteral("Error: %1").arg(QLatin1String(frame.Error));
        return false;
    }
    LastAddress = address;
    TxLength = frame.Length;
    LastRequest = request;
    LastOrigin = origin;
    LastScbLength = frame.ScbLength;
    LastScbType = frame.ScbType;
    Attempts = 0;
    if (!device) {
        // Sequence 0 reaches every reader on the line and restarts each one's count and
        // secure session, so the next frame to each carries 1; a device that is not
        // answering starts at 0 anyway, as after any time-out.
        for (TDeviceState& d : DeviceStates)
            d.Sequence = d.Status == dsTimeout ? 0 : 1;
        EndEverySession(QStringLiteral("broadcast"));
    }
    TransmitFrame();
    if (LastSendFailedOnWrite) {
        if (error) *error = LastWriteError;
        return false;
    }
    return true;
}

// Logs and writes the frame in TxLine; used for a new frame and for its repeats alike. Only
// a frame that was written is logged as sent.
void TEngine::TransmitFrame() {
    LastSendFailedOnWrite = false;
    // The mark byte goes out in the same write as the frame; a listening port gets neither.
    QString reason = ListenOnlyError();
    if (ListenMode || !CP1.Write(TxLine.data(), TxLength + 1, &reason)) {
        LastSendFailedOnWrite = true;
        LastWriteError = reason;
        ExchangeOpen = false;
        // A repeat that cannot go leaves its command where its last send left it.
        if (Attempts > 0) EndCommand(RepeatCause, RepeatReply);
        return;
    }
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

void TEngine::DueRepeat(TExchangeEnd cause, std::uint8_t reply) {
    RepeatDue = true;
    RepeatCause = cause;
    RepeatReply = reply;
}

void TEngine::EndCommand(TExchangeEnd end, std::uint8_t reply, const std::uint8_t* data,
                         std::size_t length) {
    if (LastRequest.Command == kPoll) return;
    TCommandEnd e;
    e.Address = static_cast<std::uint8_t>(LastAddress);
    e.Command = LastRequest.Command;
    e.Origin = LastOrigin;
    e.End = end;
    if (end == TExchangeEnd::Reply) {
        e.Reply = reply;
        if (data && length > 0)
            e.Data =
                QByteArray(reinterpret_cast<const char*>(data), static_cast<qsizetype>(length));
    }
    emit CommandEnded(e);
}

void TEngine::SendRepeat() {
    RepeatDue = false;
    TransmitFrame();
    if (LastSendFailedOnWrite) ConnectionLost(LastWriteError);
}

// The reply to the frame in TxLine was unusable. While attempts remain the same frame
// goes again, so a device that did receive it answers from its reply cache and nothing
// runs twice; after that the device starts over, as after a time-out.
// A reply that arrived intact but failed its security (MAC, no session) would only come
// again the same from the cache, so it is not repeated.
void TEngine::ExchangeFailed(const char* reason, bool intact) {
    const TExchangeEnd end = intact ? TExchangeEnd::BadSecurity : TExchangeEnd::BadCheck;
    if (LastAddress >= kDeviceCount) { // a broadcast has no device to repeat it for
        EndCommand(end);
        return;
    }
    if (!intact && Attempts < MaxAttempts) {
        DueRepeat(end);
        return;
    }
    EndCommand(end);
    const QString why = *reason ? QLatin1String(reason) : QStringLiteral("mac error");
    const bool open = DeviceStates[LastAddress].Session.IsEstablished();
    RestartSequence(LastAddress, why);
    if (open) SessionLost(LastAddress);
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

// A repeat that is due belongs to the same exchange, and while not polling so do the
// requests still queued. The wait keeps a timer of its own, so it neither depends on one that
// someone else may stop nor misses a slot that nothing started.
bool TEngine::WaitExchangeDone() {
    QTimer guard;
    guard.setTimerType(Qt::PreciseTimer);
    guard.start(20);
    const auto done = [this] {
        return !CP1.IsOpen() ||
               (!ExchangeOpen && !RepeatDue && (IsPolling || IsDisconnecting || QueueEmpty()));
    };
    RunLoopUntil([&] {
        if (done()) return true;
        if (ExchangeOpen && !CommTimer.isActive()) OnTimeout(); // its timer was stopped
        if (!ExchangeOpen) Kick();
        return done();
    });
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

// An exchange still in progress (or its repeat) is finished first, with its device's
// count left as it is; the cycle starts at its next slot.
void TEngine::StartPolling() {
    if (ListenMode) {
        emit LogLine(ListenOnlyError());
        return;
    }
    IsPolling = true;
    const bool inFlight = ExchangeOpen || RepeatDue;
    for (int a = 0; a < kDeviceCount; ++a) {
        TDeviceState& d = DeviceStates[a];
        d.Status = dsOk;
        d.RepliesWithCrc = false; // the reader may have been changed while polling was off
        if (!inFlight || a != LastAddress) d.Sequence = 0;
    }
    emit LogLine(QStringLiteral("START"));
    if (inFlight) {
        Kick();
    } else {
        Attempts = 0;
        PollStep(NextPollAddress(-1));
    }
    emit ControlsChanged();
}

// A repeat that is due, and requests still queued, go out all the same: the turnaround
// that leads to them keeps running.
void TEngine::StopPolling() {
    PollTimer.stop();
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
    } else if (!QueueEmpty()) {
        SendQueued();
        sent = true;
    } else if (address < 0 || address >= kDeviceCount) {
        StopPolling();
        return;
    } else {
        TOsdpRequest poll;
        poll.Command = kPoll;
        poll.Address = static_cast<std::uint8_t>(address);
        emit StatusText(1, QStringLiteral("Polling %1").arg(address));
        sent = SendNow(poll, &error, TOrigin::Routine);
    }
    if (!sent) {
        if (LastSendFailedOnWrite) {
            ConnectionLost(LastWriteError);
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

// The next queued request; one that cannot be framed is reported and skipped, and the
// next slot comes all the same, since no reply or time-out would bring it otherwise.
void TEngine::SendQueued() {
    const TOsdpRequest queued = Ring[QueueRead];
    const TOrigin origin = RingOrigin[QueueRead];
    QueueRead = (QueueRead + 1) % RingSize;
    ++Dispatched;
    DispatchClock.start();
    QString error;
    if (SendNow(queued, &error, origin)) return;
    if (LastSendFailedOnWrite) {
        ConnectionLost(LastWriteError);
        return;
    }
    emit LogLine(error);
    TurnaroundTimer.start(0);
}

// An exchange slot: a repeat first, then a queued request, then (while polling) the next
// poll when its interval has passed.
void TEngine::NextSlot() {
    if (ExchangeOpen || IsDisconnecting || !CP1.IsOpen()) return;
    if (RepeatDue) {
        SendRepeat();
        return;
    }
    if (!QueueEmpty()) {
        SendQueued();
        return;
    }
    ContinuePolling();
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
    // Never short: a timer that fired early waits out the rest.
    const qint64 left = ReplyClock.isValid() ? TurnaroundMs() - ReplyClock.elapsed() : 0;
    if (left > 0) {
        TurnaroundTimer.start(static_cast<int>(left));
        return;
    }
    NextSlot();
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
    if (ListenMode) {
        ListenToBytes(count);
        return;
    }
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

// ---------------------------------------------------------------- receiving (continued)

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
    const bool open = ExchangeOpen;
    RoundTripUs = open ? SentClock.nsecsElapsed() / 1000 : -1;
    // Work on a copy: handlers of this frame may run nested loops that assemble the next
    // frame into the assembly before this one is done.
    std::array<std::uint8_t, kFrameBufferSize> frame;
    const std::size_t count = Assembly.Held();
    std::memcpy(frame.data(), Assembly.Data(), count);
    ResetAssembly();
    EmitLineFrame(false, frame.data(), count);
    const bool answered = ProcessFrame(frame.data(), count, open);
    if (answered && (IsPolling || RepeatDue || !QueueEmpty()))
        TurnaroundTimer.start(TurnaroundMs());
    return false;
}


// A frame that answers nothing is described as it stands but changes nothing: it is checked
// against a copy of the records, so a late copy of a reply already taken cannot break the
// MAC chain of a session.
void TEngine::LogUnawaited(std::uint8_t* frame, std::size_t count) {
    const TDecodedFrame peek = PeekFrame(frame, count);
    const bool shown = ShouldLogTraffic(peek.Code, false);
    if (shown && View.Raw) emit LogLine(QStringLiteral("< ") + Hex(frame, count));
    auto scratch = std::make_unique<std::array<TDeviceState, kDeviceCount>>(DeviceStates);
    const TDecodedFrame f = DecodeFrame(frame, count, *scratch);
    if (!f.Valid) {
        emit LogLine(QStringLiteral("ERROR (%1 from %2, not awaited)")
                         .arg(*f.Error ? QLatin1String(f.Error) : QStringLiteral("mac error"))
                         .arg(peek.Address));
        emit InvalidFrame(peek.Address);
    } else if (shown && View.Description) {
        QString line = QStringLiteral("< addr=%1: ").arg(f.Address);
        if (f.HasBlock()) line += QString::asprintf("SCS%.2X - ", f.ScbType());
        line += QString::fromStdString(
            DescribeReply(f.Code, frame + f.DataStart, f.DataLength, Vendors, MfgId));
        emit LogLine(line + QStringLiteral(" (not awaited, ignored)"));
    }
    emit UnawaitedFrame(peek.Address, f.Intact);
}

bool TEngine::ProcessFrame(std::uint8_t* frame, std::size_t count, bool open) {
    const TDecodedFrame peek = PeekFrame(frame, count);
    const std::uint8_t address = peek.Address;
    // Only a frame from the address the last frame went to answers it (any address answers
    // a broadcast); a frame whose check bytes fail may show a damaged address, so it counts
    // as the damaged answer and the frame goes again.
    const bool fromAwaited = LastAddress >= kDeviceCount || address == LastAddress;
    if (!open || !(fromAwaited || !CheckBytesHold(frame, count))) {
        LogUnawaited(frame, count);
        return false;
    }
    CommTimer.stop();
    ExchangeOpen = false;
    ReplyClock.start();
    if (LastAddress < kDeviceCount) Answered[LastAddress] = true;

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
        if (sessionEnded) {
            ReportSessionEnd(address, sessionBefore,
                             *f.Error ? QLatin1String(f.Error) : QStringLiteral("mac error"));
            if (sessionBefore >= ssEstablished) SessionLost(address);
        }
        emit ExchangeEnded(static_cast<std::uint8_t>(LastAddress),
                           f.Intact ? TExchangeEnd::BadSecurity : TExchangeEnd::BadCheck,
                           RoundTripUs);
        ExchangeFailed(f.Error, f.Intact);
        emit InvalidFrame(address);
        return true;
    }

    emit StatusText(2, QStringLiteral("Message from %1").arg(address));
    // A broadcast's answer counts for the reader that gave it.
    emit ExchangeEnded(LastAddress < kDeviceCount ? static_cast<std::uint8_t>(LastAddress)
                                                  : address,
                       TExchangeEnd::Reply, RoundTripUs);
    if (sessionEnded) {
        ReportSessionEnd(address, sessionBefore,
                         f.HasBlock() ? QStringLiteral("unprotected reply")
                                      : QStringLiteral("plain reply"));
        if (sessionBefore >= ssEstablished) SessionLost(address);
    }
    const std::uint8_t* data = frame + f.DataStart;
    if (shown && View.Description) {
        QString line = QStringLiteral("< addr=%1: ").arg(address);
        if (f.HasBlock()) line += QString::asprintf("SCS%.2X - ", f.ScbType());
        line += QString::fromStdString(DescribeReply(f.Code, data, f.DataLength, Vendors, MfgId));
        emit LogLine(line);
    }
    if (device && device->Status != dsOk) {
        if (device->Status == dsTimeout)
            emit LogLine(QStringLiteral("Device %1 answers again").arg(address));
        device->Status = dsOk;
        emit ControlsChanged();
    }
    if (f.Code == kBusy && device && LastAddress < kDeviceCount) {
        // Busy is no answer to the command: the same frame goes again, with the same
        // number, until the attempts run out.
        if (Attempts < MaxAttempts) {
            DueRepeat(TExchangeEnd::Reply, kBusy);
        } else {
            emit LogLine(QStringLiteral("BUSY (command %1 to %2 dropped after %3 attempts)")
                             .arg(QString::asprintf("%.2X", LastRequest.Command))
                             .arg(address)
                             .arg(Attempts));
            EndCommand(TExchangeEnd::Reply, kBusy, data, f.DataLength);
            Attempts = 0;
        }
    } else if (device && LastAddress < kDeviceCount) {
        // (A reader's answer to a broadcast steps nothing: its count restarted at 0 and
        // waits for 1, which every device's next frame carries.)
        if (LastFrameWasHandshake()) {
            const bool expected = LastScbType == 0x11 ? f.Code == 0x76 && f.ScbType() == 0x12
                                                      : f.Code == 0x78 && f.ScbType() == 0x14;
            if (!expected)
                EndHandshake(address, f.HasBlock() ? QStringLiteral("unexpected reply")
                                                   : QStringLiteral("plain reply"));
        }
        // Every answer steps the number, the one that ends an error or time-out run too,
        // so no later command leaves with a number the device has already answered.
        device->Sequence = static_cast<std::uint8_t>(device->Sequence % 3 + 1);
        Attempts = 0;
        EndCommand(TExchangeEnd::Reply, f.Code, data, f.DataLength);
        // A session lost with the line is opened again at the device's first answer.
        if (Reopen[address].Pending && device->Session.State == ssNone) StartReopen(address);
    } else {
        EndCommand(TExchangeEnd::Reply, f.Code, data, f.DataLength);
    }
    // Dispatch after the step: a command issued from here (osdp_SCRYPT) takes the next number.
    DispatchReply(address, f.Code, data, f.DataLength, f.ScbType(),
                  f.ScbLength() >= 3 ? f.Scb[2] : std::uint8_t{0});
    if (Awaited != 0 && f.Code == Awaited) Awaited = 0;
    emit FrameReceived(
        address, f.Code,
        QByteArray(reinterpret_cast<const char*>(data), static_cast<qsizetype>(f.DataLength)));
    return true;
}

void TEngine::DispatchReply(std::uint8_t address, std::uint8_t code, const std::uint8_t* data,
                            std::size_t length, std::uint8_t scbType, std::uint8_t scbData) {
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
            // address box shows; a session being reopened is answered here, with its key.
            if (Reopen[address].Running)
                AnswerReopenCryptogram(address);
            else if (Host)
                Host->IssueMenuCommand(0x77, address);
        }
        break;
    case 0x78: // osdp_RMAC_I opens the session
        if (device && device->Session.State == ssScryptSent && scbType == 0x14 && length == 16)
            OnInitialMac(address, data, scbData);
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

// osdp_RMAC_I: the block's data byte says whether the device took our cryptogram (0x01), and
// its data is the first MAC of the chain, which we can compute ourselves.
void TEngine::OnInitialMac(int address, const std::uint8_t* data, std::uint8_t scbData) {
    TSecureSession& s = DeviceStates[address].Session;
    TReopen& r = Reopen[address];
    const bool ours = std::exchange(r.Running, false);
    const QString opened = ours ? QStringLiteral("reopened") : QStringLiteral("established");
    if (scbData != 0x01) {
        EndSession(s);
        emit LogLine(QStringLiteral("Secure channel with %1 not %2 (refused by the device)")
                         .arg(address)
                         .arg(ours ? QStringLiteral("reopened") : QStringLiteral("established")));
        emit PollListChanged();
        return;
    }
    const TAesBlock expected = ComputeInitialRmac(s);
    if (!EqualInConstantTime(expected.data(), data, expected.size()))
        emit LogLine(QStringLiteral("Secure channel with %1: the device's initial MAC differs")
                         .arg(address));
    std::memcpy(s.LastMac.data(), data, 16);
    s.State = ssEstablished;
    // The key is kept, to open the session again should the line fail.
    r.Armed = true;
    r.Pending = false;
    r.KeyType = LastRequest.Command == 0x77 ? LastRequest.ScbData[0] : std::uint8_t{1};
    r.Key = r.KeyType == 0 ? ScbkD : s.Scbk;
    emit LogLine(QStringLiteral("Secure channel with %1 %2").arg(address).arg(opened));
    emit PollListChanged();
}

// A session ended by the line, not by anyone's choice: opened again at the next answer.
void TEngine::SessionLost(int address) {
    if (address < 0 || address >= kDeviceCount) return;
    TReopen& r = Reopen[address];
    if (!r.Armed) return;
    if (!ReopenSessions) {
        r = TReopen{};
        return;
    }
    r.Pending = true;
}

void TEngine::StartReopen(int address) {
    TReopen& r = Reopen[address];
    r.Pending = false;
    TSecureSession& s = DeviceStates[address].Session;
    s = TSecureSession{};
    s.Scbk = r.Key;
    s.State = ssChallengeSent;
    for (std::uint8_t& b : s.RndA)
        b = static_cast<std::uint8_t>(QRandomGenerator::system()->bounded(256));
    r.RndA = s.RndA;
    TOsdpRequest chlng;
    chlng.Command = 0x76;
    chlng.Address = static_cast<std::uint8_t>(address);
    chlng.ScbLength = 3;
    chlng.ScbType = 0x11;
    chlng.ScbData[0] = r.KeyType;
    std::memcpy(chlng.Payload.data(), s.RndA.data(), s.RndA.size());
    chlng.PayloadLength = static_cast<std::uint16_t>(s.RndA.size());
    if (!Enqueue(chlng, nullptr, TOrigin::Routine)) {
        EndSession(s);
        return;
    }
    r.Running = true;
    Kick();
}

void TEngine::AnswerReopenCryptogram(int address) {
    TReopen& r = Reopen[address];
    TSecureSession& s = DeviceStates[address].Session;
    TKeyOptions options;
    options.UseScbkD = r.KeyType == 0;
    options.DiversifyMasterkey = false;
    TOsdpRequest scrypt;
    scrypt.Command = 0x77;
    scrypt.Address = static_cast<std::uint8_t>(address);
    std::uint8_t* cursor = scrypt.PayloadStart();
    TSecurityHeader header;
    if (!BuildServerCryptogram(cursor, header, s, options)) {
        r.Running = false;
        emit LogLine(QStringLiteral("Secure channel with %1 not reopened (cryptogram mismatch)")
                         .arg(address));
        emit PollListChanged();
        return;
    }
    scrypt.SetPayloadEnd(cursor);
    scrypt.ScbLength = header.Length;
    scrypt.ScbType = header.Type;
    scrypt.ScbData[0] = header.Data;
    if (Enqueue(scrypt, nullptr, TOrigin::Routine)) Kick();
}

// No reply in time. A device that answered its previous exchange gets the same frame again
// (its reply may only have been lost on the line, and it keeps it for a repeat); only when
// the last send also goes unanswered does it count as not answering.
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
    if (Assembly.Held() > 0) {
        emit LogLine(Hex(Assembly.Data(), Assembly.Held()));
        ResetAssembly();
    }
    emit ExchangeEnded(static_cast<std::uint8_t>(LastAddress), TExchangeEnd::Timeout, -1);
    if (LastAddress < kDeviceCount) {
        TDeviceState& d = DeviceStates[LastAddress];
        if (d.Status != dsTimeout && Answered[LastAddress] && Attempts < MaxAttempts &&
            !IsDisconnecting) {
            DueRepeat(TExchangeEnd::Timeout);
            TurnaroundTimer.start(TurnaroundMs());
            return;
        }
        EndCommand(TExchangeEnd::Timeout);
        Attempts = 0;
        Answered[LastAddress] = false;
        EndHandshake(LastAddress, QStringLiteral("no reply"));
        if (d.Session.IsEstablished()) {
            const std::uint8_t before = d.Session.State;
            EndSession(d.Session);
            ReportSessionEnd(LastAddress, before, QStringLiteral("no reply"));
            SessionLost(LastAddress);
        }
        d.Sequence = 0;
        if (d.Status != dsTimeout) {
            d.Status = dsTimeout;
            emit ControlsChanged();
            if (!QuietTimeouts)
                emit LogLine(QStringLiteral("TIMEOUT (no reply from %1)").arg(LastAddress));
        }
        emit StatusText(2, QStringLiteral("Timeout %1").arg(LastAddress));
    } else {
        EndCommand(TExchangeEnd::Timeout);
        Attempts = 0;
    }
    NextSlot();
}

// The reply time runs from the frame sent, and again from each byte of a frame in assembly,
// so a reply that arrives in pieces is received whole; but never more in all than the
// longest frame takes on the line, so noise cannot hold it for ever.
qint64 TEngine::TimeoutLeftMs() const {
    const qint64 fromSend = ReplyWait - SentClock.elapsed();
    if (Assembly.Held() == 0 || !ByteClock.isValid()) return fromSend;
    const int baud = CP1.Baud() > 0 && !CP1.IsTcp() ? CP1.Baud() : 9600;
    const auto longestMs = static_cast<qint64>((kFrameBufferSize * 10 * 1000 + baud - 1) / baud);
    const qint64 fromByte = ReplyWait - ByteClock.elapsed();
    return std::max(fromSend, std::min(fromByte, fromSend + longestMs));
}

// ---------------------------------------------------------------- waits and boot mode

// The wait counts from the moment the request submitted last left the ring, not from when
// it was queued; it keeps its own timer and an outer bound, so it always ends.
bool TEngine::WaitForReply(std::uint8_t code) {
    const std::uint64_t target = Submitted;
    Awaited = code;
    QTimer guard;
    guard.setTimerType(Qt::PreciseTimer);
    guard.start(10);
    QElapsedTimer all;
    all.start();
    const qint64 bound = ReplyWaitMs + static_cast<qint64>(QueuedCount() + 2) * MaxAttempts *
                                           (ReplyTimeoutMs + 2 * TurnaroundMs());
    RunLoopUntil([&] {
        if (Awaited == 0 || !CP1.IsOpen()) return true;
        if (!ExchangeOpen) Kick();
        if (Dispatched >= target && DispatchClock.elapsed() >= ReplyWaitMs) return true;
        return all.elapsed() >= bound;
    });
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
    if (ListenMode) {
        emit ErrorMessage(ListenOnlyError());
        return false;
    }
    ResetAssembly();
    if (!CP1.IsOpen()) {
        emit ErrorMessage(QStringLiteral("Error: no connection"));
        return false;
    }
    SetBootMode(timeoutMs, 0);
    QString reason;
    if (!CP1.Write(bytes, static_cast<std::size_t>(count), &reason)) {
        SetBootMode(0, 1);
        LostReported = false; // a user action: it hears of the failure every time
        ConnectionLost(reason);
        return false;
    }
    return WaitBootMode();
}

} // namespace quintrel
