#include "engine.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QMetaMethod>
#include <QRandomGenerator>

#include <cmath>
#include <utility>

namespace quintrel {

namespace {

// Runs the event loop until done() holds. Each pass blocks until an event arrives,
// so a wait never spins; every caller's condition is bounded by a running timer.
template <typename TDone> void RunLoopUntil(TDone done) {
    while (!done())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

QByteArray ToBytes(const std::vector<std::uint8_t>& bytes) {
    return QByteArray(reinterpret_cast<const char*>(bytes.data()),
                      static_cast<qsizetype>(bytes.size()));
}

} // namespace

TEngine::TEngine(IEngineHost* host, QObject* parent) : QObject(parent), Host(host) {
    Clock.start();
    Machine.Vendors = &Vendors;
    Machine.RandomBytes = [](std::uint8_t* bytes, std::size_t count) {
        for (std::size_t i = 0; i < count; ++i)
            bytes[i] = static_cast<std::uint8_t>(QRandomGenerator::system()->bounded(256));
    };
    // Protocol timing needs millisecond timers: coarse ones may fire 5 % early or late.
    for (QTimer* t : {&WakeTimer, &BootTimer, &DisconnectTimer}) {
        t->setSingleShot(true);
        t->setTimerType(Qt::PreciseTimer);
    }
    connect(&WakeTimer, &QTimer::timeout, this, &TEngine::OnWake);
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

// Only a capture listens to every frame; without one the machine makes no copy.
void TEngine::connectNotify(const QMetaMethod& signal) {
    if (signal == QMetaMethod::fromSignal(&TEngine::LineFrame)) Machine.ReportLineFrames = true;
}

void TEngine::disconnectNotify(const QMetaMethod& signal) {
    if (signal == QMetaMethod::fromSignal(&TEngine::LineFrame))
        Machine.ReportLineFrames = isSignalConnected(signal);
}

void TEngine::SetPollInterval(int ms) {
    PollIntervalMs = ms < 0 ? 0 : ms;
    Machine.SetPollIntervalUs(static_cast<std::int64_t>(PollIntervalMs) * 1000);
}

void TEngine::SetReplyTimeout(int ms) {
    ReplyWait = ms < 1 ? 1 : ms > ReplyTimeoutMs ? ReplyTimeoutMs : ms;
    Machine.SetReplyTimeoutUs(static_cast<std::int64_t>(ReplyWait) * 1000);
}

// ---------------------------------------------------------------- the machine's adapter

// Whoever changed the line's speed (the window, a search, osdp_COM, the firmware updater),
// the machine's turnaround and frame times follow it.
void TEngine::SyncLine() {
    Machine.SetLineSpeed(CP1.Baud(), CP1.IsTcp());
}

// Carries out what the machine asked for, in order. A handler of a signal may submit, wait
// or receive in its turn: the machine is between inputs then, and what that asks for is
// carried out in a nested pass.
void TEngine::Drain() {
    while (Machine.HasActions()) {
        std::vector<TLineAction> batch;
        batch.swap(Machine.Actions());
        bool writeFailed = false;
        for (TLineAction& action : batch) {
            if (!action.AfterWrite) writeFailed = false;
            if (action.AfterWrite && writeFailed) continue;
            Perform(action, writeFailed);
        }
        // The vector's room goes back for the next input, unless a nested pass left actions.
        if (!Machine.HasActions()) {
            batch.clear();
            batch.swap(Machine.Actions());
        }
    }
    if (LineLostPending) {
        LineLostPending = false;
        ConnectionLost(LineLostReason);
    }
    Rearm();
}

void TEngine::Perform(TLineAction& a, bool& writeFailed) {
    switch (a.Kind) {
    case TActionKind::Write: {
        // The mark byte goes out in the same write as the frame.
        QString reason;
        if (!ListenMode && CP1.Write(a.Bytes.data(), a.Bytes.size(), &reason)) return;
        if (ListenMode) reason = ListenOnlyError();
        writeFailed = true;
        Machine.WriteFailed(a.Flag);
        if (a.Flag) {
            ImmediateWriteFailed = true;
            LastWriteError = reason;
        } else {
            LineLostPending = true;
            LineLostReason = reason;
        }
        return;
    }
    case TActionKind::Log:
        emit LogLine(QString::fromStdString(a.Text));
        return;
    case TActionKind::Status:
        emit StatusText(a.Value, QString::fromStdString(a.Text));
        return;
    case TActionKind::ControlsChanged:
        emit ControlsChanged();
        return;
    case TActionKind::PollListChanged:
        emit PollListChanged();
        return;
    case TActionKind::FrameSent:
        emit FrameSent(a.Address, a.Code, a.Value);
        return;
    case TActionKind::ExchangeEnded:
        emit ExchangeEnded(a.Address, a.End, a.Us);
        return;
    case TActionKind::CommandEnded: {
        TCommandEnd e;
        e.Address = a.Address;
        e.Command = a.Code;
        e.Origin = a.Origin;
        e.End = a.End;
        e.Reply = a.Reply;
        e.Data = ToBytes(a.Bytes);
        emit CommandEnded(e);
        return;
    }
    case TActionKind::FrameReceived:
        if (Awaited != 0 && a.Code == Awaited) Awaited = 0;
        ReplySerial = a.Serial;
        emit FrameReceived(a.Address, a.Code, ToBytes(a.Bytes));
        ReplySerial = 0;
        return;
    case TActionKind::InvalidFrame:
        emit InvalidFrame(a.Address);
        return;
    case TActionKind::UnawaitedFrame:
        emit UnawaitedFrame(a.Address, a.Flag);
        return;
    case TActionKind::MfgReply:
        emit MfgReply(a.Address, ToBytes(a.Bytes));
        return;
    case TActionKind::LineFrame:
        emit LineFrame(a.Flag, ToBytes(a.Bytes));
        return;
    case TActionKind::SelectAddress:
        if (Host) Host->SelectAddress(a.Address);
        return;
    case TActionKind::IssueMenuCommand:
        if (Host) Host->IssueMenuCommand(a.Code, a.Address);
        return;
    case TActionKind::SetBaud:
        if (a.Value != CP1.Baud()) CP1.SetBaud(a.Value);
        return;
    }
}

// One timer for the machine's next wake-up, moved only when that moment changes; it fires on
// the millisecond after, never before, so the machine never finds itself woken early for
// nothing more than rounding.
void TEngine::Rearm() {
    const qint64 wake = Machine.NextWake();
    if (wake == TLineMachine::kNever) {
        ArmedUs = wake;
        WakeTimer.stop();
        return;
    }
    if (wake == ArmedUs && WakeTimer.isActive()) return;
    ArmedUs = wake;
    const qint64 left = wake - NowUs();
    WakeTimer.start(left <= 0 ? 0 : static_cast<int>((left + 999) / 1000));
}

void TEngine::OnWake() {
    ArmedUs = TLineMachine::kNever;
    Pump();
}

void TEngine::Pump() {
    CP1.Pull();
    SyncLine();
    Machine.Tick(NowUs());
    Drain();
}

// ---------------------------------------------------------------- sending

bool TEngine::Submit(const TOsdpRequest& request, QString* error, TOrigin origin,
                     TLineMachine::TSubmitMode mode, const TSecureSession* handshake) {
    if (ListenMode) {
        if (error) *error = ListenOnlyError();
        return false;
    }
    SyncLine();
    const TLineMachine::TSubmitted result = Machine.Submit(NowUs(), request, origin, mode, handshake);
    ImmediateWriteFailed = false;
    Drain();
    if (!result.Ok) {
        if (error) *error = QString::fromStdString(result.Error);
        return false;
    }
    if (result.Immediate && ImmediateWriteFailed) {
        ImmediateWriteFailed = false;
        if (error) *error = LastWriteError;
        return false;
    }
    return true;
}

bool TEngine::QueueRequest(const TOsdpRequest& request, QString* error, TOrigin origin) {
    return Submit(request, error, origin, TLineMachine::TSubmitMode::Queue);
}

bool TEngine::QueueHandshake(const TOsdpRequest& request, const TSecureSession& session,
                             QString* error, TOrigin origin) {
    return Submit(request, error, origin, TLineMachine::TSubmitMode::Queue, &session);
}

bool TEngine::SendRequest(const TOsdpRequest& request, QString* error, TOrigin origin) {
    return Submit(request, error, origin, TLineMachine::TSubmitMode::Send);
}

int TEngine::QueuedCount() const {
    return Machine.QueuedCount();
}

// The wait keeps a timer of its own and wakes the machine itself, so it neither depends on
// one that someone else may stop nor misses a slot.
bool TEngine::WaitExchangeDone() {
    const std::uint64_t target = Machine.SubmittedCount();
    QTimer guard;
    guard.setTimerType(Qt::PreciseTimer);
    guard.start(20);
    RunLoopUntil([&] {
        if (!CP1.IsOpen()) return true;
        Pump();
        return !CP1.IsOpen() || (!Machine.ExchangeOpen() && !Machine.RepeatDue() &&
                                 (IsDisconnecting || Machine.DispatchedCount() >= target));
    });
    return true;
}

// ---------------------------------------------------------------- poll cycle

int TEngine::NextPollAddress(int after) const {
    return Machine.NextPollAddress(after);
}

void TEngine::StartPolling() {
    if (ListenMode) {
        emit LogLine(ListenOnlyError());
        return;
    }
    SyncLine();
    Machine.StartPolling(NowUs());
    Drain();
}

void TEngine::StopPolling() {
    Machine.StopPolling();
    Drain();
}

void TEngine::SetSelection(const std::array<bool, kDeviceCount>& ticked) {
    Machine.SetSelection(ticked);
    Drain();
}

std::array<bool, kDeviceCount> TEngine::Selection() const {
    std::array<bool, kDeviceCount> ticked{};
    for (int a = 0; a < kDeviceCount; ++a)
        ticked[a] = Machine.Devices()[a].Selected;
    return ticked;
}

void TEngine::SetSelected(int address, bool ticked) {
    if (address < 0 || address >= kDeviceCount) return;
    std::array<bool, kDeviceCount> selection = Selection();
    selection[address] = ticked;
    SetSelection(selection);
}

// ---------------------------------------------------------------- receiving

// Byte by byte, so a frame's actions are carried out before the next byte is read: one of
// them may hand the line to a bootloader, whose bytes are not OSDP.
void TEngine::OnTriggerAvail(int count) {
    if (ListenMode) {
        ListenToBytes(count);
        return;
    }
    SyncLine();
    qint64 now = NowUs();
    for (int i = 0; i < count; ++i) {
        std::uint8_t b;
        if (!CP1.ReadByte(b)) break;
        if (BootModeOn) {
            if (HandleBootByte) HandleBootByte(b);
            continue;
        }
        if (Machine.Receive(now, b)) {
            Drain();
            if (!CP1.IsOpen() || ListenMode) return;
            now = NowUs();
        }
    }
    Drain();
}

// ---------------------------------------------------------------- waits and boot mode

// Waits for the outstanding exchange, but never longer than one reply time-out: bytes
// that keep arriving (noise, a flood) must not hold the port open.
void TEngine::Disconnect() {
    StopReconnecting();
    if (!ListenMode) StopPolling();
    Machine.BeginDisconnect();
    Drain();
    IsDisconnecting = true;
    emit ControlsChanged();
    DisconnectTimer.start(ReplyTimeoutMs);
    RunLoopUntil([this] {
        CP1.Pull();
        return !Machine.ExchangeOpen() || !DisconnectTimer.isActive();
    });
    DisconnectTimer.stop();
    ClosePort();
    Machine.EndDisconnect();
    IsDisconnecting = false;
    emit ControlsChanged();
}

// The wait counts from the moment the request submitted last left the ring, not from when
// it was queued; it keeps its own timer and an outer bound, so it always ends.
bool TEngine::WaitForReply(std::uint8_t code) {
    const std::uint64_t target = Machine.SubmittedCount();
    Awaited = code;
    QTimer guard;
    guard.setTimerType(Qt::PreciseTimer);
    guard.start(10);
    QElapsedTimer all;
    all.start();
    const qint64 turnaroundMs = Machine.TurnaroundUs() / 1000;
    const qint64 bound = ReplyWaitMs + static_cast<qint64>(QueuedCount() + 2) * MaxAttempts *
                                           (ReplyTimeoutMs + 2 * turnaroundMs);
    RunLoopUntil([&] {
        if (Awaited == 0 || !CP1.IsOpen()) return true;
        Pump();
        if (Awaited == 0) return true;
        if (Machine.DispatchedCount() >= target &&
            NowUs() - Machine.LastDispatchUs() >= static_cast<qint64>(ReplyWaitMs) * 1000)
            return true;
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
    RunLoopUntil([this] {
        CP1.Pull();
        return !BootTimer.isActive();
    });
    return BootTag == 0;
}

bool TEngine::SendBootBlock(const std::uint8_t* bytes, int count, int timeoutMs) {
    if (count <= 0) return false;
    if (ListenMode) {
        emit ErrorMessage(ListenOnlyError());
        return false;
    }
    Machine.ResetAssembly();
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
