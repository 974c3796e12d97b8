#include "crypto/handshake.h"

#include "log/hex.h"
#include "osdp/bytes.h"

#include <algorithm>
#include <array>

namespace quintrel {

namespace {

TSecurityHeader Header(std::uint8_t type, const TKeyOptions& options) {
    return TSecurityHeader{3, type, static_cast<std::uint8_t>(options.UseScbkD ? 0x00 : 0x01)};
}

} // namespace

TKeyEntry ReadKey(std::string_view text) {
    static constexpr char kKeySize[] = "a key is 32 hex digits (16 bytes)";
    constexpr std::size_t kDigits = 32;
    TKeyEntry entry;
    const THexScan scan = ScanHex(text);
    if (scan.FirstBad != std::string_view::npos) {
        const std::string bad = CharacterAt(text, scan.FirstBad);
        const auto first = static_cast<unsigned char>(bad[0]);
        const std::string shown = first < 0x20 || first == 0x7F
                                      ? "character " + BytesToHex(&first, 1)
                                      : "\"" + bad + "\"";
        entry.Error = "Error: " + shown + " is not a hexadecimal digit; " + kKeySize;
    } else if (scan.Count == 0) {
        entry.Error = std::string("Error: no key was typed; ") + kKeySize;
    } else if (scan.Count != kDigits) {
        entry.Error = "Error: the key has " + std::to_string(scan.Count) +
                      (scan.Count == 1 ? " hex digit; " : " hex digits; ") + kKeySize;
    } else {
        TAesKey key{};
        HexToBytes(text, key.data(), key.size());
        entry.Key = key;
    }
    return entry;
}

std::optional<TAesKey> AskKey(const TKeyPrompt& prompt, const std::string& text,
                              const TAesKey& current, std::string* error) {
    if (error) error->clear();
    if (!prompt) return std::nullopt;
    const std::optional<std::string> answer =
        prompt(text, BytesToHex(current.data(), current.size(), true));
    if (!answer) return std::nullopt;
    TKeyEntry entry = ReadKey(*answer);
    if (error) *error = std::move(entry.Error);
    return entry.Key;
}

bool BuildChallenge(std::uint8_t*& cursor, TSecurityHeader& header, TSecureSession& session,
                    TKeyOptions& options, const TKeyPrompt& prompt,
                    const std::function<std::uint8_t()>& randomByte, std::string* error) {
    session = TSecureSession{};
    session.State = ssChallengeSent;
    header = Header(0x11, options);
    if (!options.UseScbkD) {
        // With diversification the device key itself is made once the cUID is known.
        if (options.DiversifyMasterkey) {
            const auto key = AskKey(prompt, "Masterkey: ", options.Masterkey, error);
            if (!key) return false;
            options.Masterkey = *key;
        } else {
            const auto key = AskKey(prompt, "SCBK: ", session.Scbk, error);
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
                 const TKeyPrompt& prompt, std::string* error) {
    if (options.DiversifyMasterkey) {
        const auto key = AskKey(prompt, "Masterkey: ", options.Masterkey, error);
        if (!key) return false;
        options.Masterkey = *key;
        session.Scbk = DiversifyKey(options.Masterkey, session.Cuid);
    } else {
        const auto key = AskKey(prompt, "SCBK: ", session.Scbk, error);
        if (!key) return false;
        session.Scbk = *key;
    }
    PutByte(cursor, 0x01);
    PutByte(cursor, 0x10);
    PutBytes(cursor, 16, session.Scbk.data());
    return true;
}

} // namespace quintrel
