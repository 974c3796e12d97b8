#include "crypto/handshake.h"

#include "log/hex.h"
#include "osdp/bytes.h"

#include <algorithm>
#include <array>

namespace quintrel {

namespace {

constexpr std::size_t kKeyEntryCapacity = 127;

TSecurityHeader Header(std::uint8_t type, const TKeyOptions& options) {
    return TSecurityHeader{3, type, static_cast<std::uint8_t>(options.UseScbkD ? 0x00 : 0x01)};
}

} // namespace

std::optional<TAesKey> AskKey(const TKeyPrompt& prompt, const std::string& text,
                              const TAesKey& current) {
    if (!prompt) return std::nullopt;
    const std::optional<std::string> answer =
        prompt(text, BytesToHex(current.data(), current.size(), true));
    if (!answer) return std::nullopt;
    std::array<std::uint8_t, kKeyEntryCapacity> bytes{};
    if (HexToBytes(*answer, bytes.data(), bytes.size()) != 16) return std::nullopt;
    TAesKey key{};
    std::copy_n(bytes.begin(), 16, key.begin());
    return key;
}

bool BuildChallenge(std::uint8_t*& cursor, TSecurityHeader& header, TSecureSession& session,
                    TKeyOptions& options, const TKeyPrompt& prompt,
                    const std::function<std::uint8_t()>& randomByte) {
    session = TSecureSession{};
    session.State = ssChallengeSent;
    header = Header(0x11, options);
    if (!options.UseScbkD) {
        // With diversification the device key itself is made once the cUID is known.
        if (options.DiversifyMasterkey) {
            const auto key = AskKey(prompt, "Masterkey: ", options.Masterkey);
            if (!key) return false;
            options.Masterkey = *key;
        } else {
            const auto key = AskKey(prompt, "SCBK: ", session.Scbk);
            if (!key) return false;
            session.Scbk = *key;
        }
    }
    for (std::uint8_t& b : session.RndA)
        b = randomByte();
    PutBytes(cursor, 8, session.RndA.data());
    return true;
}

bool BuildServerCryptogram(std::uint8_t*& cursor, TSecurityHeader& header, TSecureSession& session,
                           const TKeyOptions& options) {
    session.State = ssScryptSent;
    header = Header(0x13, options);
    if (!options.UseScbkD && options.DiversifyMasterkey)
        session.Scbk = DiversifyKey(options.Masterkey, session.Cuid);
    DeriveSessionKeys(session, options.UseScbkD ? ScbkD : session.Scbk);
    if (!ClientCryptogramMatches(session)) {
        session = TSecureSession{};
        return false;
    }
    session.ServerCryptogram = ComputeServerCryptogram(session);
    PutBytes(cursor, 16, session.ServerCryptogram.data());
    return true;
}

bool BuildKeySet(std::uint8_t*& cursor, TSecureSession& session, TKeyOptions& options,
                 const TKeyPrompt& prompt) {
    if (options.DiversifyMasterkey) {
        const auto key = AskKey(prompt, "Masterkey: ", options.Masterkey);
        if (!key) return false;
        options.Masterkey = *key;
        session.Scbk = DiversifyKey(options.Masterkey, session.Cuid);
    } else {
        const auto key = AskKey(prompt, "SCBK: ", session.Scbk);
        if (!key) return false;
        session.Scbk = *key;
    }
    PutByte(cursor, 0x01);
    PutByte(cursor, 0x10);
    PutBytes(cursor, 16, session.Scbk.data());
    return true;
}

} // namespace quintrel
