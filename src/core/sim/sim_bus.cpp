#include "sim/sim_bus.h"

#include "crypto/secure_session.h"
#include "osdp/bytes.h"
#include "osdp/frame_codec.h"

#include "log/hex.h"
#include "maintenance/bootloader.h"
#include "maintenance/file_transfer.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <utility>

namespace quintrel::sim {

namespace {

constexpr std::uint8_t kBusy = 0x79;
constexpr std::uint8_t kLedCount = 1;
constexpr std::uint8_t kAck = 0x40, kNak = 0x41, kPdid = 0x45, kPdcap = 0x46, kLstatr = 0x48,
                       kIstatr = 0x49, kOstatr = 0x4A, kRaw = 0x50, kKeypad = 0x53, kCom = 0x54,
                       kCcrypt = 0x76, kRmacI = 0x78;

std::vector<std::uint8_t> Payload(std::initializer_list<std::uint8_t> bytes) {
    return bytes;
}

// The data length each command's layout allows: exactly, or a whole number of records.
bool LayoutFits(std::uint8_t code, std::size_t length) {
    switch (code) {
    case 0x60:
    case 0x64:
    case 0x65:
    case 0x66:
    case 0x67: // POLL and the status queries
        return length == 0;
    case 0x61:
    case 0x62: // ID, CAP: one reply-type byte
        return length == 1;
    case 0x68: // OUT: 4 bytes an output
        return length > 0 && length % 4 == 0;
    case 0x69: // LED: 14 bytes an LED
        return length > 0 && length % 14 == 0;
    case 0x6A: // BUZ
    case 0x6E: // COMSET: address and speed
        return length == 5;
    case 0x75: // KEYSET: type, length 16, the key
        return length == 18;
    case 0x76: // CHLNG: RND.A
        return length == 8;
    case 0x77: // SCRYPT: the server cryptogram
        return length == 16;
    case kMfgCommand: // the maker's code and at least a command byte
        return length >= 4;
    case kFileTransferCommand: // type, size, offset, fragment length, fragment
        return length >= 11;
    default:
        return true; // an unknown command is refused as such (NAK 03)
    }
}

template <typename T> bool TakeOne(std::vector<T>& list, T value) {
    for (auto it = list.begin(); it != list.end(); ++it)
        if (*it == value) {
            list.erase(it);
            return true;
        }
    return false;
}

} // namespace

TSimBus::TSimBus(std::vector<TReaderConfig> readers, unsigned seed, TBusRules rules)
    : Random(seed), Rules(rules) {
    for (TReaderConfig& c : readers) {
        TReader r;
        r.Config = c;
        ReaderList.push_back(r);
    }
}

TReader* TSimBus::Find(int address) {
    for (TReader& r : ReaderList)
        if (r.Config.Address == address) return &r;
    return nullptr;
}

bool TSimBus::SetSilent(int address, bool silent) {
    TReader* r = address < 0 ? First() : Find(address);
    if (!r) return false;
    r->Config.Silent = silent;
    return true;
}

TRnd TSimBus::CuidOf(const TReader& reader) const {
    const std::uint32_t serial = reader.Config.Serial;
    return TRnd{0x7C,
                0x4E,
                0x15,
                0x09,
                static_cast<std::uint8_t>(serial >> 24),
                static_cast<std::uint8_t>(serial >> 16),
                static_cast<std::uint8_t>(serial >> 8),
                static_cast<std::uint8_t>(serial)};
}

TAesKey TSimBus::ReaderKey(const TReader& reader, const TRnd& cuid) const {
    if (reader.Config.Scbk) return *reader.Config.Scbk;
    if (reader.Config.MasterKey) return DiversifyKey(*reader.Config.MasterKey, cuid);
    return ScbkD; // a reader in install mode knows only the default key
}

bool TSimBus::QueueCard(int address, std::uint64_t bits, int bitCount) {
    TReader* r = address < 0 ? First() : Find(address);
    if (!r || bitCount <= 0 || bitCount > 64) return false;
    // Card data is sent most significant bit first, the last byte padded with zeros.
    const int bytes = (bitCount + 7) / 8;
    const std::uint64_t aligned = bits << (bytes * 8 - bitCount);
    std::vector<std::uint8_t> p = {0x00, 0x01, static_cast<std::uint8_t>(bitCount & 0xFF),
                                   static_cast<std::uint8_t>(bitCount >> 8)};
    for (int i = bytes - 1; i >= 0; --i)
        p.push_back(static_cast<std::uint8_t>(aligned >> (8 * i)));
    r->Events.push_back(p);
    r->EventCodes.push_back(kRaw);
    return true;
}

bool TSimBus::Restart(int address) {
    TReader* r = address < 0 ? First() : Find(address);
    if (!r) return false;
    r->LastSequence = -1;
    r->LastReply.clear();
    r->LastWasBusy = false;
    r->Events.clear();
    r->EventCodes.clear();
    EndReaderSession(r->Config.Address, "restart");
    Records[r->Config.Address].Sequence = 0;
    return true;
}

bool TSimBus::QueueKeys(int address, const std::string& keys) {
    TReader* r = address < 0 ? First() : Find(address);
    if (!r || keys.empty() || keys.size() > 255) return false;
    std::vector<std::uint8_t> p = {0x00, static_cast<std::uint8_t>(keys.size())};
    for (char c : keys)
        p.push_back(static_cast<std::uint8_t>(c));
    r->Events.push_back(p);
    r->EventCodes.push_back(kKeypad);
    return true;
}

std::vector<TBusReply> TSimBus::HandleFrame(std::uint8_t* frame, std::size_t count) {
    // Frames with the reply bit come from other devices on the line.
    if (count < 7 || (frame[1] & 0x80)) return {};
    const std::uint8_t address = frame[1] & 0x7F;
    const bool broadcast = address == kBroadcastAddress;
    if (!broadcast) {
        TReader* reader = Find(address);
        if (!reader || reader->Config.Silent) return {};
    }
    ++Handled;
    ++CommandCount;
    if (TakeOne(DropCommands, CommandCount)) return {}; // lost on the way in
    if (!CheckBytesHold(frame, count)) return {};               // damaged: no reply at all
    // More than the receive buffer announced in osdp_PDCAP: a reader cannot take it in.
    if (!Rules.Lenient && count > kSimReceiveSize) {
        if (Record) Record("overlong " + std::to_string(address) + " " + std::to_string(count));
        return {};
    }

    std::vector<TBusReply> replies;
    for (TReader& r : ReaderList) {
        if (r.Config.Silent || (broadcast && r.Config.IgnoresBroadcast) ||
            (!broadcast && &r != Find(address)))
            continue;
        // Standard readers answer a broadcast from the broadcast address.
        const std::uint8_t from = broadcast && !Rules.BroadcastOwnAddress
                                      ? kBroadcastAddress
                                      : static_cast<std::uint8_t>(r.Config.Address);
        const int delay = r.Config.AnswerDelayMs;
        std::vector<std::uint8_t> reply = Exchange(r, from, frame, count);
        if (!reply.empty()) replies.push_back({std::move(reply), delay + std::exchange(LateMs, 0)});
        if (!broadcast) break;
    }
    return Collide(std::move(replies));
}

// Replies of several readers that overlap on the line reach it as one damaged frame.
std::vector<TBusReply> TSimBus::Collide(std::vector<TBusReply> replies) const {
    std::stable_sort(replies.begin(), replies.end(),
                     [](const TBusReply& a, const TBusReply& b) { return a.DelayMs < b.DelayMs; });
    std::vector<TBusReply> out;
    int busyUntil = 0;
    for (TBusReply& r : replies) {
        const int onLine = static_cast<int>((r.Bytes.size() * 10 * 1000 + LineBaud - 1) / LineBaud);
        if (!out.empty() && r.DelayMs < busyUntil) {
            if (out.back().Bytes.size() > 1) out.back().Bytes.back() ^= 0x5A;
            busyUntil = std::max(busyUntil, r.DelayMs + onLine);
            continue;
        }
        busyUntil = r.DelayMs + onLine;
        out.push_back(std::move(r));
    }
    return out;
}

void TSimBus::NoteSession(int address, const std::string& what) {
    if (Record) Record("session " + std::to_string(address) + " " + what);
}

void TSimBus::EndReaderSession(int address, const char* reason) {
    if (address < 0 || address >= kDeviceCount) return;
    TSecureSession& s = Records[address].Session;
    const bool open = s.IsEstablished();
    EndSession(s);
    if (open) NoteSession(address, std::string("ended (") + reason + ")");
}

// One reader's part in an exchange: sequence checks, the kept reply for a repeat, and the
// command run at most once.
std::vector<std::uint8_t> TSimBus::Exchange(TReader& reader, std::uint8_t replyAddress,
                                            std::uint8_t* frame, std::size_t count) {
    const int own = reader.Config.Address;
    const bool useCrc = frame[4] & 0x04;
    const std::uint8_t sequence = frame[4] & 0x03;
    const TDecodedFrame peek = PeekFrame(frame, count);
    const std::uint8_t code = peek.Code;
    const auto nak = [&](std::uint8_t reason) {
        return Frame(replyAddress, useCrc, sequence, kNak, Payload({reason}), 0, 0, true);
    };

    TSecureSession& session = Records[own].Session;
    if (!Rules.Lenient) {
        if (sequence == 0) {
            EndReaderSession(own, "sequence 0"); // the control panel started over
            reader.LastSequence = -1;
            reader.LastReply.clear();
        } else if (reader.LastSequence >= 0) {
            const bool again = sequence == reader.LastSequence;
            // The same number again asks for the same answer: it is sent byte for byte
            // and nothing runs twice. A command answered busy is run when it comes again.
            if (again && !reader.LastWasBusy && !reader.LastReply.empty())
                return OnTheWire(reader.LastReply, code);
            if (!again && sequence != reader.LastSequence % 3 + 1)
                return OnTheWire(nak(0x04), code);
        }
    }
    std::vector<std::uint8_t> reply;
    if (BusyLeft > 0) {
        --BusyLeft;
        reader.LastSequence = sequence;
        reader.LastReply.clear();
        reader.LastWasBusy = true;
        return OnTheWire(Frame(replyAddress, useCrc, sequence, kBusy, {}, 0, 0, true), code);
    }
    const bool protectedFrame = peek.HasBlock() && peek.ScbType() >= 0x15 && peek.ScbType() <= 0x18;
    if (NakPlain) {
        NakPlain = false;
        EndReaderSession(own, "plain NAK");
        reply = nak(0x06);
    } else if (!Rules.Lenient && session.IsEstablished() && !protectedFrame && code != 0x76) {
        // Inside a session every command but a new challenge carries a MAC.
        EndReaderSession(own, "plain command");
        reply = nak(0x06);
    } else {
        reply = Run(reader, replyAddress, frame, count, code);
    }
    if (reply.empty()) return {};
    reader.LastSequence = sequence;
    reader.LastReply = reply;
    reader.LastWasBusy = false;
    return OnTheWire(std::move(reply), code);
}

std::vector<std::uint8_t> TSimBus::Run(TReader& reader, std::uint8_t address, std::uint8_t* frame,
                                       std::size_t count, std::uint8_t code) {
    const bool useCrc = frame[4] & 0x04;
    const std::uint8_t sequence = frame[4] & 0x03;
    const bool wasOpen = Records[reader.Config.Address].Session.IsEstablished();
    const TDecodedFrame f = DecodeFrame(frame, count, Records);
    // Intact but not acceptable (a MAC that does not match, protection without a
    // session): a plain refusal, and any session is over.
    if (!f.Valid) {
        if (wasOpen) {
            EndSession(Records[reader.Config.Address].Session);
            NoteSession(reader.Config.Address, std::string("ended (") + f.Error + ")");
        }
        return Frame(address, useCrc, sequence, kNak, Payload({0x06}), 0, 0, true);
    }
    // A command shorter or longer than its layout is refused before it runs.
    if (!Rules.Lenient && !LayoutFits(f.Code, f.DataLength))
        return Frame(address, useCrc, sequence, kNak, Payload({0x02}));
    std::vector<std::uint8_t> reply =
        Answer(reader, address, useCrc, sequence, f.Code, frame + f.DataStart, f.DataLength,
               f.HasBlock() && f.ScbLength() >= 3 ? f.Scb[2] : 0);
    // A refused command did not run.
    const bool refused =
        reply.size() > 1 && PeekFrame(reply.data() + 1, reply.size() - 1).Code == kNak;
    if (code != 0x60 && !refused)
        Note("ran", reader.Config.Address, code, frame + f.DataStart, f.DataLength);
    return reply;
}

// The reply as the line delivers it: the reader keeps the undamaged copy for a repeat,
// and only what travels is damaged.
std::vector<std::uint8_t> TSimBus::OnTheWire(std::vector<std::uint8_t> reply, std::uint8_t code) {
    if (reply.empty()) return reply;
    ++ReplyCount;
    if (TakeOne(DropReplies, ReplyCount)) return {}; // lost whole on the way out
    const bool everyN = BadCrcEvery > 0 && ReplyCount % static_cast<std::size_t>(BadCrcEvery) == 0;
    const bool numbered = TakeOne(CorruptReplies, ReplyCount);
    const bool toCode = TakeOne(CorruptCodes, code);
    if (everyN || numbered || toCode) reply.back() ^= 0xFF;
    return reply;
}

void TSimBus::Note(const char* what, int address, std::uint8_t code, const std::uint8_t* data,
                   std::size_t length) {
    if (!Record) return;
    char head[32];
    std::snprintf(head, sizeof head, "%s %d %.2X", what, address, code);
    std::string line = head;
    if (length) line += " " + BytesToHex(data, length, true);
    Record(line);
}

std::vector<std::uint8_t> TSimBus::Answer(TReader& reader, std::uint8_t address, bool useCrc,
                                          std::uint8_t sequence, std::uint8_t code,
                                          const std::uint8_t* data, std::size_t length,
                                          std::uint8_t keyType) {
    const TRnd cuid = CuidOf(reader);
    const std::uint32_t serial = reader.Config.Serial;
    TSecureSession* session = address < kDeviceCount ? &Records[address].Session : nullptr;
    switch (code) {
    case 0x60: // POLL: a waiting card read or key press, else nothing to report
        if (!reader.Events.empty()) {
            const std::vector<std::uint8_t> event = reader.Events.front();
            const std::uint8_t eventCode = reader.EventCodes.front();
            reader.Events.erase(reader.Events.begin());
            reader.EventCodes.erase(reader.EventCodes.begin());
            Note("delivered", address, eventCode, event.data(), event.size());
            ++Delivered;
            return Frame(address, useCrc, sequence, eventCode, event);
        }
        return Frame(address, useCrc, sequence, kAck, {});
    case 0x61: // ID
        return Frame(address, useCrc, sequence, kPdid,
                     Payload({0x7C, 0x4E, 0x15, 0x09, 0x01, static_cast<std::uint8_t>(serial),
                              static_cast<std::uint8_t>(serial >> 8),
                              static_cast<std::uint8_t>(serial >> 16),
                              static_cast<std::uint8_t>(serial >> 24), 0x01, 0x02, 0x03}));
    case 0x62: // CAP: function, compliance, number of items (kLedCount LEDs in function 4)
        // clang-format off
        return Frame(address, useCrc, sequence, kPdcap,
                     Payload({1, 1, 4,  2, 1, 4,  3, 1, 1,  4, 1, 1,  5, 1, 1,  6, 0, 0,
                              8, 1, 0,  9, 1, 1,  10, 0x00, 0x04,  11, 0x00, 0x04}));
        // clang-format on
    case 0x64:
        return Frame(address, useCrc, sequence, kLstatr, Payload({0x00, 0x00}));
    case 0x65:
        return Frame(address, useCrc, sequence, kIstatr, Payload({0x00, 0x01, 0x00, 0x00}));
    case 0x66:
        return Frame(address, useCrc, sequence, kOstatr,
                     std::vector<std::uint8_t>(reader.Outputs.begin(), reader.Outputs.end()));
    case 0x68: // OUT: remember the outputs for the status report
        if (!Rules.Lenient) {
            if (length == 0 || length % 4 != 0)
                return Frame(address, useCrc, sequence, kNak, Payload({0x02}));
            for (std::size_t i = 0; i < length; i += 4)
                if (data[i] >= reader.Outputs.size())
                    return Frame(address, useCrc, sequence, kNak, Payload({0x09}));
        }
        for (std::size_t i = 0; i + 4 <= length; i += 4) {
            const std::uint8_t out = data[i], control = data[i + 1];
            if (out < reader.Outputs.size())
                reader.Outputs[out] = (control == 2 || control == 4 || control == 5) ? 1 : 0;
        }
        return Frame(address, useCrc, sequence, kAck, {});
    case 0x69: // LED: one reader with the LEDs its capabilities report
        if (!Rules.Lenient) {
            if (length == 0 || length % 14 != 0)
                return Frame(address, useCrc, sequence, kNak, Payload({0x02}));
            for (std::size_t i = 0; i < length; i += 14)
                if (data[i] != 0 || data[i + 1] >= kLedCount)
                    return Frame(address, useCrc, sequence, kNak, Payload({0x09}));
        }
        return Frame(address, useCrc, sequence, kAck, {});
    case 0x6A: // BUZ
        if (!Rules.Lenient) {
            if (length != 5) return Frame(address, useCrc, sequence, kNak, Payload({0x02}));
            if (data[0] != 0) return Frame(address, useCrc, sequence, kNak, Payload({0x09}));
        }
        return Frame(address, useCrc, sequence, kAck, {});
    case 0x6E: { // COMSET: answer at the old address and speed, then move
        if (length < 5) return Frame(address, useCrc, sequence, kNak, Payload({0x02}));
        const int own = reader.Config.Address;
        const std::uint8_t newAddress = data[0];
        const std::uint32_t baud = static_cast<std::uint32_t>(data[1]) | (data[2] << 8) |
                                   (data[3] << 16) | (static_cast<std::uint32_t>(data[4]) << 24);
        // Only speeds a serial port has and a reader's own addresses are taken; otherwise
        // the reader keeps what it has and says so.
        constexpr std::uint32_t kSpeeds[] = {9600, 19200, 38400, 57600, 115200, 230400};
        const bool speedOk = Rules.Lenient || std::find(std::begin(kSpeeds), std::end(kSpeeds),
                                                        baud) != std::end(kSpeeds);
        if (!speedOk || newAddress >= kDeviceCount) {
            const auto b = static_cast<std::uint32_t>(LineBaud);
            return Frame(
                address, useCrc, sequence, kCom,
                Payload({static_cast<std::uint8_t>(own), static_cast<std::uint8_t>(b),
                         static_cast<std::uint8_t>(b >> 8), static_cast<std::uint8_t>(b >> 16),
                         static_cast<std::uint8_t>(b >> 24)}));
        }
        std::vector<std::uint8_t> reply =
            Frame(address, useCrc, sequence, kCom, std::vector<std::uint8_t>(data, data + 5));
        if (own < kDeviceCount && newAddress != own) {
            Records[newAddress] = Records[own];
            Records[own] = TDeviceState{};
            reader.Config.Address = newAddress;
        }
        PendingBaud = static_cast<int>(baud);
        return reply;
    }
    case 0x75: { // KEYSET: the reader takes the new key for the rest of the run
        // A key in the clear is refused: anyone on the line could read it.
        if (!Rules.Lenient && !Rules.AllowPlainKeyset && !(session && session->IsEstablished()))
            return Frame(address, useCrc, sequence, kNak, Payload({0x06}));
        if (length < 18 || data[0] != 0x01 || data[1] != 0x10)
            return Frame(address, useCrc, sequence, kNak, Payload({0x02}));
        reader.Config.Scbk.emplace();
        std::memcpy(reader.Config.Scbk->data(), data + 2, 16);
        reader.Config.MasterKey.reset();
        std::vector<std::uint8_t> ack = Frame(address, useCrc, sequence, kAck, {});
        if (Rules.KeysetEndsSession && session) EndReaderSession(address, "new key");
        return ack;
    }
    case 0x76: { // CHLNG
        if (!session || length != 8) return Frame(address, useCrc, sequence, kNak, Payload({0x06}));
        if (session->IsEstablished()) NoteSession(address, "ended (new challenge)");
        *session = TSecureSession{};
        // A reader that has a key of its own takes the default key only in install mode.
        const bool hasKey = reader.Config.Scbk || reader.Config.MasterKey;
        if (keyType == 0 && hasKey && !Rules.InstallMode && !Rules.Lenient) {
            NoteSession(address, "refused (default key)");
            return Frame(address, useCrc, sequence, kNak, Payload({0x06}));
        }
        std::memcpy(session->RndA.data(), data, 8);
        for (auto& b : session->RndB)
            b = static_cast<std::uint8_t>(Random() & 0xFF);
        session->Cuid = cuid;
        DeriveSessionKeys(*session, keyType == 0 ? ScbkD : ReaderKey(reader, cuid));
        session->ClientCryptogram = ExpectedClientCryptogram(*session);
        session->State = ssCryptReceived;
        std::vector<std::uint8_t> p(32);
        std::memcpy(p.data(), cuid.data(), 8);
        std::memcpy(p.data() + 8, session->RndB.data(), 8);
        std::memcpy(p.data() + 16, session->ClientCryptogram.data(), 16);
        return Frame(address, useCrc, sequence, kCcrypt, p, 0x12, keyType);
    }
    case 0x77: { // SCRYPT
        if (!session || length != 16 || session->State != ssCryptReceived ||
            std::memcmp(ComputeServerCryptogram(*session).data(), data, 16) != 0) {
            if (session) {
                if (session->State != ssNone)
                    NoteSession(address, "refused (server cryptogram differs)");
                EndSession(*session);
            }
            return Frame(address, useCrc, sequence, kNak, Payload({0x06}));
        }
        if (!Rules.RmacWithoutCryptogram) std::memcpy(session->ServerCryptogram.data(), data, 16);
        const TAesBlock rmac = ComputeInitialRmac(*session);
        const std::vector<std::uint8_t> payload(rmac.begin(), rmac.end());
        if (Rules.RefuseScrypt) {
            // The refusal travels in the block's data byte; no session follows.
            EndSession(*session);
            NoteSession(address, "refused (cryptogram not accepted)");
            return Frame(address, useCrc, sequence, kRmacI, payload, 0x14, 0xFF);
        }
        std::vector<std::uint8_t> reply =
            Frame(address, useCrc, sequence, kRmacI, payload, 0x14, 0x01);
        session->LastMac = rmac;
        session->State = ssEstablished;
        NoteSession(address, "opened");
        return reply;
    }
    case kMfgCommand:
        return AnswerMfg(reader, address, useCrc, sequence, data, length);
    case kFileTransferCommand:
        return AnswerFile(reader, address, useCrc, sequence, data, length);
    default:
        return Frame(address, useCrc, sequence, kNak, Payload({0x03}));
    }
}

// The maker's maintenance commands, from the reader's own state.
std::vector<std::uint8_t> TSimBus::AnswerMfg(TReader& reader, std::uint8_t address, bool useCrc,
                                             std::uint8_t sequence, const std::uint8_t* data,
                                             std::size_t length) {
    if (length < 4 || data[0] != 0x7C || data[1] != 0x4E || data[2] != 0x15)
        return Frame(address, useCrc, sequence, kNak, Payload({0x03})); // another maker's
    TMakerState& m = reader.Maker;
    const std::uint8_t sub = data[3];
    const std::uint8_t* rest = data + 4;
    const std::size_t n = length - 4;
    std::vector<std::uint8_t> reply = {0x7C, 0x4E, 0x15, sub};
    switch (sub) {
    case mfcLastCustCode:
        reply.insert(reply.end(), {m.Last.CodeType, static_cast<std::uint8_t>(m.Last.Value >> 8),
                                   static_cast<std::uint8_t>(m.Last.Value)});
        break;
    case mfcCustCodes:
        if (n > 0) {
            if (n - 1 != 3 * static_cast<std::size_t>(rest[0]))
                return Frame(address, useCrc, sequence, kNak, Payload({0x02}));
            m.Codes.Clear();
            for (std::size_t i = 0; i < rest[0]; ++i)
                m.Codes.Add(rest[1 + 3 * i],
                            static_cast<std::uint16_t>(rest[2 + 3 * i] << 8 | rest[3 + 3 * i]));
        }
        reply.push_back(m.Codes.Count);
        for (int i = 0; i < m.Codes.Count; ++i) {
            const TCustCode& c = m.Codes.Items[static_cast<std::size_t>(i)];
            reply.insert(reply.end(), {c.CodeType, static_cast<std::uint8_t>(c.Value >> 8),
                                       static_cast<std::uint8_t>(c.Value)});
        }
        break;
    case mfcCustCodeMode:
        if (n > 0) m.Mode = rest[0];
        reply.push_back(static_cast<std::uint8_t>(m.Mode));
        break;
    case mfcVarFlags: {
        const auto kept = static_cast<std::size_t>(std::clamp(reader.Config.OptionBytes, 1, 3));
        for (std::size_t i = 0; i < n && i < kept; ++i)
            m.Options[i] = rest[i];
        reply.insert(reply.end(), m.Options.begin(),
                     m.Options.begin() + static_cast<std::ptrdiff_t>(kept));
        break;
    }
    case mfcResetAll:
        m = TMakerState{};
        break;
    case mfcEnterBoot:
        // The application hands the line to its bootloader once this reply is out.
        if (n != std::strlen(kRdx900Password) || std::memcmp(rest, kRdx900Password, n) != 0)
            return Frame(address, useCrc, sequence, kNak, Payload({0x09}));
        Boot.Enter(address);
        if (Record) Record("bootloader " + std::to_string(address));
        break;
    default:
        return Frame(address, useCrc, sequence, kNak, Payload({0x03}));
    }
    return Frame(address, useCrc, sequence, kMfgReply, reply);
}

// osdp_FILETRANSFER: fragments must follow each other without gap or overlap and agree on
// the total size; the last one completes the file.
std::vector<std::uint8_t> TSimBus::AnswerFile(TReader& reader, std::uint8_t address, bool useCrc,
                                              std::uint8_t sequence, const std::uint8_t* data,
                                              std::size_t length) {
    if (std::exchange(FileSilent, false)) return {};
    const auto u32 = [data](int i) {
        return static_cast<std::uint32_t>(data[i] | data[i + 1] << 8 | data[i + 2] << 16 |
                                          static_cast<std::uint32_t>(data[i + 3]) << 24);
    };
    if (length < 11 || static_cast<std::size_t>(data[9] | data[10] << 8) != length - 11)
        return Frame(address, useCrc, sequence, kNak, Payload({0x02}));
    const std::uint32_t size = u32(1), offset = u32(5);
    const std::size_t fragment = length - 11;
    int status = 0;
    if (offset == 0) {
        reader.File.clear();
        reader.FileSize = size;
    }
    if (size != reader.FileSize || offset != reader.File.size() || offset + fragment > size) {
        status = -1; // out of order: abort
    } else {
        reader.File.insert(reader.File.end(), data + 11, data + length);
        if (reader.File.size() == size) {
            status = 1; // the file is complete
            if (Record)
                Record("received " + std::to_string(address) + " " + std::to_string(size) +
                       (Digest ? " " + Digest(reader.File) : std::string()));
        }
    }
    if (FileStatus) status = *std::exchange(FileStatus, std::nullopt);
    const auto delay = static_cast<std::uint16_t>(FileDelayMs);
    const auto st = static_cast<std::uint16_t>(static_cast<std::int16_t>(status));
    const auto max = static_cast<std::uint16_t>(FileMaxMessage);
    return Frame(
        address, useCrc, sequence, kFtStatReply,
        Payload({0x00, static_cast<std::uint8_t>(delay), static_cast<std::uint8_t>(delay >> 8),
                 static_cast<std::uint8_t>(st), static_cast<std::uint8_t>(st >> 8),
                 static_cast<std::uint8_t>(max), static_cast<std::uint8_t>(max >> 8)}));
}

// The new firmware starts: the records written so far are the reader's image.
void TSimBus::LeaveBootloader() {
    if (!Boot.Active()) return;
    Boot.Leave();
    if (Record) {
        const std::vector<std::uint8_t> image = Boot.ImageBytes();
        Record("image " + std::to_string(Boot.Address()) + " " +
               std::to_string(Boot.Records().size()) + " " + std::to_string(image.size()) +
               (Digest ? " " + Digest(image) : std::string()));
    }
}

bool TSimBus::SetLastCode(int address, TCustCode code) {
    TReader* r = address < 0 ? First() : Find(address);
    if (!r) return false;
    r->Maker.Last = code;
    return true;
}

std::string TSimBus::MakerText(int address) {
    TReader* r = address < 0 ? First() : Find(address);
    if (!r) return {};
    const TMakerState& m = r->Maker;
    std::string text = "codes ";
    char item[16];
    for (int i = 0; i < m.Codes.Count; ++i) {
        const TCustCode& c = m.Codes.Items[static_cast<std::size_t>(i)];
        std::snprintf(item, sizeof item, "%s%.2X:%.4X", i ? "," : "", c.CodeType, c.Value);
        text += item;
    }
    std::snprintf(item, sizeof item, " mode %d", m.Mode);
    text += item;
    text += " options";
    for (int i = 0; i < std::clamp(r->Config.OptionBytes, 1, 3); ++i) {
        std::snprintf(item, sizeof item, " %.2X", m.Options[static_cast<std::size_t>(i)]);
        text += item;
    }
    return text;
}

std::vector<std::uint8_t> TSimBus::Frame(std::uint8_t address, bool useCrc, std::uint8_t sequence,
                                         std::uint8_t code,
                                         const std::vector<std::uint8_t>& payload,
                                         std::uint8_t scbType, std::uint8_t scbData, bool plain) {
    TOsdpRequest reply;
    reply.Command = code;
    reply.Address = address;
    TDeviceState* record = address < kDeviceCount ? &Records[address] : nullptr;
    // An unprotected reply goes out as if there were no session, and leaves the
    // session's MAC chain where it was.
    TDeviceState unprotected;
    const bool odd = OddBlock && record && record->Session.IsEstablished();
    if (odd) {
        scbType = std::exchange(OddBlock, 0);
        scbData = 0;
    }
    if ((plain || odd) && record) {
        unprotected.Sequence = record->Sequence;
        record = &unprotected;
    }
    if (scbType) {
        reply.ScbLength = 3;
        reply.ScbType = scbType;
        reply.ScbData[0] = scbData;
    }
    std::uint8_t* cursor = reply.PayloadStart();
    PutBytes(cursor, static_cast<int>(payload.size()), payload.data());
    reply.SetPayloadEnd(cursor);

    if (record) record->Sequence = sequence;
    std::array<std::uint8_t, kFrameBufferSize> tx{};
    const TEncodeResult r = EncodeFrame(reply, record, useCrc, tx.data(), true);
    if (!r.Ok) return {};
    const std::size_t length = r.Length;

    if (CorruptMac && r.ScbLength && r.ScbType >= 0x15 && r.ScbType <= 0x18) {
        // A reader that gets its own MAC wrong: the frame is otherwise sound.
        CorruptMac = false;
        const std::size_t check = useCrc ? 2 : 1;
        tx[length - check - 1] ^= 0x01;
        std::uint8_t* end = tx.data() + length - check;
        if (useCrc)
            PutWord(end, CalcCrc16(tx.data(), length - 2), false);
        else
            PutByte(end, CalcChecksum(tx.data(), length - 1));
    }
    std::vector<std::uint8_t> out;
    out.reserve(length + 1);
    out.push_back(0xFF);
    out.insert(out.end(), tx.begin(), tx.begin() + static_cast<std::ptrdiff_t>(length));
    return out;
}

} // namespace quintrel::sim
