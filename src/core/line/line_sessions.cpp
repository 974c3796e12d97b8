// Secure sessions on the line: how they end, and how one that the line cut is opened again
// with the key and key type it was opened with.

#include "line/line_machine.h"

#include "crypto/handshake.h"

#include <cstring>
#include <utility>

namespace quintrel {

namespace {

// What the line did to an exchange, as against what the device answered.
bool IsLineFault(const std::string& reason) {
    static const char* const faults[] = {"no reply",         "crc error", "cksum error",
                                         "length error",     "mac error", "block length error",
                                         "data length error"};
    for (const char* fault : faults)
        if (reason == fault) return true;
    return false;
}

} // namespace

bool TLineMachine::LastFrameWasHandshake() const {
    return Pending.ScbLength != 0 && (Pending.ScbType == 0x11 || Pending.ScbType == 0x13);
}

// A handshake ends only through what answers its own frames: a reply to an earlier poll
// that arrives after a challenge was composed says nothing about it.
void TLineMachine::EndHandshake(int address, const std::string& reason) {
    if (address >= kDeviceCount || !LastFrameWasHandshake()) return;
    TSecureSession& s = DeviceStates[address].Session;
    if (s.State == ssNone || s.IsEstablished()) return;
    const std::uint8_t before = s.State;
    EndSession(s);
    ReportSessionEnd(address, before, reason);
}

void TLineMachine::ReportSessionEnd(int address, std::uint8_t before, const std::string& reason) {
    if (before == ssNone) return;
    const bool reopening = before < ssEstablished && address >= 0 && address < kDeviceCount &&
                           std::exchange(Reopen[address].Running, false);
    // A reopening that the line itself cut short is tried again at the next answer; one the
    // device turned down is not.
    if (reopening) Reopen[address].Due = ReopenSessions && IsLineFault(reason);
    const std::string who = "Secure channel with " + std::to_string(address);
    if (before >= ssEstablished)
        Log(who + " ended (" + reason + ")");
    else if (reopening)
        Log(who + " not reopened (" + reason + ")");
    else
        Log(who + " not established (" + reason + ")" + RefusalHint(address, reason));
    Emit(TActionKind::PollListChanged);
}

// What to do about a handshake the reader turned down: a plain answer to a challenge with
// the default key is how a reader that has a key of its own refuses it.
std::string TLineMachine::RefusalHint(int address, const std::string& reason) const {
    if (address < 0 || address >= kDeviceCount || reason != "plain reply") return {};
    if (ChallengeKeyType[address] != 0) return {};
    return "; the reader refused the default key: untick Use default key and give its key";
}

// Sessions ended on purpose (a broadcast, a disconnect) are not opened again.
void TLineMachine::EndEverySession(const std::string& reason) {
    for (TReopen& r : Reopen)
        r = TReopen{};
    for (int a = 0; a < kDeviceCount; ++a) {
        TSecureSession& s = DeviceStates[a].Session;
        const std::uint8_t before = s.State;
        EndSession(s);
        ReportSessionEnd(a, before, reason);
    }
}

// A session ended by the line, not by anyone's choice: opened again at the next answer while
// reopening is on.
void TLineMachine::SessionLost(int address) {
    if (address < 0 || address >= kDeviceCount) return;
    TReopen& r = Reopen[address];
    if (!r.Armed) return;
    if (!ReopenSessions) {
        r = TReopen{};
        return;
    }
    r.Due = true;
}

// A user's handshake replaces the device's session as its challenge leaves; the session it
// replaces ends there, and says so.
void TLineMachine::OpenHandshake(int address, const TSecureSession& handshake) {
    TSecureSession& s = DeviceStates[address].Session;
    const std::uint8_t before = s.State;
    EndSession(s);
    ReportSessionEnd(address, before, "a new handshake");
    s = handshake;
}

// A handshake the user starts replaces any reopening of ours; a new key forgets the old one.
void TLineMachine::NoteSent(const TOsdpRequest& request) {
    const int address = request.Address & 0x7F;
    if (address >= kDeviceCount) return;
    TReopen& r = Reopen[address];
    if (request.Command == 0x76 && request.ScbLength &&
        (request.PayloadLength != 8 ||
         std::memcmp(request.Payload.data(), r.RndA.data(), 8) != 0)) {
        r.Due = r.ChallengeDue = r.ScryptDue = r.Running = false;
    }
    if (request.Command == 0x75) r = TReopen{};
}

// The next step of a reopening, when one is due: its challenge, or its answer to the device's
// cryptogram. True when a frame went out. A step that cannot go ends the reopening with its
// line, and leaves no half-open session behind.
bool TLineMachine::SendReopenStep(std::int64_t now) {
    for (int a = 0; a < kDeviceCount; ++a) {
        TReopen& r = Reopen[a];
        if (!r.ChallengeDue && !r.ScryptDue) continue;
        TSecureSession& s = DeviceStates[a].Session;
        const std::string who = "Secure channel with " + std::to_string(a);
        std::string error;
        if (r.ScryptDue) {
            r.ScryptDue = false;
            if (Leave(now, r.Scrypt, TOrigin::Routine, &error)) return true;
            r.Running = false;
            EndSession(s);
            Log(who + " not reopened (" + error + ")");
            Emit(TActionKind::PollListChanged);
            continue;
        }
        r.ChallengeDue = false;
        if (!ReopenSessions) {
            r.Armed = false;
            Log(who + " not reopened (reopening is off)");
            continue;
        }
        if (s.State != ssNone) continue; // someone opened one meanwhile
        s = TSecureSession{};
        s.Scbk = r.Key;
        s.State = ssChallengeSent;
        RandomBytes(s.RndA.data(), s.RndA.size());
        r.RndA = s.RndA;
        TOsdpRequest chlng;
        chlng.Command = 0x76;
        chlng.Address = static_cast<std::uint8_t>(a);
        chlng.ScbLength = 3;
        chlng.ScbType = 0x11;
        chlng.ScbData[0] = r.KeyType;
        std::memcpy(chlng.Payload.data(), s.RndA.data(), s.RndA.size());
        chlng.PayloadLength = static_cast<std::uint16_t>(s.RndA.size());
        r.Running = true;
        if (Leave(now, chlng, TOrigin::Routine, &error)) return true;
        r.Running = false;
        EndSession(s);
        Log(who + " not reopened (" + error + ")");
        Emit(TActionKind::PollListChanged);
    }
    return false;
}

// The device's cryptogram to our reopening: our answer goes next, before anything queued.
void TLineMachine::OnCryptogram(int address) {
    TReopen& r = Reopen[address];
    TSecureSession& s = DeviceStates[address].Session;
    TKeyOptions options;
    options.UseScbkD = r.KeyType == 0;
    options.DiversifyMasterkey = false;
    TOsdpRequest& scrypt = r.Scrypt;
    scrypt = TOsdpRequest{};
    scrypt.Command = 0x77;
    scrypt.Address = static_cast<std::uint8_t>(address);
    std::uint8_t* cursor = scrypt.PayloadStart();
    TSecurityHeader header;
    if (!BuildServerCryptogram(cursor, header, s, options)) {
        r.Running = false;
        Log("Secure channel with " + std::to_string(address) +
            " not reopened (cryptogram mismatch)");
        Emit(TActionKind::PollListChanged);
        return;
    }
    scrypt.SetPayloadEnd(cursor);
    scrypt.ScbLength = header.Length;
    scrypt.ScbType = header.Type;
    scrypt.ScbData[0] = header.Data;
    r.ScryptDue = true;
}

// osdp_RMAC_I: the block's data byte says whether the device took our cryptogram (0x01), and
// its data is the first MAC of the chain, which we can compute ourselves.
void TLineMachine::OnInitialMac(int address, const std::uint8_t* data, std::uint8_t scbData) {
    TSecureSession& s = DeviceStates[address].Session;
    TReopen& r = Reopen[address];
    const bool ours = std::exchange(r.Running, false);
    const std::string who = "Secure channel with " + std::to_string(address);
    if (scbData != 0x01) {
        EndSession(s);
        Log(who + (ours ? " not reopened" : " not established") + " (refused by the device)");
        Emit(TActionKind::PollListChanged);
        return;
    }
    const TAesBlock expected = ComputeInitialRmac(s);
    if (!EqualInConstantTime(expected.data(), data, expected.size()))
        Log(who + ": the device's initial MAC differs");
    std::memcpy(s.LastMac.data(), data, 16);
    s.State = ssEstablished;
    // The key is kept, with the key type of the challenge that opened the session, to open
    // it again should the line fail.
    r.Armed = true;
    r.Due = false;
    r.KeyType = ChallengeKeyType[address];
    r.Key = r.KeyType == 0 ? ScbkD : s.Scbk;
    Log(who + (ours ? " reopened" : " established"));
    Emit(TActionKind::PollListChanged);
}

} // namespace quintrel
