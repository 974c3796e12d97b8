#include "line_sim.h"

#include "crypto/handshake.h"
#include "line/line_machine.h"
#include "log/hex.h"
#include "osdp/frame_codec.h"
#include "sim/sim_bus.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <exception>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <sstream>
#include <vector>

namespace quintrel::test {

namespace {

constexpr std::int64_t kMs = 1000;
constexpr int kReaders = 3; // at addresses 0, 1 and 2
constexpr int kAbsent = 5;  // an address nobody answers
constexpr std::uint8_t kOut = 0x68;
constexpr std::uint8_t kKeySet = 0x75;
constexpr std::uint8_t kRaw = 0x50;

// Bytes on their way to the control panel, and the command frame they answer.
struct TDelivery {
    std::int64_t At = 0;
    std::uint64_t Order = 0;
    std::vector<std::uint8_t> Bytes;
    std::vector<std::uint8_t> Answers;
    int To = 0;             // the address the answered frame went to
    std::uint64_t Sent = 0; // how many frames had gone to that address when it did
};

struct TCard {
    int Reader = 0;
    std::int64_t QueuedAt = 0;
    int Delivered = 0;
};

struct TKeyRecord {
    TAesKey Key{};
    int Address = 0;
    bool Ended = false;
};

class TSim {
  public:
    TSim(std::uint64_t seed, const TSimOptions& options);
    TSimResult Run();

  private:
    // random choices
    bool Chance(double p) { return std::uniform_real_distribution<double>(0, 1)(Rng) < p; }
    int Pick(int n) { return static_cast<int>(Rng() % static_cast<std::uint64_t>(n)); }
    std::int64_t Between(std::int64_t a, std::int64_t b) {
        return a + static_cast<std::int64_t>(Rng() % static_cast<std::uint64_t>(b - a + 1));
    }

    void Fail(const std::string& what);
    // A late answer to an earlier frame with the same address and sequence number cannot be
    // told from the answer to the frame awaited: the number has two bits (and frames of
    // sequence 0 all carry 0). Any address answers a broadcast.
    bool Indistinguishable() const {
        return Answered.size() > 4 && LastWritten.size() > 4 &&
               (Answered[1] == LastWritten[1] || LastWritten[1] == kBroadcastAddress) &&
               (Answered[4] & 0x03) == (LastWritten[4] & 0x03);
    }
    template <typename TInput> void Input(bool tick, TInput input);
    void Process();
    void OnWrite(TLineAction& a);
    void OnLine(const std::vector<std::uint8_t>& frame);
    void Schedule(std::vector<std::uint8_t> bytes, std::int64_t at,
                  const std::vector<std::uint8_t>& answers);
    void Deliver();
    void RandomEvent();
    void SubmitOut();
    void SubmitChallenge(int address);
    void SubmitKeySet(int address);
    void AnswerCryptogram(int address);
    void Submit(const TOsdpRequest& r, TOrigin origin, const TSecureSession* handshake = nullptr);
    void OnRecord(const std::string& line);
    void Check();
    void CheckKeys();
    void Calm();
    void FinalChecks();
    bool Exempt(const TCard& card) const {
        return RestartedAt[card.Reader] >= card.QueuedAt ||
               AmbiguousAt[card.Reader] >= card.QueuedAt ||
               SequenceZeroAt[card.Reader] >= card.QueuedAt || LastDisconnectAt >= card.QueuedAt;
    }
    bool Settled() const {
        if (M.QueuedCount() > 0) return false;
        for (const auto& [id, card] : Cards)
            if (card.Delivered == 0 && !Exempt(card)) return false;
        return true;
    }

    std::mt19937_64 Rng;
    TSimOptions Options;
    std::uint64_t Seed;
    TLineMachine M;
    std::unique_ptr<sim::TSimBus> Bus;
    std::int64_t Now = 0;
    std::uint64_t Step = 0;
    TSimResult Result;

    std::vector<TDelivery> Line;
    std::uint64_t DeliveryOrder = 0;
    // Every reply put on the line lately, whole, with the frame it answers; and what the frame
    // the machine took last answers (empty: bytes of two replies run together, or none).
    std::vector<std::pair<std::vector<std::uint8_t>, std::vector<std::uint8_t>>> Replies;
    std::vector<std::uint8_t> Answered;
    bool Receiving = false;
    std::vector<std::uint8_t> LastWritten;
    std::array<std::uint64_t, 128> FramesTo{};
    std::int64_t LastEndUs = -1;
    bool OpenBefore = false;
    int WritesInInput = 0;
    int IdleTicks = 0;
    std::int64_t NextEventAt = 0;

    bool PortUp = true;
    std::int64_t ReconnectAt = -1;
    std::int64_t LastDisconnectAt = -1;
    std::array<std::int64_t, kReaders> CutUntil{};
    std::array<std::int64_t, kReaders> LastAnswerAt{};
    std::array<std::int64_t, kReaders> AmbiguousAt{-1, -1, -1};
    std::array<std::int64_t, kReaders> RestartedAt{-1, -1, -1};
    std::array<std::int64_t, kReaders> SequenceZeroAt{-1, -1, -1};
    std::array<std::uint8_t, kReaders> HandshakeKeyType{};
    std::array<std::optional<TAesKey>, kReaders> ReaderKey;

    std::uint16_t NextId = 1;
    std::map<std::uint16_t, bool> ProtectedAtSubmit;
    std::map<std::uint16_t, std::pair<int, std::int64_t>> Runs; // id: reader, first run
    std::map<std::pair<int, int>, int> OpenCommands;            // (address, code): count
    std::map<std::uint32_t, TCard> Cards;
    std::vector<TKeyRecord> Keys;
};

TSim::TSim(std::uint64_t seed, const TSimOptions& options)
    : Rng(seed), Options(options), Seed(seed) {
    std::vector<sim::TReaderConfig> readers;
    static const int delays[] = {1, 20, 120, 250, 290};
    for (int a = 0; a < kReaders; ++a) {
        sim::TReaderConfig c;
        c.Address = a;
        c.AnswerDelayMs = delays[Pick(5)];
        readers.push_back(c);
    }
    Bus = std::make_unique<sim::TSimBus>(readers, static_cast<unsigned>(seed));
    Bus->Record = [this](const std::string& line) { OnRecord(line); };
    M.UseCrc = !Chance(0.2);
    M.ReopenSessions = !Chance(0.2);
    M.View.Poll = true;
    M.ReportLineFrames = true;
    M.View.Raw = Options.Trace;
    static const int intervals[] = {0, 50, 200};
    M.SetPollIntervalUs(intervals[Pick(3)] * kMs);
    M.RandomBytes = [this](std::uint8_t* bytes, std::size_t count) {
        for (std::size_t i = 0; i < count; ++i)
            bytes[i] = static_cast<std::uint8_t>(Rng());
    };
}

void TSim::Fail(const std::string& what) {
    if (!Result.Ok) return;
    Result.Ok = false;
    std::ostringstream text;
    text << "seed " << Seed << ", step " << Step << ", t=" << Now / kMs << " ms: " << what
         << "\n  replay: " << ReplayCommand(Seed, Options);
    Result.Failure = text.str();
}

// Every input to the machine goes through here, so the checks see what it did.
template <typename TInput> void TSim::Input(bool tick, TInput input) {
    OpenBefore = M.ExchangeOpen();
    WritesInInput = 0;
    input();
    const bool quiet = !M.HasActions();
    Process();
    if (!quiet) CheckKeys();
    // A wake-up that changes nothing and asks to be woken now again is a busy loop.
    IdleTicks = tick && quiet && M.NextWake() != TLineMachine::kNever && M.NextWake() <= Now
                    ? IdleTicks + 1
                    : 0;
    if (IdleTicks > 100) Fail("the machine asks to be woken at once, again and again");
    Check();
}

void TSim::Process() {
    while (M.HasActions()) {
        std::vector<TLineAction> batch;
        batch.swap(M.Actions());
        for (TLineAction& a : batch) {
            switch (a.Kind) {
            case TActionKind::Write:
                OnWrite(a);
                break;
            case TActionKind::Log:
                if (Options.Trace)
                    std::fprintf(stderr, "%8lld  %s\n", static_cast<long long>(Now / kMs),
                                 a.Text.c_str());
                // A new handshake is plain by nature: the end of the session it was to
                // replace is no reason to refuse it.
                if (a.Text.find("ended; SET_CHLNG was not sent") != std::string::npos)
                    Fail("a new handshake was refused because a session ended");
                break;
            case TActionKind::LineFrame:
                if (!a.Flag) {
                    Answered.clear();
                    for (auto r = Replies.rbegin(); r != Replies.rend(); ++r)
                        if (std::search(r->first.begin(), r->first.end(), a.Bytes.begin(),
                                        a.Bytes.end()) != r->first.end()) {
                            Answered = r->second;
                            break;
                        }
                }
                break;
            case TActionKind::ExchangeEnded:
                LastEndUs = Now;
                // Two answers on their way to frames of the same bytes (a repeat, answered late
                // once and again by a reader that restarted between): the first is taken, and
                // what the other held is lost with it.
                if (LastWritten.size() > 1 && (LastWritten[1] & 0x7F) < kReaders &&
                    std::any_of(Line.begin(), Line.end(),
                                [&](const TDelivery& d) { return d.Answers == LastWritten; }))
                    AmbiguousAt[LastWritten[1] & 0x7F] = Now;
                if (a.End == TExchangeEnd::Reply || a.End == TExchangeEnd::BadSecurity) {
                    if (!Receiving)
                        Fail("an exchange ended with a reply while nothing arrived");
                    else if (!Answered.empty() && Answered != LastWritten && Indistinguishable()) {
                        // A stale answer the number cannot tell from the right one was taken:
                        // what the right one held (a card read) is lost with it.
                        if ((LastWritten[1] & 0x7F) < kReaders)
                            AmbiguousAt[LastWritten[1] & 0x7F] = Now;
                    } else if (!Answered.empty() && Answered != LastWritten)
                        Fail("a reply was taken as the answer to a frame it does not answer: it "
                             "answers " +
                             BytesToHex(Answered.data(), Answered.size()) + ", awaited " +
                             BytesToHex(LastWritten.data(), LastWritten.size()));
                }
                break;
            case TActionKind::CommandEnded:
                if (a.Origin == TOrigin::User) {
                    int& open = OpenCommands[{a.Address, a.Code}];
                    if (--open < 0)
                        Fail("a command ended twice (" + std::to_string(a.Code) + " to " +
                             std::to_string(a.Address) + ")");
                }
                if (a.Code == kKeySet)
                    for (TKeyRecord& k : Keys)
                        if (k.Address == a.Address && !k.Ended) {
                            k.Ended = true;
                            break;
                        }
                break;
            case TActionKind::FrameReceived:
                if (a.Code == kRaw && a.Bytes.size() == 8) {
                    std::uint32_t bits = 0;
                    for (std::size_t i = 4; i < 8; ++i)
                        bits = bits << 8 | a.Bytes[i];
                    const std::uint32_t id =
                        bits >> 8; // 26 bits, aligned left: the id above its last 2
                    auto card = Cards.find(id);
                    if (card == Cards.end())
                        Fail("a card nobody presented was delivered");
                    else if (++card->second.Delivered > 1)
                        Fail("a card read was delivered twice");
                    else
                        ++Result.CardsDelivered;
                }
                break;
            case TActionKind::IssueMenuCommand:
                if (a.Code == 0x77) AnswerCryptogram(a.Address);
                break;
            default:
                break;
            }
        }
    }
}

void TSim::OnWrite(TLineAction& a) {
    ++WritesInInput;
    if (OpenBefore) Fail("a frame was written while another awaited its reply");
    if (WritesInInput > 1) Fail("two frames were written in one step");
    if (LastEndUs >= 0 && Now - LastEndUs < M.TurnaroundUs())
        Fail("a frame followed the end of the last exchange after " +
             std::to_string((Now - LastEndUs) / kMs) + " ms, less than the turnaround");
    if (a.Bytes.size() < 8 || a.Bytes[0] != 0xFF) {
        Fail("a frame without its mark byte, or too short to be one");
        return;
    }
    std::vector<std::uint8_t> frame(a.Bytes.begin() + 1, a.Bytes.end());
    LastWritten = frame;
    // A frame of sequence 0 restarts its reader's count (a broadcast every reader's): from
    // then on a late answer to any earlier frame may carry the number awaited, as after a
    // whole turn of the count.
    const int steps = (frame[4] & 0x03) == 0 ? 3 : 1;
    if ((frame[1] & 0x7F) == kBroadcastAddress)
        for (std::uint64_t& n : FramesTo)
            n += steps;
    else
        FramesTo[frame[1] & 0x7F] += steps;
    ++Result.Exchanges;
    if (Options.Trace)
        std::fprintf(stderr, "%8lld  >> %s\n", static_cast<long long>(Now / kMs),
                     BytesToHex(frame.data(), frame.size()).c_str());
    OnLine(frame);
}

// What a frame on the wire says about the rules, and what the readers make of it.
void TSim::OnLine(const std::vector<std::uint8_t>& frame) {
    const TDecodedFrame f = PeekFrame(frame.data(), frame.size());
    const bool mac = f.HasBlock() && (f.ScbType() == 0x15 || f.ScbType() == 0x17);
    if (f.Code == kKeySet && !mac) Fail("an osdp_KEYSET went out without protection");
    if (f.Code == kOut && !mac && f.DataLength == 4) {
        const std::uint8_t* p = frame.data() + f.DataStart;
        const auto id = static_cast<std::uint16_t>(p[2] | p[3] << 8);
        if (ProtectedAtSubmit[id]) Fail("a command composed inside a session went out plain");
    }
    const int address = f.Address;
    if ((frame[4] & 0x03) == 0)
        for (int r = 0; r < kReaders; ++r)
            if (address == r || address == kBroadcastAddress) SequenceZeroAt[r] = Now;
    if (address < kReaders && CutUntil[address] > Now) return;
    if (Chance(0.01)) return; // the command lost on the way
    std::vector<std::uint8_t> copy = frame;
    for (sim::TBusReply& reply : Bus->HandleFrame(copy.data(), copy.size())) {
        if (address < kReaders && CutUntil[address] > Now) continue;
        if (Chance(0.02)) continue; // the reply lost whole
        std::vector<std::uint8_t> bytes = std::move(reply.Bytes);
        if (bytes.size() > 2 && Chance(0.03)) // damaged
            bytes[1 + static_cast<std::size_t>(Pick(static_cast<int>(bytes.size()) - 1))] ^=
                static_cast<std::uint8_t>(1u << Pick(8));
        if (Options.Trace)
            std::fprintf(stderr, "%8lld  .. reply %s\n", static_cast<long long>(Now / kMs),
                         BytesToHex(bytes.data(), bytes.size()).c_str());
        Replies.emplace_back(bytes, frame);
        if (Replies.size() > 32) Replies.erase(Replies.begin());
        std::int64_t at = Now + reply.DelayMs * kMs + Between(0, 2) * kMs;
        if (Chance(0.03)) at += Between(1, 900) * kMs; // late, by any amount
        // A reader answers its frames in the order they came: a late answer holds up the next.
        if (address < kReaders) {
            at = std::max(at, LastAnswerAt[address] + kMs);
            LastAnswerAt[address] = at;
        }
        if (bytes.size() > 4 && Chance(0.05)) { // split in two
            const std::size_t cut =
                1 + static_cast<std::size_t>(Pick(static_cast<int>(bytes.size()) - 1));
            Schedule(std::vector<std::uint8_t>(bytes.begin(),
                                               bytes.begin() + static_cast<std::ptrdiff_t>(cut)),
                     at, frame);
            Schedule(std::vector<std::uint8_t>(bytes.begin() + static_cast<std::ptrdiff_t>(cut),
                                               bytes.end()),
                     at + Between(0, 60) * kMs, frame);
        } else {
            Schedule(std::move(bytes), at, frame);
        }
    }
}

void TSim::Schedule(std::vector<std::uint8_t> bytes, std::int64_t at,
                    const std::vector<std::uint8_t>& answers) {
    TDelivery d;
    d.At = at;
    d.Order = DeliveryOrder++;
    d.Bytes = std::move(bytes);
    d.Answers = answers;
    d.To = answers[1] & 0x7F;
    d.Sent = FramesTo[d.To];
    Line.push_back(std::move(d));
}

// The earliest bytes on the line reach the machine, byte by byte, each frame's actions
// carried out before the next byte.
void TSim::Deliver() {
    auto first =
        std::min_element(Line.begin(), Line.end(), [](const TDelivery& a, const TDelivery& b) {
            return a.At != b.At ? a.At < b.At : a.Order < b.Order;
        });
    const TDelivery d = *first;
    Line.erase(first);
    if (!PortUp) return;
    // An answer so late that three more frames have gone to its reader since would carry the
    // number of the frame awaited now: no panel can tell it from the real answer. On a
    // half-duplex pair it talks over that traffic; here it is lost in the collision.
    if (FramesTo[d.To] - d.Sent >= 3) return;
    if (Options.Trace)
        std::fprintf(stderr, "%8lld  << %s\n", static_cast<long long>(Now / kMs),
                     BytesToHex(d.Bytes.data(), d.Bytes.size()).c_str());
    Receiving = true;
    for (std::uint8_t b : d.Bytes)
        Input(false, [&] { M.Receive(Now, b); });
    Receiving = false;
}

void TSim::Submit(const TOsdpRequest& r, TOrigin origin, const TSecureSession* handshake) {
    const auto mode =
        Chance(0.5) ? TLineMachine::TSubmitMode::Queue : TLineMachine::TSubmitMode::Send;
    TLineMachine::TSubmitted result;
    Input(false, [&] { result = M.Submit(Now, r, origin, mode, handshake); });
    if (result.Ok && origin == TOrigin::User) ++OpenCommands[{r.Address & 0x7F, r.Command}];
}

void TSim::SubmitOut() {
    static const int addresses[] = {0, 1, 2, 0, 1, 2, kAbsent};
    const int address = addresses[Pick(7)];
    const std::uint16_t id = NextId++;
    TOsdpRequest r;
    r.Command = kOut;
    r.Address = static_cast<std::uint8_t>(address);
    r.Payload[0] = 0;
    r.Payload[1] = 1;
    r.Payload[2] = static_cast<std::uint8_t>(id & 0xFF);
    r.Payload[3] = static_cast<std::uint8_t>(id >> 8);
    r.PayloadLength = 4;
    ProtectedAtSubmit[id] = M.Devices()[address].Session.IsEstablished();
    Submit(r, TOrigin::User);
}

// As the composer does: a new record, with the reader's own key when it has one, which
// replaces the device's session when the challenge leaves.
void TSim::SubmitChallenge(int address) {
    TSecureSession s;
    s.State = ssChallengeSent;
    HandshakeKeyType[address] = ReaderKey[address] ? 1 : 0;
    if (ReaderKey[address]) s.Scbk = *ReaderKey[address];
    M.RandomBytes(s.RndA.data(), s.RndA.size());
    TOsdpRequest r;
    r.Command = 0x76;
    r.Address = static_cast<std::uint8_t>(address);
    r.ScbLength = 3;
    r.ScbType = 0x11;
    r.ScbData[0] = HandshakeKeyType[address];
    std::copy(s.RndA.begin(), s.RndA.end(), r.Payload.begin());
    r.PayloadLength = 8;
    Submit(r, TOrigin::User, &s);
    WipeSession(s);
}

void TSim::AnswerCryptogram(int address) {
    TSecureSession& s = M.Devices()[address].Session;
    TKeyOptions options;
    options.UseScbkD = HandshakeKeyType[address] == 0;
    options.DiversifyMasterkey = false;
    TOsdpRequest r;
    r.Command = 0x77;
    r.Address = static_cast<std::uint8_t>(address);
    std::uint8_t* cursor = r.PayloadStart();
    TSecurityHeader header;
    if (!BuildServerCryptogram(cursor, header, s, options)) return;
    r.SetPayloadEnd(cursor);
    r.ScbLength = header.Length;
    r.ScbType = header.Type;
    r.ScbData[0] = header.Data;
    Submit(r, TOrigin::Routine);
}

void TSim::SubmitKeySet(int address) {
    TKeyRecord k;
    for (std::uint8_t& b : k.Key)
        b = static_cast<std::uint8_t>(Rng());
    k.Address = address;
    Keys.push_back(k);
    M.Devices()[address].Session.Scbk = k.Key;
    TOsdpRequest r;
    r.Command = kKeySet;
    r.Address = static_cast<std::uint8_t>(address);
    r.Payload[0] = 0x01;
    r.Payload[1] = 0x10;
    std::copy(k.Key.begin(), k.Key.end(), r.Payload.begin() + 2);
    r.PayloadLength = 18;
    Submit(r, TOrigin::User);
}

void TSim::RandomEvent() {
    NextEventAt = Now + Between(1, 150) * kMs;
    if (!PortUp) return;
    const int reader = Pick(kReaders);
    const int roll = Pick(100);
    if (Options.Trace)
        std::fprintf(stderr, "%8lld  event %d for %d\n", static_cast<long long>(Now / kMs), roll,
                     reader);
    if (roll < 30) {
        SubmitOut();
    } else if (roll < 38) {
        const std::uint32_t id = static_cast<std::uint32_t>(Cards.size() + 1);
        Cards[id] = TCard{reader, Now, 0};
        Bus->QueueCard(reader, static_cast<std::uint64_t>(id) << 2 | 1, 26);
    } else if (roll < 44) {
        // A new handshake, also over an open session (not over one in progress).
        const std::uint8_t state = M.Devices()[reader].Session.State;
        if (state == ssNone || state >= ssEstablished) SubmitChallenge(reader);
    } else if (roll < 47) {
        if (M.Devices()[reader].Session.IsEstablished()) SubmitKeySet(reader);
    } else if (roll < 51) {
        Input(false, [&] {
            if (M.Polling())
                M.StopPolling();
            else
                M.StartPolling(Now);
        });
    } else if (roll < 54) {
        std::array<bool, kDeviceCount> ticked{};
        for (int a = 0; a < kDeviceCount; ++a)
            ticked[a] = M.Devices()[a].Selected;
        ticked[reader] = !ticked[reader];
        Input(false, [&] { M.SetSelection(ticked); });
    } else if (roll < 56) {
        Input(false, [&] { M.PortClosed(); });
        PortUp = false;
        LastDisconnectAt = Now;
        ReconnectAt = Now + Between(10, 500) * kMs;
    } else if (roll < 61) {
        CutUntil[reader] = Now + Between(100, 3000) * kMs;
    } else if (roll < 63) {
        Bus->Restart(reader);
        RestartedAt[reader] = Now;
        ReaderKey[reader].reset();
    } else if (roll < 66) {
        Bus->AnswerBusy(1 + Pick(3));
    } else if (roll < 68) {
        M.ReopenSessions = !M.ReopenSessions;
    } else if (roll < 69) {
        TOsdpRequest id;
        id.Command = 0x61;
        id.Address = kBroadcastAddress;
        id.PayloadLength = 1;
        Submit(id, TOrigin::User);
    }
}

// What the readers really did.
void TSim::OnRecord(const std::string& line) {
    std::istringstream words(line);
    std::string what, code;
    int address = -1;
    words >> what >> address >> code;
    if (what == "session" && code == "opened") ++Result.Sessions;
    if (what != "ran" || address < 0 || address >= kReaders) return;
    std::vector<int> data;
    std::string byte;
    while (words >> byte)
        data.push_back(std::stoi(byte, nullptr, 16));
    if (code == "68" && data.size() == 4) {
        const auto id = static_cast<std::uint16_t>(data[2] | data[3] << 8);
        auto run = Runs.find(id);
        if (run == Runs.end())
            Runs[id] = {address, Now};
        else if (RestartedAt[address] < run->second.second)
            Fail("reader " + std::to_string(address) + " ran a command twice");
    }
    if (code == "75" && data.size() == 18) {
        TAesKey key;
        for (std::size_t i = 0; i < 16; ++i)
            key[i] = static_cast<std::uint8_t>(data[2 + i]);
        ReaderKey[address] = key;
    }
}

void TSim::Check() {
    if (M.ExchangeOpen() && M.NextWake() == TLineMachine::kNever)
        Fail("a frame awaits its reply with no time-out to end the wait");
    if (PortUp && (M.QueuedCount() > 0 || M.RepeatDue()) && M.NextWake() == TLineMachine::kNever)
        Fail("requests wait with nothing to send them");
}

// Only an input that did something can have copied a key.
void TSim::CheckKeys() {
    for (const TKeyRecord& k : Keys)
        if (k.Ended && M.CopiesOf(k.Key.data(), k.Key.size()) != 0)
            Fail("a key set is still held outside the device records after its command ended");
}

// No more faults: every reader answers, every one is selected and polled.
void TSim::Calm() {
    CutUntil.fill(0);
    ReconnectAt = -1;
    if (!PortUp) {
        PortUp = true;
        Input(false, [&] { M.PortOpened(Now); });
    }
    std::array<bool, kDeviceCount> ticked{};
    for (int a = 0; a < kReaders; ++a)
        ticked[a] = true;
    Input(false, [&] {
        M.SetSelection(ticked);
        if (!M.Polling()) M.StartPolling(Now);
    });
}

void TSim::FinalChecks() {
    for (const auto& [id, card] : Cards)
        if (card.Delivered != 1 && !Exempt(card))
            Fail("card " + std::to_string(id) + " of reader " + std::to_string(card.Reader) +
                 " was never delivered");
    Input(false, [&] { M.PortClosed(); });
    for (const auto& [command, open] : OpenCommands)
        if (open != 0)
            Fail("command " + std::to_string(command.second) + " to " +
                 std::to_string(command.first) + " never ended");
}

TSimResult TSim::Run() {
    Input(false, [&] {
        M.PortOpened(0);
        std::array<bool, kDeviceCount> ticked{};
        for (int a = 0; a < kReaders; ++a)
            ticked[a] = true;
        ticked[kAbsent] = Chance(0.3);
        M.SetSelection(ticked);
        M.StartPolling(0);
    });
    const std::uint64_t steps = static_cast<std::uint64_t>(Options.Steps);
    std::int64_t calmEnd = -1;
    while (Result.Ok) {
        ++Step;
        if (Step > steps * 200 + 100000) {
            Fail("the run did not settle");
            break;
        }
        const bool random = Step <= steps;
        if (!random && calmEnd < 0) {
            Calm();
            calmEnd = Now + 120000 * kMs;
        }
        if (calmEnd >= 0 && (Now >= calmEnd || Settled())) break;
        std::int64_t next = calmEnd >= 0 ? calmEnd : NextEventAt;
        const std::int64_t wake = M.NextWake();
        if (wake != TLineMachine::kNever) next = std::min(next, std::max(wake, Now));
        for (const TDelivery& d : Line)
            next = std::min(next, d.At);
        if (ReconnectAt >= 0) next = std::min(next, ReconnectAt);
        Now = std::max(Now, next);
        if (ReconnectAt >= 0 && Now >= ReconnectAt) {
            ReconnectAt = -1;
            PortUp = true;
            Input(false, [&] {
                M.PortOpened(Now);
                M.StartPolling(Now);
            });
        } else if (!Line.empty() && std::any_of(Line.begin(), Line.end(),
                                                [&](const TDelivery& d) { return d.At <= Now; })) {
            Deliver();
        } else if (wake != TLineMachine::kNever && wake <= Now) {
            Input(true, [&] { M.Tick(Now); });
        } else if (calmEnd < 0 && Now >= NextEventAt) {
            RandomEvent();
        }
    }
    if (Result.Ok) FinalChecks();
    Result.Steps = Step;
    return Result;
}

} // namespace

TSimResult RunLineSimulation(std::uint64_t seed, const TSimOptions& options) {
    try {
        TSim sim(seed, options);
        return sim.Run();
    } catch (const std::exception& e) {
        TSimResult r;
        r.Ok = false;
        r.Failure = "seed " + std::to_string(seed) + ": " + e.what() +
                    "\n  replay: " + ReplayCommand(seed, options);
        return r;
    }
}

std::string ReplayCommand(std::uint64_t seed, const TSimOptions& options) {
    return "QUINTREL_SIM_SEED=" + std::to_string(seed) +
           " QUINTREL_SIM_STEPS=" + std::to_string(options.Steps) +
           " QUINTREL_SIM_TRACE=1 build/tests/core/core_tests --gtest_filter='LineSimulation.*'";
}

} // namespace quintrel::test
