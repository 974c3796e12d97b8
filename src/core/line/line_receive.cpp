// Receiving: frames assembled from the line's bytes, matched to the frame that asked for
// them, and what their answers change.

#include "line/line_machine.h"

#include "log/hex.h"
#include "osdp/frame_codec.h"

#include <cstring>

namespace quintrel {

namespace {

constexpr std::uint8_t kNak = 0x41;
constexpr std::uint8_t kBusy = 0x79;
constexpr std::uint8_t kPoll = 0x60;
constexpr std::uint8_t kNakSequence = 0x04;

bool CarriesReplyMac(const TDecodedFrame& f) {
    return f.HasBlock() && (f.ScbType() == 0x16 || f.ScbType() == 0x18);
}

void WipeRecord(TDeviceState& record) {
    volatile std::uint8_t* p = reinterpret_cast<std::uint8_t*>(&record.Session);
    for (std::size_t i = 0; i < sizeof record.Session; ++i)
        p[i] = 0;
}

} // namespace

bool TLineMachine::Receive(std::int64_t now, std::uint8_t byte) {
    switch (Assembly.Feed(byte)) {
    case TFrameAssembler::TStep::Pending:
        // Only bytes of a frame being assembled extend the wait for the reply: noise
        // between frames must not keep a silent device from timing out.
        if (Assembly.Held() > 0) LastByteUs = now;
        return false;
    case TFrameAssembler::TStep::SecondStart:
        if (View.Raw) Log(BytesToHex(Assembly.Data(), 1, true));
        LastByteUs = now;
        return false;
    case TFrameAssembler::TStep::Frame:
        break;
    }
    // Work on a copy: the assembly takes the next frame's bytes while this one's reports wait.
    const std::size_t count = Assembly.Held();
    std::memcpy(RxFrame.data(), Assembly.Data(), count);
    Assembly.Reset();
    if (ReportLineFrames) {
        TLineAction& a = Emit(TActionKind::LineFrame);
        a.Bytes.assign(RxFrame.begin(), RxFrame.begin() + static_cast<std::ptrdiff_t>(count));
    }
    if (Pending.Open && Matches(RxFrame.data(), count))
        ProcessReply(now, RxFrame.data(), count);
    else
        LogUnawaited(RxFrame.data(), count);
    Slot(now);
    return true;
}

// A reply answers the frame awaiting it when it comes from that frame's address (any
// address answers a broadcast) with that frame's sequence number. (Between frames of
// sequence 0 the number tells nothing: a late answer to one is taken for the next, as the
// protocol leaves it.) A frame whose check bytes fail may show a damaged address or number,
// so it counts as the damaged answer and the frame goes again.
bool TLineMachine::Matches(const std::uint8_t* frame, std::size_t count) const {
    if (!CheckBytesHold(frame, count)) return true;
    const TDecodedFrame peek = PeekFrame(frame, count);
    if (Pending.Address < kDeviceCount && peek.Address != Pending.Address) return false;
    return (peek.Ctrl & 0x03) == Pending.Sequence;
}

// A frame that answers nothing is described as it stands but changes nothing: it is checked
// against a copy of its own device's record, wiped afterwards, so a late copy of a reply
// already taken cannot break the MAC chain of a session.
void TLineMachine::LogUnawaited(std::uint8_t* frame, std::size_t count) {
    const TDecodedFrame peek = PeekFrame(frame, count);
    const bool shown = ShouldLogTraffic(peek.Code, false);
    if (shown && View.Raw) Log("< " + BytesToHex(frame, count, true));
    TDeviceState scratch;
    const bool own = peek.Address < kDeviceCount;
    if (own) scratch = DeviceStates[peek.Address];
    const TDecodedFrame f = DecodeFrame(frame, count, own ? &scratch : nullptr);
    WipeRecord(scratch);
    if (!f.Valid) {
        Log("ERROR (" + std::string(*f.Error ? f.Error : "mac error") + " from " +
            std::to_string(peek.Address) + ", not awaited)");
        Emit(TActionKind::InvalidFrame).Address = peek.Address;
    } else if (shown && View.Description) {
        Log(DescribeIn(frame, f.Address, f.HasBlock(), f.ScbType(), f.Code, frame + f.DataStart,
                       f.DataLength) +
            " (not awaited, ignored)");
    }
    TLineAction& a = Emit(TActionKind::UnawaitedFrame);
    a.Address = peek.Address;
    a.Flag = f.Intact;
}

void TLineMachine::ProcessReply(std::int64_t now, std::uint8_t* frame, std::size_t count) {
    Pending.Open = false;
    FreeAtUs = now + Turnaround;
    const std::int64_t roundTrip = now - Pending.SentUs;
    const int asked = Pending.Address;
    if (asked < kDeviceCount) AnsweredLast[asked] = true;

    const TDecodedFrame peek = PeekFrame(frame, count);
    const std::uint8_t address = peek.Address;
    const bool shown = ShouldLogTraffic(peek.Code, false);
    if (shown && View.Raw) Log("< " + BytesToHex(frame, count, true));

    TDeviceState* device = address < kDeviceCount ? &DeviceStates[address] : nullptr;
    const std::uint8_t sessionBefore = device ? device->Session.State : std::uint8_t{ssNone};
    const TDecodedFrame f = DecodeFrame(frame, count, DeviceStates);
    const bool sessionEnded = device && sessionBefore != ssNone && device->Session.State == ssNone;
    if (!f.Valid) {
        Status(2, 4, address);
        Emit(TActionKind::PollListChanged);
        if (!device || device->Status != dsError) {
            if (device) device->Status = dsError;
            Emit(TActionKind::ControlsChanged);
            Log("ERROR (" + std::string(f.Error) + " from " + std::to_string(address) + ")");
        }
        if (sessionEnded) {
            ReportSessionEnd(address, sessionBefore, *f.Error ? f.Error : "mac error");
            if (sessionBefore >= ssEstablished) SessionLost(address);
        }
        ReportExchange(Pending.Address,
                       f.Intact ? TExchangeEnd::BadSecurity : TExchangeEnd::BadCheck, roundTrip);
        ExchangeFailed(f.Error, f.Intact);
        Emit(TActionKind::InvalidFrame).Address = address;
        return;
    }

    Status(2, 2, address);
    // A broadcast's answer counts for the reader that gave it.
    ReportExchange(asked < kDeviceCount ? Pending.Address : address, TExchangeEnd::Reply,
                   roundTrip);
    if (sessionEnded) {
        ReportSessionEnd(address, sessionBefore,
                         f.HasBlock() ? "unprotected reply" : "plain reply");
        if (sessionBefore >= ssEstablished) SessionLost(address);
    }
    const std::uint8_t* data = frame + f.DataStart;
    if (shown && View.Description)
        Log(DescribeIn(frame, address, f.HasBlock(), f.ScbType(), f.Code, data, f.DataLength));
    if (device && device->Status != dsOk) {
        if (device->Status == dsTimeout)
            Log("Device " + std::to_string(address) + " answers again");
        device->Status = dsOk;
        Emit(TActionKind::ControlsChanged);
    }
    if (device && asked < kDeviceCount) Kept[address].reset(); // whatever it owed is answered
    if (f.Code == kBusy && device && asked < kDeviceCount) {
        // Busy is no answer to the command: the same frame goes again, with the same
        // number, until the attempts run out.
        if (Repeatable()) {
            DueRepeat(TExchangeEnd::Reply, kBusy);
        } else {
            Log("BUSY (command " + BytesToHex(&Pending.Request.Command, 1) + " to " +
                std::to_string(address) + " dropped after " + std::to_string(Pending.Attempts) +
                " attempts)");
            EndCommand(TExchangeEnd::Reply, kBusy, data, f.DataLength);
            Pending.Attempts = 0;
            // A poll is asked again at the reader's next turn, byte for byte: the answer it
            // may have made meanwhile (a card read) is not lost. Another command is given up,
            // and the next frame takes the next number, which no late answer to this one
            // carries.
            if (Pending.Request.Command == kPoll && Keepable())
                KeepFrame();
            else
                device->Sequence = static_cast<std::uint8_t>((f.Ctrl & 0x03) % 3 + 1);
        }
    } else if (device && asked < kDeviceCount) {
        // (A reader's answer to a broadcast steps nothing: its count restarted at 0 and
        // waits for 1, which every device's next frame carries.)
        if (LastFrameWasHandshake()) {
            const bool expected = Pending.ScbType == 0x11 ? f.Code == 0x76 && f.ScbType() == 0x12
                                                          : f.Code == 0x78 && f.ScbType() == 0x14;
            if (!expected) EndHandshake(address, f.HasBlock() ? "unexpected reply" : "plain reply");
        }
        // Every answer steps the number, the one that ends an error or time-out run too,
        // so no later command leaves with a number the device has already answered. A
        // device that shows it restarted (a NAK for the number, or a plain answer to a
        // protected frame) starts over at 0.
        const bool sentProtected =
            Pending.ScbLength != 0 && (Pending.ScbType == 0x15 || Pending.ScbType == 0x17);
        const bool restarted = (f.Code == kNak && f.DataLength >= 1 && data[0] == kNakSequence) ||
                               (sentProtected && !CarriesReplyMac(f));
        device->Sequence = restarted ? 0 : static_cast<std::uint8_t>((f.Ctrl & 0x03) % 3 + 1);
        Pending.Attempts = 0;
        EndCommand(TExchangeEnd::Reply, f.Code, data, f.DataLength);
        // A session lost with the line is opened again from the device's first answer on
        // (whether it is, the option decides when the challenge is due to leave).
        TReopen& r = Reopen[address];
        if (r.Due && device->Session.State == ssNone) {
            r.Due = false;
            r.ChallengeDue = true;
        }
    } else {
        EndCommand(TExchangeEnd::Reply, f.Code, data, f.DataLength);
    }
    // Dispatch after the step: a command issued from here (osdp_SCRYPT) takes the next number.
    DispatchReply(address, f.Code, data, f.DataLength, f.ScbType(),
                  f.ScbLength() >= 3 ? f.Scb[2] : std::uint8_t{0});
    TLineAction& a = Emit(TActionKind::FrameReceived);
    a.Serial = Pending.Serial;
    a.Address = address;
    a.Code = f.Code;
    a.Bytes.assign(data, data + f.DataLength);
}

// The reply to the frame in TxLine was unusable. While attempts remain the same frame goes
// again, so a device that did receive it answers from its reply cache and nothing runs
// twice. After that a damaged reply is treated as none: the device keeps its frame and is
// asked it again at its next turn. A reply that arrived intact but failed its security (MAC,
// no session) would only come again the same from the cache, so it is not repeated: the
// device starts over.
void TLineMachine::ExchangeFailed(const char* reason, bool intact) {
    const TExchangeEnd end = intact ? TExchangeEnd::BadSecurity : TExchangeEnd::BadCheck;
    const int address = Pending.Address;
    if (address >= kDeviceCount) { // a broadcast has no device to repeat it for
        EndCommand(end);
        return;
    }
    if (!intact && Repeatable()) {
        DueRepeat(end);
        return;
    }
    EndCommand(end);
    Pending.Attempts = 0;
    if (!intact && Keepable()) {
        KeepFrame();
        return;
    }
    const std::string why = *reason ? reason : "mac error";
    const bool open = DeviceStates[address].Session.IsEstablished();
    RestartSequence(address, why);
    if (open) SessionLost(address);
}

void TLineMachine::RestartSequence(int address, const std::string& reason) {
    TDeviceState& d = DeviceStates[address];
    d.Sequence = 0;
    Kept[address].reset();
    // Sequence 0 ends the device's secure session too, so ours ends with it. A challenge
    // still to be sent starts at 0 anyway; one that was sent has failed with its frame.
    const std::uint8_t before = d.Session.State;
    if (d.Session.IsEstablished()) {
        EndSession(d.Session);
        ReportSessionEnd(address, before, reason);
    } else if (address == Pending.Address) {
        EndHandshake(address, reason);
    }
}

void TLineMachine::DispatchReply(std::uint8_t address, std::uint8_t code, const std::uint8_t* data,
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
                Emit(TActionKind::SelectAddress).Address = static_cast<std::uint8_t>(newAddress);
                std::array<bool, kDeviceCount> selection{};
                for (int a = 0; a < kDeviceCount; ++a)
                    selection[a] = DeviceStates[a].Selected;
                if (device) selection[address] = false;
                selection[newAddress] = true;
                SetSelection(selection);
                Emit(TActionKind::PollListChanged);
            }
            if (baud >= 1200 && baud <= 115200)
                Emit(TActionKind::SetBaud).Value = static_cast<int>(baud);
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
            if (Reopen[address].Running) {
                OnCryptogram(address);
            } else {
                TLineAction& a = Emit(TActionKind::IssueMenuCommand);
                a.Code = 0x77;
                a.Address = address;
            }
        }
        break;
    case 0x78: // osdp_RMAC_I opens the session
        if (device && device->Session.State == ssScryptSent && scbType == 0x14 && length == 16)
            OnInitialMac(address, data, scbData);
        break;
    case 0x90: // osdp_MFGREP from the maker's readers
        if (length >= 4 && data[0] == 0x7C && data[1] == 0x4E) {
            TLineAction& a = Emit(TActionKind::MfgReply);
            a.Address = address;
            a.Bytes.assign(data, data + length);
        }
        break;
    default:
        break;
    }
}

} // namespace quintrel
