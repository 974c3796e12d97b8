#include "crypto/secure_message.h"

#include "crypto/aes.h"
#include "osdp/bytes.h"

#include <cstring>

namespace quintrel {

void ProtectCommandBlock(const TSecureSession& session, bool hasData, std::uint8_t& scbLength,
                         std::uint8_t& scbType, bool reply) {
    if (!session.IsEstablished()) return;
    scbLength = 2;
    scbType = static_cast<std::uint8_t>((hasData ? 0x17 : 0x15) + (reply ? 1 : 0));
}

std::size_t ProtectCommandData(TSecureSession& session, std::uint8_t scbType, std::uint8_t* frame,
                               std::size_t dataStart, std::size_t dataEnd) {
    std::size_t end = dataEnd;
    if (CarriesEncryptedData(scbType)) {
        const std::size_t padded = (dataEnd - dataStart) + PaddingCount(dataEnd - dataStart);
        frame[dataEnd] = 0x80; // the rest of the padding is already zero
        TAesBlock chain = session.LastMac;
        InvertBytes(chain.data(), static_cast<int>(chain.size()));
        AesCbcEncrypt(session.SEnc.data(), frame + dataStart, padded, chain);
        end = dataStart + padded;
    }
    if (CarriesMac(scbType)) {
        session.LastMac = ComputeMac(frame, end, session);
        std::memcpy(frame + end, session.LastMac.data(), 4);
        end += 4;
    }
    return end;
}

TCheckResult CheckReply(TSecureSession& session, std::uint8_t scbType, std::uint8_t* frame,
                        std::size_t dataStart, std::size_t dataLength) {
    TCheckResult result;
    result.DataLength = dataLength;
    if (!CarriesMac(scbType)) {
        result.Valid = true;
        return result;
    }
    if (dataLength < 4) {
        result.Error = "length error";
        return result;
    }
    const std::size_t length = dataLength - 4;
    const std::uint8_t* received = frame + dataStart + length;
    const TAesBlock commandMac = session.LastMac;
    const TAesBlock mac = ComputeMac(frame, dataStart + length, session);
    session.LastMac = mac;
    if (!EqualInConstantTime(mac.data(), received, 4)) return result; // empty reason

    if (CarriesEncryptedData(scbType)) {
        // Decryption works in whole blocks; anything else would run past the data.
        if (length % 16 != 0) {
            result.Error = "data length error";
            return result;
        }
        TAesBlock chain = commandMac;
        InvertBytes(chain.data(), static_cast<int>(chain.size()));
        std::uint8_t* data = frame + dataStart;
        AesCbcDecrypt(session.SEnc.data(), data, length, chain);
        std::size_t plain = length;
        while (plain > 0 && data[plain - 1] != 0x80)
            --plain;
        result.DataLength = plain > 0 ? plain - 1 : 0;
    } else {
        result.DataLength = length;
    }
    result.Valid = true;
    return result;
}

} // namespace quintrel
