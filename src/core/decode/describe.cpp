#include "decode/describe.h"

#include "decode/decoders.h"
#include "log/hex.h"
#include "osdp/frame_codec.h"

#include <algorithm>
#include <cstdio>

namespace quintrel {

namespace {

std::string Numbered(const char* prefix, std::uint8_t code) {
    char name[8];
    std::snprintf(name, sizeof name, "%s%.2X", prefix, code);
    return name;
}

const char* CommandTableName(std::uint8_t code) {
    switch (code) {
    case 0x60:
        return "POLL";
    case 0x61:
        return "GET_ID";
    case 0x62:
        return "GET_CAP";
    case 0x64:
        return "GET_STAT";
    case 0x65:
        return "GET_ISTAT";
    case 0x66:
        return "GET_OSTAT";
    case 0x68:
        return "SET_OUT";
    case 0x69:
        return "SET_LED";
    case 0x6A:
        return "SET_BUZ";
    case 0x6B:
        return "SET_TXT";
    case 0x6E:
        return "SET_COM";
    case 0x75:
        return "SET_KEY";
    case 0x76:
        return "SET_CHLNG";
    case 0x77:
        return "SET_SCRYPT";
    }
    return nullptr;
}

// Any code may arrive, so received frames are named from the reply codes first and
// then from the command table, where the two agree.
const char* ReplyTableName(std::uint8_t code) {
    switch (code) {
    case 0x40:
        return "ACK";
    case 0x41:
        return "NAK";
    case 0x45:
        return "RES_ID";
    case 0x46:
        return "RES_CAP";
    case 0x48:
        return "RES_STAT";
    case 0x49:
        return "RES_ISTAT";
    case 0x4A:
        return "RES_OSTAT";
    case 0x50:
        return "EVT_RAW";
    case 0x51:
        return "EVT_FMT";
    case 0x53:
        return "EVT_KEY";
    case 0x54:
        return "RES_COM";
    case 0x67:
        return "GET_RSTAT";
    case 0x76:
        return "RES_CCRYPT";
    case 0x78:
        return "RES_RMACI";
    case 0x79:
        return "RES_BUSY";
    // Left unnamed, so their description is only the parenthesised data.
    case 0x73:
    case 0x74:
    case 0x7C:
    case 0x80:
        return "";
    }
    return CommandTableName(code);
}

std::string DecodeData(std::uint8_t code, const std::uint8_t* data, std::size_t length,
                       const TVendorList& vendors, std::uint32_t& mfgId) {
    switch (code) {
    case 0x45:
        return DecodePdid(data, length, vendors, mfgId);
    case 0x46:
        return DecodePdcap(data, length);
    case 0x48:
        return DecodeLstat(data, length);
    case 0x49:
        return DecodeIstat(data, length);
    case 0x4A:
        return DecodeOstat(data, length);
    case 0x50:
        return DecodeRaw(data, length);
    case 0x51:
        return DecodeFmt(data, length);
    case 0x53:
        return DecodeKeypad(data, length);
    case 0x54:
        return DecodeCom(data, length);
    }
    return BytesToHex(data, length, true);
}

} // namespace

std::string CommandName(std::uint8_t code) {
    const char* name = CommandTableName(code);
    return name ? name : Numbered("CMD_", code);
}

std::string ReplyName(std::uint8_t code) {
    const char* name = ReplyTableName(code);
    return name ? name : Numbered("RES_", code);
}

namespace {

constexpr std::uint8_t kKeySet = 0x75;

// The key type and length bytes, then what stands for the key, then anything after it.
std::string HideKey(const std::uint8_t* payload, std::size_t length) {
    const std::size_t key = std::min<std::size_t>(payload[1], length - 2);
    std::string text = BytesToHex(payload, 2, true) + " (" + std::to_string(key) +
                       " key bytes hidden)";
    if (length > 2 + key) text += " " + BytesToHex(payload + 2 + key, length - 2 - key, true);
    return text;
}

} // namespace

std::string DescribeCommand(std::uint8_t code, const std::uint8_t* payload, std::size_t length,
                            bool showKeys) {
    std::string text = CommandName(code);
    if (length == 0) return text;
    if (code == kKeySet && !showKeys && length > 2) return text + "(" + HideKey(payload, length) + ")";
    return text + "(" + BytesToHex(payload, length, true) + ")";
}

std::string RawFrameText(const std::uint8_t* frame, std::size_t count, bool showKeys) {
    const TDecodedFrame f = PeekFrame(frame, count);
    const bool encrypted = f.HasBlock() && (f.ScbType() == 0x17 || f.ScbType() == 0x18);
    const bool command = count > 1 && !(frame[1] & 0x80);
    if (showKeys || !f.Valid || !command || f.Code != kKeySet || encrypted || f.DataLength <= 2)
        return BytesToHex(frame, count, true);
    return BytesToHex(frame, f.DataStart, true) + " " + HideKey(frame + f.DataStart, f.DataLength) +
           (f.DataStart + f.DataLength < count
                ? " " + BytesToHex(frame + f.DataStart + f.DataLength,
                                   count - f.DataStart - f.DataLength, true)
                : std::string());
}

std::string DescribeReply(std::uint8_t code, const std::uint8_t* data, std::size_t length,
                          const TVendorList& vendors, std::uint32_t& mfgId) {
    std::string text = ReplyName(code);
    if (length > 0) text += "(" + DecodeData(code, data, length, vendors, mfgId) + ")";
    return text;
}

} // namespace quintrel
