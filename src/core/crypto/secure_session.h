#pragma once
// The secure-channel record of one device and the pure key operations of the
// handshake.

#include "crypto/aes.h"

#include <cstddef>
#include <cstdint>

namespace quintrel {

enum : std::uint8_t {
    ssNone = 0x00,
    ssChallengeSent = 0x11,
    ssCryptReceived = 0x12,
    ssScryptSent = 0x13,
    ssEstablished = 0x14,
};

using TRnd = std::array<std::uint8_t, 8>;

struct TSecureSession {
    std::uint8_t State = ssNone;
    TAesKey Scbk{};
    TRnd RndA{};
    TRnd RndB{};
    TRnd Cuid{};
    TAesBlock ServerCryptogram{};
    TAesBlock ClientCryptogram{};
    TAesKey SEnc{};
    TAesKey SMac1{};
    TAesKey SMac2{};
    TAesBlock LastMac{};

    bool IsEstablished() const { return State >= ssEstablished; }
};

// The default base key SCBK-D: 30 31 32 ... 3F.
extern const TAesKey ScbkD;

// Device key = AES(master, cUID || ~cUID).
TAesKey DiversifyKey(const TAesKey& masterKey, const TRnd& cuid);
// S-ENC, S-MAC1, S-MAC2 from the base key and RND.A, stored into the session.
void DeriveSessionKeys(TSecureSession& session, const TAesKey& baseKey);
// AES(S-ENC, RND.A || RND.B): what the device must have sent as client cryptogram.
TAesBlock ExpectedClientCryptogram(const TSecureSession& session);
bool ClientCryptogramMatches(const TSecureSession& session);
// AES(S-ENC, RND.B || RND.A).
TAesBlock ComputeServerCryptogram(const TSecureSession& session);
// The first MAC chaining value a device sends in osdp_RMAC_I:
// AES(S-MAC2, AES(S-MAC1, server cryptogram)).
TAesBlock ComputeInitialRmac(const TSecureSession& session);

// Compares count bytes in time that does not depend on where they differ, so the
// answer tells a peer nothing about how much of a forged MAC or cryptogram was right.
bool EqualInConstantTime(const std::uint8_t* a, const std::uint8_t* b, std::size_t count);

// Ends a session or a handshake in progress: State 0, and every secret that only this
// session used (session keys, random numbers, cryptograms, MAC chain) overwritten. The
// base key and the cUID stay: the next key set offers them again.
void EndSession(TSecureSession& session);
// EndSession, and the base key and cUID overwritten too: for a record that is done with.
void WipeSession(TSecureSession& session);
// Overwrites a key where the compiler cannot drop the stores as dead.
void WipeKey(TAesKey& key);

// MAC over count bytes chained from session.LastMac: whole blocks under S-MAC1,
// the last (1 to 16 bytes, padded with 0x80 00.. when short) under S-MAC2.
// Does not change the session; the caller stores the result into LastMac.
TAesBlock ComputeMac(const std::uint8_t* bytes, std::size_t count, const TSecureSession& session);

} // namespace quintrel
