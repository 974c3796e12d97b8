#include "crypto/secure_session.h"

#include <algorithm>

namespace quintrel {

const TAesKey ScbkD = {0x30, 0x31, 0x32, 0x33, 0x34, 0x35, 0x36, 0x37,
                       0x38, 0x39, 0x3A, 0x3B, 0x3C, 0x3D, 0x3E, 0x3F};

namespace {

TAesBlock Encrypt(const TAesKey& key, const TAesBlock& block) {
    TAesBlock out;
    AesEncryptBlock(out.data(), block.data(), key.data());
    return out;
}

TAesBlock Concat(const TRnd& first, const TRnd& second) {
    TAesBlock block;
    std::copy(first.begin(), first.end(), block.begin());
    std::copy(second.begin(), second.end(), block.begin() + 8);
    return block;
}

TAesKey SessionKey(const TAesKey& baseKey, std::uint8_t keyCode, const TRnd& rndA) {
    TAesBlock block{};
    block[0] = 0x01;
    block[1] = keyCode;
    std::copy_n(rndA.begin(), 6, block.begin() + 2);
    return Encrypt(baseKey, block);
}

} // namespace

TAesKey DiversifyKey(const TAesKey& masterKey, const TRnd& cuid) {
    TRnd inverted;
    std::transform(cuid.begin(), cuid.end(), inverted.begin(),
                   [](std::uint8_t b) { return static_cast<std::uint8_t>(~b); });
    return Encrypt(masterKey, Concat(cuid, inverted));
}

void DeriveSessionKeys(TSecureSession& session, const TAesKey& baseKey) {
    session.SEnc = SessionKey(baseKey, 0x82, session.RndA);
    session.SMac1 = SessionKey(baseKey, 0x01, session.RndA);
    session.SMac2 = SessionKey(baseKey, 0x02, session.RndA);
}

TAesBlock ExpectedClientCryptogram(const TSecureSession& session) {
    return Encrypt(session.SEnc, Concat(session.RndA, session.RndB));
}

bool ClientCryptogramMatches(const TSecureSession& session) {
    const TAesBlock expected = ExpectedClientCryptogram(session);
    return EqualInConstantTime(expected.data(), session.ClientCryptogram.data(), expected.size());
}

bool EqualInConstantTime(const std::uint8_t* a, const std::uint8_t* b, std::size_t count) {
    std::uint8_t difference = 0;
    for (std::size_t i = 0; i < count; ++i)
        difference |= static_cast<std::uint8_t>(a[i] ^ b[i]);
    return difference == 0;
}

namespace {

// Writes through a volatile pointer so the compiler cannot drop the stores as dead.
template <std::size_t N> void Wipe(std::array<std::uint8_t, N>& bytes) {
    volatile std::uint8_t* p = bytes.data();
    for (std::size_t i = 0; i < N; ++i)
        p[i] = 0;
}

} // namespace

void EndSession(TSecureSession& session) {
    session.State = ssNone;
    Wipe(session.RndA);
    Wipe(session.RndB);
    Wipe(session.ServerCryptogram);
    Wipe(session.ClientCryptogram);
    Wipe(session.SEnc);
    Wipe(session.SMac1);
    Wipe(session.SMac2);
    Wipe(session.LastMac);
}

void WipeKey(TAesKey& key) {
    Wipe(key);
}

void WipeSession(TSecureSession& session) {
    EndSession(session);
    Wipe(session.Scbk);
    Wipe(session.Cuid);
}

TAesBlock ComputeServerCryptogram(const TSecureSession& session) {
    return Encrypt(session.SEnc, Concat(session.RndB, session.RndA));
}

TAesBlock ComputeInitialRmac(const TSecureSession& session) {
    return Encrypt(session.SMac2, Encrypt(session.SMac1, session.ServerCryptogram));
}

TAesBlock ComputeMac(const std::uint8_t* bytes, std::size_t count, const TSecureSession& session) {
    TAesBlock chain = session.LastMac;
    TAesBlock work;
    std::size_t offset = 0;
    // Strictly more than one block left: the last block, even a full one, is the
    // one that goes under S-MAC2.
    while (count - offset > 16) {
        std::copy_n(bytes + offset, 16, work.begin());
        AesCbcEncrypt(session.SMac1.data(), work.data(), work.size(), chain);
        offset += 16;
    }
    // An empty message still gets one block (0x80 then zeros), so the MAC is
    // defined for it and nothing before bytes is read.
    const std::size_t rest = count - offset;
    work.fill(0x00);
    std::copy_n(bytes + offset, rest, work.begin());
    if (rest < 16) work[rest] = 0x80;
    AesCbcEncrypt(session.SMac2.data(), work.data(), work.size(), chain);
    return chain;
}

} // namespace quintrel
