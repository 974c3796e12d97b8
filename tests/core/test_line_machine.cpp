// The exchange machine against the simulated readers in scripted schedules: the faults each
// rule is there for, one at a time. A driver carries out the machine's actions in virtual time
// and fails on any frame written while another awaits its reply.

#include "crypto/handshake.h"
#include "line/line_machine.h"
#include "maintenance/mfg_channel.h"
#include "osdp/frame_codec.h"
#include "sim/sim_bus.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>

namespace quintrel::test {
namespace {

constexpr std::int64_t kMs = 1000;

// What the line does to one reply: lost, late by some milliseconds, or delivered.
struct TFate {
    bool Lost = false;
    int LateMs = 0;
};

class TDriver {
  public:
    explicit TDriver(int answerDelayMs = 1, sim::TBusRules rules = {}) {
        sim::TReaderConfig c;
        c.AnswerDelayMs = answerDelayMs;
        Bus = std::make_unique<sim::TSimBus>(std::vector<sim::TReaderConfig>{c}, 1, rules);
        Bus->Record = [this](const std::string& line) { Record.push_back(line); };
        M.View.Poll = true;
        M.RandomBytes = [](std::uint8_t* b, std::size_t n) { std::fill(b, b + n, 0x5A); };
        M.PortOpened(0);
        std::array<bool, kDeviceCount> ticked{};
        ticked[0] = true;
        M.SetSelection(ticked);
        Drain();
    }

    TLineMachine M;
    std::unique_ptr<sim::TSimBus> Bus;
    std::int64_t Now = 0;
    std::function<TFate(const std::vector<std::uint8_t>& frame)> Fate; // of each reply
    std::vector<std::string> Log, Record;
    std::vector<std::vector<std::uint8_t>> Written;
    std::vector<TLineAction> Ends; // CommandEnded
    std::vector<TLineAction> Received;

    void Drain() {
        std::vector<TLineAction> batch;
        batch.swap(M.Actions());
        for (TLineAction& a : batch) {
            if (a.Kind == TActionKind::Write) {
                EXPECT_FALSE(Awaiting) << "a frame written while another awaits its reply";
                Awaiting = true;
                Write(a.Bytes);
            } else if (a.Kind == TActionKind::ExchangeEnded) {
                Awaiting = false;
            } else if (a.Kind == TActionKind::Log) {
                Log.push_back(a.Text);
            } else if (a.Kind == TActionKind::CommandEnded) {
                Ends.push_back(a);
            } else if (a.Kind == TActionKind::FrameReceived) {
                Received.push_back(a);
            } else if (a.Kind == TActionKind::IssueMenuCommand) {
                AnswerCryptogram(a.Address);
            }
        }
    }

    void StartPolling() {
        M.StartPolling(Now);
        Drain();
    }
    void StopPolling() {
        M.StopPolling();
        Drain();
    }

    void Submit(const TOsdpRequest& r,
                TLineMachine::TSubmitMode mode = TLineMachine::TSubmitMode::Send) {
        ASSERT_TRUE(M.Submit(Now, r, TOrigin::User, mode).Ok);
        Drain();
    }

    // Runs the line until the given virtual time: replies arrive, the machine wakes.
    void RunUntil(std::int64_t until) {
        while (true) {
            std::int64_t next = until;
            const std::int64_t wake = M.NextWake();
            if (wake != TLineMachine::kNever) next = std::min(next, std::max(wake, Now));
            for (const auto& [at, bytes] : Line)
                next = std::min(next, at);
            Now = std::max(Now, next);
            auto due = std::find_if(Line.begin(), Line.end(),
                                    [&](const auto& d) { return d.first <= Now; });
            if (due != Line.end()) {
                const std::vector<std::uint8_t> bytes = due->second;
                Line.erase(due);
                for (std::uint8_t b : bytes)
                    if (M.Receive(Now, b)) Drain();
                Drain();
            } else if (wake != TLineMachine::kNever && wake <= Now) {
                M.Tick(Now);
                Drain();
            } else if (Now >= until) {
                return;
            }
        }
    }
    void RunFor(std::int64_t ms) { RunUntil(Now + ms * kMs); }

    // The secure channel with the default key, composed as the window does.
    void OpenSession() {
        TSecureSession& s = M.Devices()[0].Session;
        s = TSecureSession{};
        s.State = ssChallengeSent;
        s.RndA.fill(0x11);
        TOsdpRequest r;
        r.Command = 0x76;
        r.ScbLength = 3;
        r.ScbType = 0x11;
        std::copy(s.RndA.begin(), s.RndA.end(), r.Payload.begin());
        r.PayloadLength = 8;
        Submit(r);
        RunFor(600);
        ASSERT_TRUE(s.IsEstablished());
    }

    int Count(const std::string& text) const {
        return static_cast<int>(std::count(Log.begin(), Log.end(), text));
    }
    int CountStarting(const std::string& text) const {
        return static_cast<int>(std::count_if(
            Log.begin(), Log.end(), [&](const std::string& l) { return l.rfind(text, 0) == 0; }));
    }

  private:
    void Write(const std::vector<std::uint8_t>& line) {
        std::vector<std::uint8_t> frame(line.begin() + 1, line.end());
        Written.push_back(frame);
        for (sim::TBusReply& r : Bus->HandleFrame(frame.data(), frame.size())) {
            const TFate fate = Fate ? Fate(frame) : TFate{};
            if (!fate.Lost) Line.emplace_back(Now + (r.DelayMs + fate.LateMs) * kMs, r.Bytes);
        }
    }
    void AnswerCryptogram(int address) {
        TOsdpRequest r;
        r.Command = 0x77;
        r.Address = static_cast<std::uint8_t>(address);
        std::uint8_t* cursor = r.PayloadStart();
        TSecurityHeader header;
        TKeyOptions options;
        ASSERT_TRUE(BuildServerCryptogram(cursor, header, M.Devices()[address].Session, options));
        r.SetPayloadEnd(cursor);
        r.ScbLength = header.Length;
        r.ScbType = header.Type;
        r.ScbData[0] = header.Data;
        ASSERT_TRUE(M.Submit(Now, r, TOrigin::Routine, TLineMachine::TSubmitMode::Send).Ok);
    }
    std::vector<std::pair<std::int64_t, std::vector<std::uint8_t>>> Line;
    bool Awaiting = false;
};

TOsdpRequest Request(std::uint8_t code, std::vector<std::uint8_t> payload = {}) {
    TOsdpRequest r;
    r.Command = code;
    std::copy(payload.begin(), payload.end(), r.Payload.begin());
    r.PayloadLength = static_cast<std::uint16_t>(payload.size());
    return r;
}

int Sequence(const std::vector<std::uint8_t>& frame) {
    return frame[4] & 0x03;
}

// A reader that answers after 250 ms on a 200 ms poll cycle: a command submitted between polls
// waits for the poll in progress, and every command ends once.
TEST(LineMachine, OneFrameOutstandingWhateverAsks) {
    TDriver d(250);
    d.M.SetPollIntervalUs(200 * kMs);
    d.StartPolling();
    d.RunFor(900);
    d.Submit(Request(0x64, {}), TLineMachine::TSubmitMode::Queue);
    d.RunFor(1500);
    ASSERT_EQ(d.Ends.size(), 1u);
    EXPECT_EQ(d.Ends[0].End, TExchangeEnd::Reply);
    // And to a reader that has stopped answering: three sends, then "no reply".
    d.Bus->SetSilent(0, true);
    d.Submit(Request(0x64, {}), TLineMachine::TSubmitMode::Queue);
    d.RunFor(3000);
    ASSERT_EQ(d.Ends.size(), 2u);
    EXPECT_EQ(d.Ends[1].End, TExchangeEnd::Timeout);
    EXPECT_EQ(d.Count("TIMEOUT (no reply from 0)"), 1);
}

// The answer to a frame's first send comes 350 ms late, after its repeat was answered: it
// carries that frame's number, not the next poll's, so the next poll's own answer (a card
// read) is the one taken.
TEST(LineMachine, LateReplyAnswersOnlyItsOwnFrame) {
    TDriver d(1);
    d.StartPolling();
    d.RunFor(300);
    bool first = true;
    d.Fate = [&](const std::vector<std::uint8_t>& f) {
        const bool late = first && PeekFrame(f.data(), f.size()).Code == 0x64;
        if (late) first = false;
        return TFate{false, late ? 350 : 0};
    };
    d.Submit(Request(0x64, {}), TLineMachine::TSubmitMode::Queue);
    d.Bus->QueueCard(0, 0x2A5, 26);
    d.RunFor(1500);
    EXPECT_EQ(d.CountStarting("< addr=0: RES_STAT"), 2) << "one answer taken";
    EXPECT_EQ(d.Count("< addr=0: RES_STAT(TAMPER=ok, POWER=ok) (not awaited, ignored)"), 1);
    const auto cards = std::count_if(d.Received.begin(), d.Received.end(),
                                     [](const TLineAction& a) { return a.Code == 0x50; });
    EXPECT_EQ(cards, 1);
}

// A request composed inside a session leaves protected or not at all: the session ends (a MAC
// the reader got wrong) while an osdp_KEYSET waits behind the exchange in progress.
TEST(LineMachine, ProtectedStaysProtected) {
    TDriver d(100);
    d.OpenSession();
    d.Bus->CorruptNextMac();
    d.Submit(Request(0x64, {}));
    TOsdpRequest keyset = Request(0x75, {0x01, 0x10});
    for (int i = 0; i < 16; ++i)
        keyset.Payload[2 + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(0xA0 + i);
    keyset.PayloadLength = 18;
    d.Submit(keyset);
    d.RunFor(1000);
    EXPECT_EQ(d.Count("Error: the secure channel with 0 ended; SET_KEY was not sent"), 1);
    for (const auto& f : d.Written)
        EXPECT_NE(PeekFrame(f.data(), f.size()).Code, 0x75);
    ASSERT_FALSE(d.Ends.empty());
    EXPECT_EQ(d.Ends.back().Code, 0x75);
    EXPECT_EQ(d.Ends.back().End, TExchangeEnd::NotSent);
    EXPECT_EQ(d.M.CopiesOf(keyset.Payload.data() + 2, 16), 0u) << "the refused key is wiped";
}

// A person's new handshake, queued while polls go inside the open session: the session holds
// until the challenge leaves (plain, not wrapped in the session it ends), then ends with a
// line of its own; the new record waits with the challenge and goes with it.
TEST(LineMachine, NewHandshakeTakesOverWhenItsChallengeLeaves) {
    TDriver d(100);
    d.OpenSession();
    d.StartPolling();
    d.RunFor(250);
    TSecureSession next;
    next.State = ssChallengeSent;
    next.RndA.fill(0x22);
    next.Scbk.fill(0xC3);
    TOsdpRequest chlng = Request(0x76, std::vector<std::uint8_t>(8, 0x22));
    chlng.ScbLength = 3;
    chlng.ScbType = 0x11;
    const auto queued = d.M.Submit(d.Now, chlng, TOrigin::User, TLineMachine::TSubmitMode::Queue,
                                   &next);
    ASSERT_TRUE(queued.Ok && !queued.Immediate);
    const std::uint64_t serial = d.M.SubmittedCount();
    EXPECT_TRUE(d.M.Devices()[0].Session.IsEstablished());
    EXPECT_EQ(d.M.QueuedHandshakes(), 1u);
    const std::size_t before = d.Written.size();
    d.RunFor(1000);
    EXPECT_EQ(d.M.QueuedHandshakes(), 0u);
    EXPECT_EQ(d.Count("Secure channel with 0 ended (a new handshake)"), 1);
    const auto sent = std::find_if(d.Written.begin() + static_cast<std::ptrdiff_t>(before),
                                   d.Written.end(), [](const std::vector<std::uint8_t>& f) {
                                       return PeekFrame(f.data(), f.size()).Code == 0x76;
                                   });
    ASSERT_NE(sent, d.Written.end());
    EXPECT_EQ((*sent)[6], 0x11) << "the challenge goes plain";
    for (auto f = d.Written.begin() + static_cast<std::ptrdiff_t>(before); f != sent; ++f)
        EXPECT_EQ((*f)[6], 0x15) << "until then polls go inside the open session";
    const TSecureSession& s = d.M.Devices()[0].Session;
    EXPECT_TRUE(s.IsEstablished());
    EXPECT_EQ(s.RndA, next.RndA) << "the new session is the one queued";
    // The reply to the challenge names its submission; a poll's answer names none.
    const auto ccrypt = std::find_if(d.Received.rbegin(), d.Received.rend(),
                                     [](const TLineAction& a) { return a.Code == 0x76; });
    ASSERT_NE(ccrypt, d.Received.rend());
    EXPECT_EQ(ccrypt->Serial, serial);
    EXPECT_EQ(d.Received.back().Serial, 0u);

    // One that never leaves is dropped with its record.
    d.M.Submit(d.Now, chlng, TOrigin::User, TLineMachine::TSubmitMode::Queue, &next);
    EXPECT_EQ(d.M.QueuedHandshakes(), 1u);
    d.M.PortClosed();
    d.Drain();
    EXPECT_EQ(d.M.QueuedHandshakes(), 0u);
}

// A session the line cut is reopened at the next answer only while reopening is on then.
TEST(LineMachine, ReopeningFollowsItsOptionAtThatMoment) {
    for (const bool on : {true, false}) {
        TDriver d(50);
        d.OpenSession();
        d.StartPolling();
        d.Bus->CorruptNextMac();
        for (int i = 0; i < 100 && d.Count("Secure channel with 0 ended (mac error)") == 0; ++i)
            d.RunFor(5);
        ASSERT_EQ(d.Count("Secure channel with 0 ended (mac error)"), 1);
        d.M.ReopenSessions = on; // before the reader's next answer
        d.RunFor(800);
        EXPECT_EQ(d.Count("Secure channel with 0 reopened"), on ? 1 : 0);
        EXPECT_EQ(d.M.Devices()[0].Session.IsEstablished(), on);
        if (!on) {
            EXPECT_EQ(d.Count("Secure channel with 0 not reopened (reopening is off)"), 1);
            EXPECT_EQ(d.CountStarting("> addr=0: SCS11"), 1) << "no challenge of ours";
        }
    }
}

// Stop and Start polling keep a session and its count; three lost replies keep them too: the
// unanswered frame is asked again, byte for byte, and the card read it holds arrives once.
TEST(LineMachine, OutagesKeepTheCountTheSessionAndTheCard) {
    TDriver d(1);
    d.OpenSession();
    d.StartPolling();
    d.RunFor(200);
    d.StopPolling();
    d.RunFor(100);
    const std::size_t before = d.Written.size();
    d.StartPolling();
    d.RunFor(100);
    ASSERT_GT(d.Written.size(), before);
    EXPECT_NE(Sequence(d.Written[before]), 0);
    EXPECT_TRUE(d.M.Devices()[0].Session.IsEstablished());

    int lost = 0;
    d.Fate = [&](const std::vector<std::uint8_t>&) { return TFate{lost-- > 0, 0}; };
    d.Bus->QueueCard(0, 0x155, 26);
    lost = 5; // three sends and two of its turns
    d.RunFor(3000);
    EXPECT_EQ(d.Count("TIMEOUT (no reply from 0)"), 1);
    EXPECT_EQ(d.Count("Device 0 answers again"), 1);
    EXPECT_EQ(std::count_if(d.Received.begin(), d.Received.end(),
                            [](const TLineAction& a) { return a.Code == 0x50; }),
              1);
    EXPECT_TRUE(d.M.Devices()[0].Session.IsEstablished());
    EXPECT_EQ(d.CountStarting("Secure channel with 0 ended"), 0);
    // Closing the port is another matter: what the reader expects is unknown after it.
    d.M.PortClosed();
    d.M.PortOpened(d.Now);
    const std::size_t reopened = d.Written.size();
    d.StartPolling();
    d.RunFor(50);
    ASSERT_GT(d.Written.size(), reopened);
    EXPECT_EQ(Sequence(d.Written[reopened]), 0);
}

// A frame is logged when it is written: a command queued behind an exchange in progress says
// nothing until its turn.
TEST(LineMachine, FrameLoggedWhenWritten) {
    TDriver d(200);
    d.StartPolling();
    d.RunFor(50);
    ASSERT_TRUE(d.M.ExchangeOpen());
    d.Submit(Request(0x64, {}), TLineMachine::TSubmitMode::Queue);
    EXPECT_EQ(d.Count("> addr=0: GET_STAT"), 0);
    d.RunFor(400);
    EXPECT_EQ(d.Count("> addr=0: GET_STAT"), 1);
}

// The bootloader entry goes once: a reader that jumps to its bootloader does not answer.
TEST(LineMachine, BootloaderEntryGoesOnce) {
    TDriver d(1);
    d.StartPolling();
    d.RunFor(100);
    d.StopPolling();
    d.RunFor(100);
    d.Bus->SetSilent(0, true);
    const std::size_t before = d.Written.size();
    d.Submit(EnterBootloader(d.M.MfgId, 0, "x"));
    d.RunFor(1000);
    EXPECT_EQ(d.Written.size(), before + 1);
    ASSERT_EQ(d.Ends.size(), 1u);
    EXPECT_EQ(d.Ends[0].End, TExchangeEnd::Timeout);
}

} // namespace
} // namespace quintrel::test
