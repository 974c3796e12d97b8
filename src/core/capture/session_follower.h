#pragma once
// Reads secure-channel traffic overheard on a line, as a listener that holds keys but sends
// nothing: each device's handshake is followed from osdp_CHLNG and osdp_CCRYPT, the key is
// found among the ones known by checking the device's cryptogram, and from osdp_RMAC_I on
// every protected frame has its MAC checked and its data decrypted, in both directions.
//
// The follower only reads what it can prove: a frame counts as read when its MAC holds under
// the session's keys. A key that does not fit, a handshake that was not seen or a MAC that
// does not hold leaves the frames unread, to be shown by their clear header, with one note saying why.
//
// The MAC chain is followed as both ends keep it. A command chains from the MAC of the reply
// before it; when the panel did not take that reply (it timed out, or the line lost the
// reply on its way back) it chains from its own last command instead, and when it sends a
// command again unchanged, from the same value as the first time. A reply chains from the
// command it answers. Encrypted data uses the complement of the same chaining value as IV.
//
// A session ends for the follower on a new osdp_CHLNG to the device, a command to the
// broadcast address, or a MAC that does not hold. A plain reply where a protected one was due
// ends it on the device's side (and says so); commands the panel goes on sending on the old
// chain, not having taken that reply, are still read.
//
// An osdp_KEYSET that is read (decrypted, or plain) gives its key as the first one to try at
// that device's next handshakes. Every key tried is checked against the device's cryptogram,
// so a key offered wrongly costs nothing but the check.

#include "crypto/secure_session.h"
#include "osdp/types.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quintrel {

struct TDecodedFrame;

// What the person has told the program; the default key SCBK-D is tried unless turned off.
struct TFollowerKeys {
    bool UseDefaultKey = true;
    std::optional<TAesKey> Scbk;   // a typed SCBK
    std::optional<TAesKey> Master; // a master key, diversified with each cUID seen
};

struct TFollowed {
    std::uint8_t Address = 0; // reply bit removed
    bool Reply = false;       // bit 7 of the address byte was set
    std::uint8_t ScbType = 0; // 0 when the frame has no security block
    bool Protected = false;   // the frame carries a MAC (security block type 0x15..0x18)
    bool Read = false;        // its MAC held and its plain data is in Data
    std::uint8_t Code = 0;
    std::vector<std::uint8_t> Data; // plain data, padding and MAC removed (only when Read)
    // Lines to show before the frame, such as "Secure channel with 0 opened (default key)".
    std::vector<std::string> Notes;
    // After this frame a session with its device is being read (opened, not ended).
    bool SessionOpen = false;
};

class TSessionFollower {
  public:
    explicit TSessionFollower(TFollowerKeys keys = {});
    // Every key it holds is overwritten.
    ~TSessionFollower();
    TSessionFollower(const TSessionFollower&) = default;
    TSessionFollower& operator=(const TSessionFollower&) = delete;
    // The keys a person gave; the sessions being read and the keys learned from the line stay.
    void SetKeys(const TFollowerKeys& keys);

    // One frame whose check bytes hold, whole from the start byte 0x53 to the check bytes
    // and without the mark byte, in line order: a command when bit 7 of the address byte is
    // clear, a reply when it is set. Anything that is no whole frame (count differing from
    // its LEN field, a broken layout) is returned unread and changes nothing.
    TFollowed Follow(const std::uint8_t* frame, std::size_t count);

  private:
    struct TKnownKey {
        TAesKey Key{};
        const char* Name = "";
    };
    enum class TStage : std::uint8_t {
        Idle,             // no handshake seen since the start or since the last end
        Challenged,       // osdp_CHLNG seen: RND.A known
        KeyFound,         // osdp_CCRYPT checked with one of the keys
        ServerCryptogram, // osdp_SCRYPT seen and right
        Open,             // osdp_RMAC_I seen: protected frames are read
        Refused,          // osdp_RMAC_I refused the cryptogram: the next frames decide
        Unreadable,       // this session cannot be read, and the note has said why
    };
    struct TDevice {
        TStage Stage = TStage::Idle;
        TSecureSession Session; // random numbers, cUID, cryptograms and session keys
        TKnownKey Key;          // the key of the session being followed
        // The MAC chain as the two ends may hold it.
        bool HasCommand = false;  // a protected command was read since the session opened
        TAesBlock CommandMac{};   // its whole MAC
        TAesBlock CommandChain{}; // the value its MAC was chained from
        bool HasReplyMac = false; // a protected reply answered it (or, at first, osdp_RMAC_I)
        TAesBlock ReplyMac{};     // that reply's whole MAC
        bool ReplySeen = false;   // any reply came after the last command read
        bool DeviceEnded = false; // the device has answered in plain inside the session
        bool RestartSaid = false; // the panel's restart at sequence 0 was said
        bool PlainSaid = false;   // the panel's plain command inside the session was said
        std::optional<TKnownKey> KeySetKey;  // from the last osdp_KEYSET read
        std::optional<TKnownKey> SessionKey; // the key of the last session opened
    };

    void FollowProtected(TDevice& device, const std::uint8_t* frame, const TDecodedFrame& f,
                         TFollowed& out);
    void FollowHandshakeCommand(TDevice& device, const std::uint8_t* data, const TDecodedFrame& f,
                                TFollowed& out);
    void FollowPlainReply(TDevice& device, const std::uint8_t* data, const TDecodedFrame& f,
                          TFollowed& out);
    void TakeKeySet(TDevice& device, const std::uint8_t* data, std::size_t length);
    std::vector<TKnownKey> Candidates(const TDevice& device) const;
    // Drops the session's secrets; the keys learned for later sessions stay.
    static void Drop(TDevice& device, TStage stage);
    static void WipeKeys(TFollowerKeys& keys);

    TFollowerKeys Keys;
    std::array<TDevice, kDeviceCount> Devices{};
};

} // namespace quintrel
