#pragma once
// The control panel's composers of the secure-channel commands: osdp_CHLNG,
// osdp_SCRYPT and osdp_KEYSET. Keys typed by a person reach them through a prompt
// callback, so the window supplies a dialog and tests a plain function.

#include "crypto/secure_session.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace quintrel {

// The three bytes of a security block a composer asks for: length, type, data byte.
struct TSecurityHeader {
    std::uint8_t Length = 0;
    std::uint8_t Type = 0;
    std::uint8_t Data = 0;
};

// Shows prompt ("Masterkey: " or "SCBK: ") with defaultText; nothing when cancelled.
using TKeyPrompt = std::function<std::optional<std::string>(const std::string& prompt,
                                                            const std::string& defaultText)>;

struct TKeyOptions {
    bool UseScbkD = true;
    bool DiversifyMasterkey = true;
    TAesKey Masterkey{}; // kept in memory only
};

// A typed key: exactly 32 hex digits, with blanks and "0x" prefixes as the person likes.
// Error says what is wrong with any other text.
struct TKeyEntry {
    std::optional<TAesKey> Key;
    std::string Error;
};
TKeyEntry ReadKey(std::string_view text);

// Shows the prompt with the current key; nothing when it was cancelled or the answer is no
// key, and then error (when given) says why, or stays empty for a cancel.
std::optional<TAesKey> AskKey(const TKeyPrompt& prompt, const std::string& text,
                              const TAesKey& current, std::string* error = nullptr);

// Clears the record, starts the handshake (State 0x11) and writes RND.A. False when
// a needed key prompt was cancelled or answered with no key (error says why).
bool BuildChallenge(std::uint8_t*& cursor, TSecurityHeader& header, TSecureSession& session,
                    TKeyOptions& options, const TKeyPrompt& prompt,
                    const std::function<std::uint8_t()>& randomByte, std::string* error = nullptr);

// After a device's osdp_CCRYPT: derives the session keys from the chosen base key,
// checks the device's cryptogram and writes ours. A mismatch clears the record.
bool BuildServerCryptogram(std::uint8_t*& cursor, TSecurityHeader& header, TSecureSession& session,
                           const TKeyOptions& options);

// Writes 01 10 and the new key, which replaces Scbk at once. False as for the challenge.
bool BuildKeySet(std::uint8_t*& cursor, TSecureSession& session, TKeyOptions& options,
                 const TKeyPrompt& prompt, std::string* error = nullptr);

} // namespace quintrel
