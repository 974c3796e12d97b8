#include "capture/session_follower.h"

#include "crypto/aes.h"
#include "decode/describe.h"
#include "crypto/secure_message.h"
#include "osdp/bytes.h"
#include "osdp/frame_codec.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace quintrel {

namespace {

constexpr std::uint8_t kSom = 0x53;
constexpr std::uint8_t kKeySet = 0x75, kChallenge = 0x76, kServerCryptogram = 0x77,
                       kClientCryptogram = 0x76, kInitialMac = 0x78;
constexpr std::size_t kMacSize = 4;

std::string Channel(std::uint8_t address) {
    return "Secure channel with " + std::to_string(address);
}

void Note(TFollowed& out, const std::string& text) {
    out.Notes.push_back(Channel(out.Address) + text);
}

// Padding is 0x80 and then zeros up to the end of the last block; anything else means the
// data did not decrypt to what a sender writes. Returns the plain length, or nothing.
std::optional<std::size_t> PlainLength(const std::vector<std::uint8_t>& data) {
    std::size_t end = data.size();
    while (end > 0 && data.size() - end < 16 && data[end - 1] == 0x00)
        --end;
    if (end == 0 || data.size() - end >= 16 || data[end - 1] != 0x80) return std::nullopt;
    return end - 1;
}

} // namespace

TSessionFollower::TSessionFollower(TFollowerKeys keys) : Keys(std::move(keys)) {}

TSessionFollower::~TSessionFollower() {
    WipeKeys(Keys);
    for (TDevice& device : Devices) {
        Drop(device, TStage::Idle);
        for (std::optional<TKnownKey>* learned : {&device.KeySetKey, &device.SessionKey})
            if (*learned) WipeKey((*learned)->Key);
    }
}

// The keys a person gave change; every session being read, and every key learned from the
// line, stays.
void TSessionFollower::SetKeys(const TFollowerKeys& keys) {
    WipeKeys(Keys);
    Keys = keys;
}

void TSessionFollower::WipeKeys(TFollowerKeys& keys) {
    if (keys.Scbk) WipeKey(*keys.Scbk);
    if (keys.Master) WipeKey(*keys.Master);
    keys.Scbk.reset();
    keys.Master.reset();
}


void TSessionFollower::Drop(TDevice& device, TStage stage) {
    EndSession(device.Session);
    device.Session.Cuid = TRnd{};
    device.Stage = stage;
    device.Key = TKnownKey{}; // the key's bytes overwritten with zeros
    device.HasCommand = device.HasReplyMac = device.ReplySeen = device.DeviceEnded = false;
    device.RestartSaid = device.PlainSaid = false;
    device.CommandMac = device.CommandChain = device.ReplyMac = TAesBlock{};
}

std::vector<TSessionFollower::TKnownKey> TSessionFollower::Candidates(const TDevice& device) const {
    // The likeliest first: a key just set, then the one the device last used.
    std::vector<TKnownKey> keys;
    if (device.KeySetKey) keys.push_back(*device.KeySetKey);
    if (device.SessionKey) keys.push_back(*device.SessionKey);
    if (Keys.Scbk) keys.push_back({*Keys.Scbk, "typed SCBK"});
    if (Keys.Master)
        keys.push_back({DiversifyKey(*Keys.Master, device.Session.Cuid), "master key"});
    if (Keys.UseDefaultKey) keys.push_back({ScbkD, "default key"});
    return keys;
}

void TSessionFollower::TakeKeySet(TDevice& device, const std::uint8_t* data, std::size_t length) {
    // Key type 0x01 (SCBK) and a 16-byte key; nothing else is a key for the secure channel.
    if (length != 18 || data[0] != 0x01 || data[1] != 0x10) return;
    TKnownKey key;
    std::copy_n(data + 2, 16, key.Key.begin());
    key.Name = "key from osdp_KEYSET";
    device.KeySetKey = key;
}

TFollowed TSessionFollower::Follow(const std::uint8_t* frame, std::size_t count) {
    TFollowed out;
    if (!frame || count < 7 || frame[0] != kSom ||
        static_cast<std::size_t>(frame[2] | (frame[3] << 8)) != count)
        return out;
    const TDecodedFrame f = PeekFrame(frame, count);
    if (!f.Valid) return out;
    out.Address = f.Address;
    out.Reply = (frame[1] & 0x80) != 0;
    out.ScbType = f.HasBlock() ? f.ScbType() : 0;
    out.Code = f.Code;
    out.Protected = f.HasBlock() && CarriesMac(f.ScbType());

    if (f.Address == kBroadcastAddress) {
        // A broadcast restarts every device's count and secure channel.
        if (out.Reply) return out;
        for (std::size_t a = 0; a < Devices.size(); ++a) {
            if (Devices[a].Stage == TStage::Open && !Devices[a].DeviceEnded)
                out.Notes.push_back(Channel(static_cast<std::uint8_t>(a)) + " ended (broadcast)");
            if (Devices[a].Stage != TStage::Idle) Drop(Devices[a], TStage::Idle);
        }
        return out;
    }
    TDevice& device = Devices[f.Address];
    const std::uint8_t* data = frame + f.DataStart;
    // After a refused cryptogram, plain traffic shows the refusal held.
    if (device.Stage == TStage::Refused && !out.Protected) {
        Note(out, " not opened (refused by the device)");
        Drop(device, TStage::Idle);
    }
    if (out.Protected)
        FollowProtected(device, frame, f, out);
    else if (!out.Reply)
        FollowHandshakeCommand(device, data, f, out);
    else
        FollowPlainReply(device, data, f, out);
    out.SessionOpen = device.Stage == TStage::Open && !device.DeviceEnded;
    return out;
}

void TSessionFollower::FollowHandshakeCommand(TDevice& device, const std::uint8_t* data,
                                              const TDecodedFrame& f, TFollowed& out) {
    const std::uint8_t type = f.HasBlock() ? f.ScbType() : 0;
    if (f.Code == kKeySet) {
        TakeKeySet(device, data, f.DataLength);
    } else if (f.Code == kChallenge && type == 0x11 && f.DataLength == 8) {
        if (device.Stage == TStage::Open && !device.DeviceEnded)
            Note(out, " ended (new challenge)");
        Drop(device, TStage::Challenged);
        std::copy_n(data, 8, device.Session.RndA.begin());
    } else if (device.Stage == TStage::Open && !device.DeviceEnded && !device.PlainSaid &&
               f.Code != kServerCryptogram) {
        // Plain commands inside a session: a standard reader would end it.
        Note(out, ": the panel sent " + CommandName(f.Code) + " plain inside the session");
        device.PlainSaid = true;
    } else if (f.Code == kServerCryptogram && type == 0x13 && f.DataLength == 16 &&
               device.Stage == TStage::KeyFound) {
        std::copy_n(data, 16, device.Session.ServerCryptogram.begin());
        const TAesBlock expected = ComputeServerCryptogram(device.Session);
        if (EqualInConstantTime(expected.data(), data, expected.size())) {
            device.Stage = TStage::ServerCryptogram;
        } else {
            // The panel holds another key: the device will not open the session.
            Note(out, " not opened (server cryptogram differs)");
            Drop(device, TStage::Unreadable);
        }
    }
}

void TSessionFollower::FollowPlainReply(TDevice& device, const std::uint8_t* data,
                                        const TDecodedFrame& f, TFollowed& out) {
    const std::uint8_t type = f.HasBlock() ? f.ScbType() : 0;
    if (f.Code == kClientCryptogram && type == 0x12 && f.DataLength == 32 &&
        device.Stage == TStage::Challenged) {
        TSecureSession& s = device.Session;
        std::copy_n(data, 8, s.Cuid.begin());
        std::copy_n(data + 8, 8, s.RndB.begin());
        std::copy_n(data + 16, 16, s.ClientCryptogram.begin());
        std::vector<TKnownKey> keys = Candidates(device);
        const auto found = std::find_if(keys.begin(), keys.end(), [&](const TKnownKey& key) {
            DeriveSessionKeys(s, key.Key);
            return ClientCryptogramMatches(s);
        });
        if (found != keys.end()) {
            device.Key = *found;
            device.Stage = TStage::KeyFound;
        }
        for (TKnownKey& key : keys) // the copies go; the one found lives in the device
            WipeKey(key.Key);
        if (device.Stage == TStage::KeyFound) return;
        Note(out, ": key unknown, frames not read");
        Drop(device, TStage::Unreadable);
        return;
    }
    if (f.Code == kInitialMac && type == 0x14 && f.DataLength == 16 &&
        device.Stage == TStage::ServerCryptogram) {
        // The block's data byte says whether the device took the panel's cryptogram. Some
        // ends use the session all the same: what the next protected frame does decides.
        const bool refused = f.ScbLength() < 3 || f.Scb[2] != 0x01;
        // Both ends chain from what the device sent, right or not.
        const TAesBlock expected = ComputeInitialRmac(device.Session);
        if (!refused && !EqualInConstantTime(expected.data(), data, expected.size()))
            Note(out, ": the device's initial MAC differs");
        std::copy_n(data, 16, device.ReplyMac.begin());
        device.HasReplyMac = true;
        device.HasCommand = device.ReplySeen = device.DeviceEnded = false;
        device.Stage = refused ? TStage::Refused : TStage::Open;
        if (refused) return;
        device.SessionKey = device.Key;
        Note(out, std::string(" opened (") + device.Key.Name + ")");
        return;
    }
    if (device.Stage == TStage::Open) {
        if (!device.DeviceEnded) Note(out, " ended (plain reply)");
        device.DeviceEnded = true;
        device.ReplySeen = true;
    }
}

void TSessionFollower::FollowProtected(TDevice& device, const std::uint8_t* frame,
                                       const TDecodedFrame& f, TFollowed& out) {
    if (device.Stage == TStage::Unreadable) return;
    const bool refused = device.Stage == TStage::Refused;
    if (refused) device.Stage = TStage::Open;
    if (device.Stage != TStage::Open) {
        Note(out, device.Stage == TStage::Idle ? ": handshake not seen, frames not read"
                                               : ": handshake not complete, frames not read");
        Drop(device, TStage::Unreadable);
        return;
    }
    // The MAC is the last 4 bytes before the check bytes; a frame without room for it is
    // no protected frame that either end could have made.
    std::optional<TAesBlock> chain;
    TAesBlock mac{};
    bool pastReply = false;
    if (f.DataLength >= kMacSize) {
        const std::size_t macAt = f.DataStart + f.DataLength - kMacSize;
        // Every value either end can be chaining from, the usual one first.
        std::array<std::optional<TAesBlock>, 3> tries;
        if (out.Reply) {
            if (device.HasCommand) tries[0] = device.CommandMac;
        } else {
            if (device.HasReplyMac) tries[0] = device.ReplyMac;
            if (device.HasCommand) {
                tries[1] = device.CommandMac;   // the panel did not take the reply
                tries[2] = device.CommandChain; // the same command sent again
            }
        }
        for (std::size_t i = 0; i < tries.size() && !chain; ++i) {
            if (!tries[i]) continue;
            device.Session.LastMac = *tries[i];
            mac = ComputeMac(frame, macAt, device.Session);
            if (EqualInConstantTime(mac.data(), frame + macAt, kMacSize)) {
                chain = tries[i];
                pastReply = i == 1 && device.ReplySeen;
            }
        }
    }
    if (!chain) {
        Note(out, refused ? " not opened (refused by the device)" : ": MAC differs, frames not read");
        Drop(device, TStage::Unreadable);
        return;
    }
    if (refused) {
        Note(out, ": the reader refused the cryptogram (0xFF); the session was used anyway");
        device.SessionKey = device.Key;
    }
    if (out.Reply) {
        device.ReplyMac = mac;
        device.HasReplyMac = true;
        device.ReplySeen = true;
        device.DeviceEnded = false; // it protects its answers again
    } else {
        // A command at sequence 0 is the panel starting its count afresh (its reader's
        // session ends with it): said once, and no lost reply is made of it.
        const bool restart = (f.Ctrl & 0x03) == 0;
        if (restart && !device.RestartSaid) {
            Note(out, ": the panel restarted its count (sequence 0) inside the session");
            device.RestartSaid = true;
        }
        if (pastReply && !restart && !device.DeviceEnded)
            Note(out, ": the panel went on without the last reply");
        device.CommandChain = *chain;
        device.CommandMac = mac;
        device.HasCommand = true;
        device.HasReplyMac = device.ReplySeen = false;
    }

    const std::uint8_t* data = frame + f.DataStart;
    const std::size_t length = f.DataLength - kMacSize;
    if (!CarriesEncryptedData(f.ScbType())) {
        out.Data.assign(data, data + length);
    } else {
        if (length == 0 || length % 16 != 0) {
            Note(out, ": encrypted data of " + std::to_string(length) +
                          " bytes is no whole number of blocks");
            return;
        }
        std::vector<std::uint8_t> plain(data, data + length);
        TAesBlock iv = *chain;
        InvertBytes(iv.data(), static_cast<int>(iv.size()));
        AesCbcDecrypt(device.Session.SEnc.data(), plain.data(), plain.size(), iv);
        const std::optional<std::size_t> plainLength = PlainLength(plain);
        if (!plainLength) {
            Note(out, ": decrypted data without its padding");
            return;
        }
        plain.resize(*plainLength);
        out.Data = std::move(plain);
    }
    out.Read = true;
    if (!out.Reply && out.Code == kKeySet) TakeKeySet(device, out.Data.data(), out.Data.size());
}

} // namespace quintrel
