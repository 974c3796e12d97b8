// The machine's reports: log lines in the live log's words, status panels, and the ends of
// exchanges and commands.

#include "line/line_machine.h"

#include "decode/describe.h"
#include "log/hex.h"

#include <cstdio>

namespace quintrel {

namespace {

constexpr std::uint8_t kPoll = 0x60;
constexpr std::uint8_t kAck = 0x40;

std::string BlockPrefix(std::uint8_t scbType) {
    char text[12];
    std::snprintf(text, sizeof text, "SCS%.2X - ", scbType);
    return text;
}

} // namespace

TLineAction& TLineMachine::Emit(TActionKind kind) {
    TLineAction& a = Out.emplace_back();
    a.Kind = kind;
    return a;
}

void TLineMachine::Log(std::string text) {
    Emit(TActionKind::Log).Text = std::move(text);
}

void TLineMachine::StatusOverwritten(int panel) {
    if (panel >= 0 && panel < static_cast<int>(StatusKind.size())) StatusKind[panel] = -1;
}

// A panel is written only when what it says changes: a poll cycle over one address says
// "Polling 3" once, not at every poll.
void TLineMachine::Status(int panel, int kind, int address) {
    if (StatusKind[panel] == kind && (kind == 0 || StatusAddress[panel] == address)) return;
    StatusKind[panel] = kind;
    StatusAddress[panel] = address;
    static const char* const words[] = {"", "Polling ", "Message from ", "Timeout ",
                                        "Invalid message from "};
    TLineAction& a = Emit(TActionKind::Status);
    a.Value = panel;
    if (kind != 0) a.Text = words[kind] + std::to_string(address);
}

// With polls hidden, a poll and an ACK that answers one are left out; the answer to any
// other command is shown, so a saved log keeps that the command was taken.
bool TLineMachine::ShouldLogTraffic(std::uint8_t code, bool sending) const {
    const bool answersPoll = Pending.Request.Command == kPoll;
    const bool routine = sending ? code == kPoll : (code == kAck && answersPoll);
    return !routine || View.Poll;
}

std::string TLineMachine::DescribeIn(const std::uint8_t*, std::uint8_t address, bool block,
                                     std::uint8_t scbType, std::uint8_t code,
                                     const std::uint8_t* data, std::size_t length) {
    std::string line = "< addr=" + std::to_string(address) + ": ";
    if (block) line += BlockPrefix(scbType);
    static const TVendorList none;
    line += DescribeReply(code, data, length, Vendors ? *Vendors : none, MfgId);
    return line;
}

// The reports of a frame written: they hold only once the write did.
void TLineMachine::ReportSent() {
    const TOsdpRequest& r = Pending.Request;
    if (ShouldLogTraffic(r.Command, true)) {
        if (View.Description) {
            std::string line = "> addr=" + std::to_string(Pending.Address) + ": ";
            if (Pending.ScbLength) line += BlockPrefix(Pending.ScbType);
            line += DescribeCommand(r.Command, r.Payload.data(), r.PayloadLength, View.Keys);
            Log(std::move(line));
            Out.back().AfterWrite = true;
        }
        if (View.Raw) {
            Log("> " + RawFrameText(TxLine.data() + 1, TxLength, View.Keys));
            Out.back().AfterWrite = true;
        }
    }
    if (ReportLineFrames) {
        TLineAction& a = Emit(TActionKind::LineFrame);
        a.AfterWrite = true;
        a.Flag = true;
        a.Bytes.assign(TxLine.begin() + 1,
                       TxLine.begin() + static_cast<std::ptrdiff_t>(TxLength + 1));
    }
    TLineAction& a = Emit(TActionKind::FrameSent);
    a.AfterWrite = true;
    a.Address = Pending.Address;
    a.Code = r.Command;
    a.Value = Pending.Sends;
}

void TLineMachine::ReportExchange(std::uint8_t address, TExchangeEnd end, std::int64_t us) {
    TLineAction& a = Emit(TActionKind::ExchangeEnded);
    a.Address = address;
    a.End = end;
    a.Us = us;
}

// A command other than osdp_POLL is done, once no repeat of it follows. A kept frame asked
// again belongs to a command that has ended already.
void TLineMachine::EndCommand(TExchangeEnd end, std::uint8_t reply, const std::uint8_t* data,
                              std::size_t length) {
    if (Pending.Request.Command == kPoll || Pending.Ended) return;
    Pending.Ended = true;
    TLineAction& a = Emit(TActionKind::CommandEnded);
    a.Address = Pending.Address;
    a.Code = Pending.Request.Command;
    a.Origin = Pending.Origin;
    a.End = end;
    if (end == TExchangeEnd::Reply) {
        a.Reply = reply;
        if (data && length > 0) a.Bytes.assign(data, data + length);
    }
    // A person's command that nothing answered is said in the log, whether or not its device
    // was silent before (the TIMEOUT line comes only when a device falls silent).
    if (end == TExchangeEnd::Timeout && Pending.Origin == TOrigin::User)
        Log(CommandName(Pending.Request.Command) + " to " + std::to_string(Pending.Address) +
            ": no reply");
    if (Pending.Request.Command == 0x75) Wipe(Pending.Request); // the new key is delivered
}

} // namespace quintrel
