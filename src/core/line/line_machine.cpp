// Sending: which frame goes next, the one writer, the ring, repeats, time-outs and the poll
// cycle.

#include "line/line_machine.h"

#include "decode/describe.h"
#include "log/hex.h"
#include "osdp/frame_codec.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <random>

namespace quintrel {

namespace {

constexpr std::uint8_t kPoll = 0x60;

std::size_t Count(const std::uint8_t* hay, std::size_t size, const std::uint8_t* bytes,
                  std::size_t count) {
    if (count == 0 || size < count) return 0;
    const std::boyer_moore_horspool_searcher search(bytes, bytes + count);
    std::size_t n = 0;
    for (const std::uint8_t* at = hay; (at = std::search(at, hay + size, search)) != hay + size;
         ++at)
        ++n;
    return n;
}

} // namespace

// A request can hold the key of an osdp_KEYSET in clear: copies are wiped once used.
void TLineMachine::Wipe(TOsdpRequest& request) {
    volatile std::uint8_t* p = request.Payload.data();
    for (std::size_t i = 0; i < request.PayloadLength && i < request.Payload.size(); ++i)
        p[i] = 0;
    request.PayloadLength = 0;
}

std::size_t TLineMachine::CopiesOf(const std::uint8_t* bytes, std::size_t count) const {
    // A request is wiped as far as its payload went, and its length then set to 0.
    const auto in = [&](const TOsdpRequest& r) {
        return Count(r.Payload.data(), std::min<std::size_t>(r.PayloadLength, r.Payload.size()),
                     bytes, count);
    };
    std::size_t n = in(Pending.Request) + Count(RxFrame.data(), RxFrame.size(), bytes, count) +
                    Count(TxLine.data(), TxLength + 1, bytes, count);
    for (const TQueued& q : Ring)
        n += in(q.Request);
    for (const TReopen& r : Reopen)
        n += in(r.Scrypt);
    for (const auto& k : Kept)
        if (k) n += in(k->Exchange.Request) + Count(k->Line.data(), k->Line.size(), bytes, count);
    return n;
}

std::size_t TLineMachine::QueuedHandshakes() const {
    return static_cast<std::size_t>(
        std::count_if(Ring.begin(), Ring.end(), [](const TQueued& q) { return q.Handshake != nullptr; }));
}

TLineMachine::TLineMachine() {
    Out.reserve(16);
    SetLineSpeed(9600, false);
    RandomBytes = [](std::uint8_t* bytes, std::size_t count) {
        static std::random_device device;
        for (std::size_t i = 0; i < count; ++i)
            bytes[i] = static_cast<std::uint8_t>(device());
    };
}

TLineMachine::~TLineMachine() {
    for (TQueued& q : Ring) {
        Wipe(q.Request);
        WipeHandshake(q);
    }
    Wipe(Pending.Request);
    for (TReopen& r : Reopen)
        r = TReopen{};
    for (TDeviceState& d : DeviceStates) {
        EndSession(d.Session);
        d.Session.Scbk.fill(0);
    }
}

void TLineMachine::SetLineSpeed(int baud, bool tcp) {
    const std::int64_t ms =
        baud <= 0 ? 20 : std::max<std::int64_t>(20, std::lround(20000.0 / baud));
    Turnaround = ms * 1000;
    const std::int64_t rate = baud > 0 && !tcp ? baud : 9600;
    LongestFrameUs =
        (static_cast<std::int64_t>(kFrameBufferSize) * 10 * 1000 + rate - 1) / rate * 1000;
}

bool TLineMachine::OwesReply(int address) const {
    return address >= 0 && address < kDeviceCount && Kept[address] != nullptr;
}

// ---------------------------------------------------------------- submitting

// While polling a request waits for its slot; otherwise it goes at once on a free line.
TLineMachine::TSubmitted TLineMachine::Submit(std::int64_t now, const TOsdpRequest& request,
                                              TOrigin origin, TSubmitMode mode,
                                              const TSecureSession* handshake) {
    TSubmitted result;
    const int address = request.Address & 0x7F;
    if ((mode == TSubmitMode::Queue && IsPolling) || LineBusy(now) || OwesReply(address)) {
        result.Ok = Enqueue(now, request, origin, &result.Error, handshake);
        return result;
    }
    ++Submitted;
    ++Dispatched;
    DispatchUs = now;
    WriteImmediate = true;
    result.Ok = Leave(now, request, origin, &result.Error, handshake);
    if (result.Ok) Pending.Serial = Submitted;
    WriteImmediate = false;
    result.Immediate = result.Ok;
    return result;
}

bool TLineMachine::LineBusy(std::int64_t now) const {
    if (Pending.Open || Repeat || Queued > 0 || now < FreeAtUs) return true;
    for (const TReopen& r : Reopen)
        if (r.ChallengeDue || r.ScryptDue) return true;
    return false;
}

// Refused now rather than when its turn comes, so the user hears of it.
bool TLineMachine::Enqueue(std::int64_t now, const TOsdpRequest& request, TOrigin origin,
                           std::string* error, const TSecureSession* handshake) {
    const int address = request.Address & 0x7F;
    TDeviceState* device = address < kDeviceCount ? &DeviceStates[address] : nullptr;
    const std::size_t length = EncodedLength(request, device, UseCrc);
    if (length == 0 || length > kFrameBufferSize) {
        if (error) *error = length == 0 ? "Error: invalid security block" : "Error: frame too long";
        return false;
    }
    ++Submitted;
    if (Queued == RingSize - 1) { // full: the oldest is dropped
        TQueued& oldest = Ring[QueueRead];
        QueueRead = (QueueRead + 1) % RingSize;
        --Queued;
        DispatchUs = now;
        DropQueued(oldest, "Error: " + std::to_string(RingSize - 1) + " requests wait already; " +
                               CommandName(oldest.Request.Command) + " to " +
                               std::to_string(oldest.Request.Address & 0x7F) + " was dropped");
    }
    TQueued& q = Ring[(QueueRead + Queued) % RingSize];
    q.Request = request;
    q.Origin = origin;
    // A new handshake is plain by nature: the session it replaces is no reason to refuse it.
    q.Protected = device && device->Session.IsEstablished() && !handshake;
    q.QueuedUs = now;
    q.Serial = Submitted;
    if (handshake && device) q.Handshake = std::make_unique<TSecureSession>(*handshake);
    ++Queued;
    return true;
}

// A request that leaves the ring without going out: said, when there is something to say,
// and ended, so whoever waits for it hears.
void TLineMachine::DropQueued(TQueued& q, const std::string& why) {
    ++Dispatched;
    if (!why.empty()) Log(why);
    if (q.Request.Command != kPoll) {
        TLineAction& a = Emit(TActionKind::CommandEnded);
        a.Address = q.Request.Address & 0x7F;
        a.Code = q.Request.Command;
        a.Origin = q.Origin;
        a.End = TExchangeEnd::NotSent;
    }
    Wipe(q.Request);
    WipeHandshake(q);
}

void TLineMachine::WipeHandshake(TQueued& q) {
    if (!q.Handshake) return;
    WipeSession(*q.Handshake);
    q.Handshake.reset();
}

void TLineMachine::ClearQueue() {
    while (Queued > 0) {
        TQueued& q = Ring[QueueRead];
        QueueRead = (QueueRead + 1) % RingSize;
        --Queued;
        DropQueued(q, "");
    }
}

// ---------------------------------------------------------------- the next frame

// An exchange slot: a repeat first, then a reopening's step, then a queued request, then
// (while polling) the next poll when its interval has passed.
void TLineMachine::Slot(std::int64_t now) {
    if (!PortOpen || Pending.Open || Disconnecting || now < FreeAtUs) return;
    if (Repeat) {
        Repeat = false;
        Transmit(now);
        return;
    }
    if (SendReopenStep(now)) return;
    while (Queued > 0)
        if (SendQueued(now)) return;
    if (IsPolling && (PollFromStart || now >= NextPollUs)) PollTurn(now);
}

bool TLineMachine::SendQueued(std::int64_t now) {
    TQueued& q = Ring[QueueRead];
    const int address = q.Request.Address & 0x7F;
    const std::string name = CommandName(q.Request.Command);
    if (OwesReply(address)) {
        // The frame the device owes an answer to goes first, in this request's place.
        TKept& kept = *Kept[address];
        if (kept.AskedUs < q.QueuedUs) return AskAgain(now, address);
        QueueRead = (QueueRead + 1) % RingSize;
        --Queued;
        DispatchUs = now;
        DropQueued(q, "Error: " + std::to_string(address) + " has not answered its last frame; " +
                          name + " was not sent");
        return false;
    }
    QueueRead = (QueueRead + 1) % RingSize;
    --Queued;
    DispatchUs = now;
    TDeviceState* device = address < kDeviceCount ? &DeviceStates[address] : nullptr;
    if (q.Protected && !(device && device->Session.IsEstablished())) {
        DropQueued(q, "Error: the secure channel with " + std::to_string(address) + " ended; " +
                          name + " was not sent");
        return false;
    }
    std::string error;
    if (Leave(now, q.Request, q.Origin, &error, q.Handshake.get())) {
        ++Dispatched;
        Pending.Serial = q.Serial;
        Wipe(q.Request);
        WipeHandshake(q);
        return true;
    }
    DropQueued(q, error);
    return false;
}

void TLineMachine::PollTurn(std::int64_t now) {
    const int address = NextPollAddress(PollFromStart ? -1 : Pending.Address);
    PollFromStart = false;
    if (address < 0) {
        StopPolling();
        return;
    }
    if (PollIntervalUs > 0) NextPollUs = now + PollIntervalUs;
    Status(1, 1, address);
    if (OwesReply(address)) {
        AskAgain(now, address);
        return;
    }
    TOsdpRequest poll;
    poll.Command = kPoll;
    poll.Address = static_cast<std::uint8_t>(address);
    std::string error;
    if (!Leave(now, poll, TOrigin::Routine, &error)) Log(error);
}

// A kept frame goes again as it was, byte for byte, with the exchange it belonged to.
bool TLineMachine::AskAgain(std::int64_t now, int address) {
    TKept& k = *Kept[address];
    std::copy(k.Line.begin(), k.Line.end(), TxLine.begin());
    TxLength = k.Line.size() - 1;
    Pending = k.Exchange;
    Pending.Attempts = 0;
    Pending.Ended = true;
    Pending.Again = true;
    k.AskedUs = now;
    return Transmit(now);
}

// The request is framed into TxLine and written.
bool TLineMachine::Leave(std::int64_t now, const TOsdpRequest& request, TOrigin origin,
                         std::string* error, const TSecureSession* handshake) {
    const int address = request.Address & 0x7F;
    TDeviceState* device = address < kDeviceCount ? &DeviceStates[address] : nullptr;
    NoteSent(request);
    // Before encoding: the challenge goes plain, outside the session it replaces.
    if (handshake && device) OpenHandshake(address, *handshake);
    const TEncodeResult frame = EncodeFrame(request, device, UseCrc, TxLine.data() + 1);
    if (!frame.Ok) {
        if (handshake && device) EndSession(device->Session);
        // Refused before anything went out: the exchange in progress keeps its address.
        if (error) *error = std::string("Error: ") + frame.Error;
        return false;
    }
    Pending = TExchange{};
    Pending.Address = static_cast<std::uint8_t>(address);
    Pending.Sequence = TxLine[5] & 0x03;
    Pending.Request = request;
    Pending.Origin = origin;
    Pending.ScbLength = frame.ScbLength;
    Pending.ScbType = frame.ScbType;
    Pending.Once = request.SendOnce;
    TxLength = frame.Length;
    if (device && frame.ScbType == 0x11) ChallengeKeyType[address] = request.ScbData[0];
    if (!device) {
        // Sequence 0 restarts every reader's count and secure session; what a reader owed is
        // void. The next frame to each carries 0 as well: a reader that missed the broadcast
        // would take a 1 for a repeat of its last frame and answer it again.
        for (int a = 0; a < kDeviceCount; ++a) {
            DeviceStates[a].Sequence = 0;
            Kept[a].reset();
        }
        EndEverySession("broadcast");
    }
    return Transmit(now);
}

// The one place that writes a frame: never while another awaits its reply.
bool TLineMachine::Transmit(std::int64_t now) {
    if (Pending.Open) return false;
    TLineAction& w = Emit(TActionKind::Write);
    w.Bytes.assign(TxLine.begin(), TxLine.begin() + static_cast<std::ptrdiff_t>(TxLength + 1));
    w.Flag = WriteImmediate;
    ++Pending.Attempts;
    ++Pending.Sends;
    Pending.Open = true;
    Pending.SentUs = now;
    ReportSent();
    return true;
}

void TLineMachine::WriteFailed(bool immediate) {
    Pending.Open = false;
    --Pending.Attempts;
    --Pending.Sends;
    // A repeat that cannot go leaves its command where its last send left it.
    if (Pending.Attempts > 0)
        EndCommand(RepeatCause, RepeatReply);
    else if (!immediate)
        EndCommand(TExchangeEnd::NotSent);
    Pending.Attempts = 0;
}

// A frame with sequence number 0 starts the device's count afresh: sent again, it would be
// run again, so it goes once. So does the bootloader entry.
bool TLineMachine::Repeatable() const {
    return !Pending.Once && Pending.Sequence != 0 && Pending.Attempts < MaxAttempts;
}

// A frame worth asking again after its sends ran out: one its reader can tell from a new
// start (sequence not 0), not the bootloader entry, not a handshake step (a handshake that
// failed starts again from its challenge).
bool TLineMachine::Keepable() const {
    return Pending.Sequence != 0 && !Pending.Once && !LastFrameWasHandshake();
}

void TLineMachine::DueRepeat(TExchangeEnd cause, std::uint8_t reply) {
    Repeat = true;
    RepeatCause = cause;
    RepeatReply = reply;
}

// ---------------------------------------------------------------- time

// The reply time runs from the frame sent, and again from each byte of a frame in assembly,
// so a reply that arrives in pieces is received whole; but never more in all than the
// longest frame takes on the line, so noise cannot hold it for ever.
std::int64_t TLineMachine::Deadline() const {
    const std::int64_t fromSend = Pending.SentUs + ReplyTimeoutUs;
    if (Assembly.Held() == 0) return fromSend;
    const std::int64_t fromByte = LastByteUs + ReplyTimeoutUs;
    return std::max(fromSend, std::min(fromByte, fromSend + LongestFrameUs));
}

std::int64_t TLineMachine::NextWake() const {
    if (!PortOpen) return kNever;
    if (Pending.Open) return Deadline();
    if (Disconnecting) return kNever;
    if (LineBusy(FreeAtUs)) return FreeAtUs; // a repeat, a reopening or the ring waits
    if (IsPolling) return std::max(FreeAtUs, PollFromStart ? FreeAtUs : NextPollUs);
    return kNever;
}

void TLineMachine::Tick(std::int64_t now) {
    if (Pending.Open && now >= Deadline()) OnTimeout(now);
    Slot(now);
}

// No reply in time. A device that answered its previous exchange gets the same frame again
// (its reply may only have been lost on the line, and it keeps it for a repeat). When the last
// send also goes unanswered, a device that has answered since its count started keeps the
// frame: it is asked again at each of its turns, so a reply it kept is still delivered.
void TLineMachine::OnTimeout(std::int64_t now) {
    Pending.Open = false;
    FreeAtUs = now + Turnaround;
    if (Assembly.Held() > 0) {
        Log(BytesToHex(Assembly.Data(), Assembly.Held(), true));
        Assembly.Reset();
    }
    const int address = Pending.Address;
    ReportExchange(Pending.Address, TExchangeEnd::Timeout, -1);
    if (address >= kDeviceCount) {
        EndCommand(TExchangeEnd::Timeout);
        Pending.Attempts = 0;
        return;
    }
    TDeviceState& d = DeviceStates[address];
    if (Repeatable() && d.Status != dsTimeout && AnsweredLast[address] && !Disconnecting) {
        DueRepeat(TExchangeEnd::Timeout);
        return;
    }
    EndCommand(TExchangeEnd::Timeout);
    Pending.Attempts = 0;
    AnsweredLast[address] = false;
    EndHandshake(address, "no reply");
    if (Keepable()) {
        KeepFrame();
    } else {
        Kept[address].reset();
        if (d.Session.IsEstablished()) {
            const std::uint8_t before = d.Session.State;
            EndSession(d.Session);
            ReportSessionEnd(address, before, "no reply");
            SessionLost(address);
        }
        d.Sequence = 0;
    }
    if (d.Status != dsTimeout) {
        d.Status = dsTimeout;
        Emit(TActionKind::ControlsChanged);
        if (!QuietTimeouts) Log("TIMEOUT (no reply from " + std::to_string(address) + ")");
    }
    Status(2, 3, address);
}

void TLineMachine::KeepFrame() {
    std::unique_ptr<TKept>& k = Kept[Pending.Address];
    // A kept frame whose device was started afresh while it was out is kept no more.
    if (Pending.Again && !k) return;
    if (!k) k = std::make_unique<TKept>();
    k->Line.assign(TxLine.begin(), TxLine.begin() + static_cast<std::ptrdiff_t>(TxLength + 1));
    k->Exchange = Pending;
    k->Exchange.Open = false;
    // A request queued while this send was on its way has not seen it asked yet.
    k->AskedUs = Pending.SentUs;
}

// ---------------------------------------------------------------- polling and the port

int TLineMachine::NextPollAddress(int after) const {
    for (int a = after + 1; a < kDeviceCount; ++a)
        if (a >= 0 && DeviceStates[a].Selected) return a;
    if (after >= 0)
        for (int a = 0; a <= after && a < kDeviceCount; ++a)
            if (DeviceStates[a].Selected) return a;
    return -1;
}

// Counts are kept: a device that answered goes on from where it was, so a session survives
// Stop and Start; one that owes a reply is still asked for it.
void TLineMachine::StartPolling(std::int64_t now) {
    IsPolling = true;
    PollFromStart = true;
    for (int a = 0; a < kDeviceCount; ++a) {
        TDeviceState& d = DeviceStates[a];
        if (!Kept[a]) d.Status = dsOk;
        d.RepliesWithCrc = false; // the reader may have been changed while polling was off
    }
    Log("START");
    Emit(TActionKind::ControlsChanged);
    Slot(now);
}

// A repeat that is due, and requests still queued, go out all the same.
void TLineMachine::StopPolling() {
    IsPolling = false;
    PollFromStart = false;
    Log("STOP");
    StatusKind[1] = -1;
    Status(1, 0, 0);
    Emit(TActionKind::ControlsChanged);
}

// Ticking an address that was not selected starts it fresh.
void TLineMachine::SetSelection(const std::array<bool, kDeviceCount>& ticked) {
    for (int a = 0; a < kDeviceCount; ++a) {
        TDeviceState& d = DeviceStates[a];
        if (ticked[a] && !d.Selected) {
            d.Status = dsOk;
            d.Sequence = 0;
            Kept[a].reset();
        }
        d.Selected = ticked[a];
    }
    Emit(TActionKind::ControlsChanged);
}

void TLineMachine::PortOpened(std::int64_t now) {
    PortOpen = true;
    Assembly.Reset();
    FreeAtUs = std::max(FreeAtUs, now);
    NextPollUs = now;
}

void TLineMachine::BeginDisconnect() {
    if (Repeat) EndCommand(RepeatCause, RepeatReply);
    Repeat = false;
    Disconnecting = true;
}

void TLineMachine::PortClosed() {
    // A command still waiting for its reply, or for its repeat, gets none now.
    if (Pending.Open)
        EndCommand(TExchangeEnd::Timeout);
    else if (Repeat)
        EndCommand(RepeatCause, RepeatReply);
    PortOpen = false;
    IsPolling = false;
    StatusKind.fill(-1);
    Status(1, 0, 0);
    Status(2, 0, 0);
    EndEverySession("disconnected");
    Assembly.Reset();
    Repeat = false;
    Pending.Open = false;
    Pending.Attempts = 0;
    ClearQueue();
    AnsweredLast.fill(false);
    // What a reader owed, and the number it expects next, are lost with the line: whatever
    // it kept, the next frame to each starts its count afresh.
    for (int a = 0; a < kDeviceCount; ++a) {
        Kept[a].reset();
        DeviceStates[a].Sequence = 0;
    }
}

} // namespace quintrel
