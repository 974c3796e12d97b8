// Decoders of the identification, capability, status and communication replies.

#include "decode/decoders.h"

#include "log/hex.h"

#include <algorithm>
#include <cstdio>
#include <string_view>

namespace quintrel {

namespace {

constexpr std::size_t kPdidLength = 12;
constexpr std::size_t kPdcapEntry = 3;
constexpr std::size_t kLstatLength = 2;
constexpr std::size_t kComLength = 5;
// Receive buffer size and largest message: their two bytes are one 16-bit size.
constexpr std::uint8_t kCapRxBuffer = 10;
constexpr std::uint8_t kCapMessageSize = 11;

std::string CapabilityName(std::uint8_t function) {
    static constexpr std::string_view kNames[] = {"INPUT", "OUTPUT", "CARDFMT", "LED",
                                                  "BUZ",   "TEXT",   "TIME",    "CRC",
                                                  "CRYPT", "RXBUF",  "MSGSIZ"};
    if (function >= 1 && function <= std::size(kNames)) return std::string(kNames[function - 1]);
    return "Function Code " + std::to_string(function);
}

std::string DecodeCapability(const std::uint8_t* entry) {
    const std::uint8_t function = entry[0];
    unsigned compliance = entry[1];
    unsigned count = entry[2];
    if (function == kCapRxBuffer || function == kCapMessageSize) {
        count = compliance | count << 8;
        compliance = 1;
    }
    const std::string name = CapabilityName(function);
    if (compliance == 0) return "NO-" + name;
    char level[8];
    std::snprintf(level, sizeof level, "%.2X", compliance);
    return (count > 1 ? std::to_string(count) + "x" : std::string()) + name + level;
}

std::string DecodeStates(const char* prefix, const std::uint8_t* data, std::size_t length) {
    if (length < 1) return BytesToHex(data, length, true);
    std::string text;
    for (std::size_t i = 0; i < length; ++i) {
        if (i > 0) text += ", ";
        text += prefix + std::to_string(i) + "=" + std::to_string(data[i]);
    }
    return text;
}

const char* Condition(std::uint8_t value) {
    return value == 0 ? "ok" : "error";
}

} // namespace

std::optional<TPdid> ParsePdid(const std::uint8_t* data, std::size_t length) {
    if (length < kPdidLength) return std::nullopt;
    TPdid p;
    p.Vendor = static_cast<std::uint32_t>(data[0]) << 16 |
               static_cast<std::uint32_t>(data[1]) << 8 | data[2];
    p.Model = data[3];
    p.Version = data[4];
    p.Serial = static_cast<std::uint32_t>(data[8]) << 24 |
               static_cast<std::uint32_t>(data[7]) << 16 |
               static_cast<std::uint32_t>(data[6]) << 8 | data[5];
    std::copy_n(data + 9, 3, p.Firmware);
    return p;
}

std::string DecodePdid(const std::uint8_t* data, std::size_t length, const TVendorList& vendors,
                       std::uint32_t& mfgId) {
    const std::optional<TPdid> p = ParsePdid(data, length);
    if (!p) return BytesToHex(data, length, true);
    if (p->Vendor == kMakerVendorCode || p->Vendor == kMakerSecondVendorCode) mfgId = p->Vendor;
    char rest[96];
    std::snprintf(rest, sizeof rest, ", MODEL=%.2X, HWVER=%.2X, SERNO=%.8X, FWVER=%d.%d.%d",
                  p->Model, p->Version, p->Serial, p->Firmware[0], p->Firmware[1], p->Firmware[2]);
    return "MANUF=" + vendors.VendorName(p->Vendor) + rest;
}

std::string DecodePdcap(const std::uint8_t* data, std::size_t length) {
    if (length < kPdcapEntry) return BytesToHex(data, length, true);
    std::string text;
    for (std::size_t at = 0; at + kPdcapEntry <= length; at += kPdcapEntry) {
        if (at > 0) text += ", ";
        text += DecodeCapability(data + at);
    }
    return text;
}

std::string DecodeLstat(const std::uint8_t* data, std::size_t length) {
    if (length < kLstatLength) return BytesToHex(data, length, true);
    return std::string("TAMPER=") + Condition(data[0]) + ", POWER=" + Condition(data[1]);
}

std::string DecodeIstat(const std::uint8_t* data, std::size_t length) {
    return DecodeStates("IN", data, length);
}

std::string DecodeOstat(const std::uint8_t* data, std::size_t length) {
    return DecodeStates("OUT", data, length);
}

std::string DecodeCom(const std::uint8_t* data, std::size_t length) {
    if (length < kComLength) return BytesToHex(data, length, true);
    const std::uint32_t baud = data[1] | static_cast<std::uint32_t>(data[2]) << 8 |
                               static_cast<std::uint32_t>(data[3]) << 16 |
                               static_cast<std::uint32_t>(data[4]) << 24;
    return "ADDR=" + std::to_string(data[0]) + ", BAUD=" + std::to_string(baud);
}

} // namespace quintrel
