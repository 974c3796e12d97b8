#pragma once
// Protection of command frames and checking of reply frames inside an open
// secure session: padding, encryption and the 4-byte MAC.

#include "crypto/secure_session.h"

#include <cstddef>
#include <cstdint>

namespace quintrel {

inline bool CarriesMac(std::uint8_t scbType) {
    return scbType >= 0x15 && scbType <= 0x18;
}
inline bool CarriesEncryptedData(std::uint8_t scbType) {
    return scbType == 0x17 || scbType == 0x18;
}
// 1..16: data that fills whole blocks still gets a whole block of padding.
inline std::size_t PaddingCount(std::size_t dataLength) {
    return 16 - dataLength % 16;
}

// Before the frame length is known: an open session replaces whatever block the
// request brought by 02 15 (no data) or 02 17 (data); a device answering inside a
// session (reply set) uses 02 16 and 02 18.
void ProtectCommandBlock(const TSecureSession& session, bool hasData, std::uint8_t& scbLength,
                         std::uint8_t& scbType, bool reply = false);

// After the header, the command code and the plain data are in the frame: for
// 0x17 and 0x18 pads and encrypts the data in place (IV = ~LastMac), then for 0x15..0x18
// appends the first 4 bytes of the MAC over everything written so far and keeps the
// whole MAC as LastMac. The caller has zeroed the buffer past dataEnd and sized it
// for padding and MAC. Returns the new end of the frame.
std::size_t ProtectCommandData(TSecureSession& session, std::uint8_t scbType, std::uint8_t* frame,
                               std::size_t dataStart, std::size_t dataEnd);

struct TCheckResult {
    bool Valid = false;
    const char* Error = ""; // empty for a MAC mismatch
    std::size_t DataLength = 0;
};

// Checks a reply whose CRC or checksum has passed. For 0x15..0x18 the last 4 data
// bytes are the MAC; LastMac advances whether or not it matches. Encrypted data is
// decrypted in place (IV = ~MAC of the command) and its padding removed.
TCheckResult CheckReply(TSecureSession& session, std::uint8_t scbType, std::uint8_t* frame,
                        std::size_t dataStart, std::size_t dataLength);

} // namespace quintrel
