#include "maintenance/bootloader.h"

#include "log/hex.h"

#include <algorithm>

namespace quintrel {

std::uint16_t CalcBootCrc(const std::uint8_t* bytes, std::size_t count, std::uint16_t initial,
                          std::uint16_t polynomial) {
    std::uint16_t crc = initial;
    for (std::size_t i = 0; i < count; ++i) {
        crc = static_cast<std::uint16_t>(crc ^ (bytes[i] << 8));
        for (int bit = 0; bit < 8; ++bit)
            crc = static_cast<std::uint16_t>((crc & 0x8000) ? (crc << 1) ^ polynomial : crc << 1);
    }
    return crc;
}

void AppendBootCrc(std::uint8_t* frame, std::size_t& count) {
    const std::uint16_t crc = CalcBootCrc(frame, count, 0xFFFF, 0x1021);
    frame[count++] = static_cast<std::uint8_t>(crc >> 8);
    frame[count++] = static_cast<std::uint8_t>(crc);
}

bool CheckBootCrc(const std::uint8_t* frame, std::size_t count) {
    if (count <= 2) return false;
    const std::uint16_t crc = CalcBootCrc(frame, count - 2, 0xFFFF, 0x1021);
    return frame[count - 2] == (crc >> 8) && frame[count - 1] == (crc & 0xFF);
}

std::uint8_t EncodeBootLength(std::size_t n) {
    const std::size_t v = (n & 0x08) ? (n & 0x30) + 16 : n;
    return static_cast<std::uint8_t>((v & 0x30) / 2 + (v & 0x07));
}

std::size_t DecodeBootLength(std::uint8_t code) {
    return static_cast<std::size_t>((code & 0x18) * 2 + (code & 0x07));
}

std::size_t BuildBootFrame(std::uint8_t command, const std::uint8_t* data, std::size_t n,
                           std::array<std::uint8_t, kBootFrameCapacity>& frame) {
    if (n > kBootDataCapacity) return 0;
    frame[0] = static_cast<std::uint8_t>(0xA0 + (command & 0x07));
    frame[1] = EncodeBootLength(n);
    std::copy_n(data, n, frame.begin() + 2);
    std::size_t count = n + 2;
    AppendBootCrc(frame.data(), count);
    return count;
}

TBootReplyAssembler::TResult TBootReplyAssembler::Feed(std::uint8_t b) {
    if (Count < Bytes.size()) Bytes[Count] = b;
    if (Count == 0 && (b & 0xA0) != 0xA0) return TResult::Pending; // not a frame start
    // A reply too long for the buffer still counts, so it ends and fails its CRC.
    ++Count;
    if (Count < 4 || Count < DecodeBootLength(Bytes[1]) + 4) return TResult::Pending;
    const std::size_t held = std::min(Count, Bytes.size());
    const std::uint8_t status = Bytes[1] & 0xE0;
    const bool positive =
        held == Count && CheckBootCrc(Bytes.data(), held) && (status == 0x40 || status == 0x60);
    Count = 0;
    return positive ? TResult::Positive : TResult::Negative;
}

std::string TFirmwareCheck::Text() const {
    if (Line == 0) return Reason;
    return "line " + std::to_string(Line) + ": " + Reason;
}

namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

TFirmwareCheck Refused(std::size_t line, std::string reason) {
    TFirmwareCheck check;
    check.Line = line;
    check.Reason = std::move(reason);
    return check;
}

// Why a record's hex text cannot be read as it stands; empty when it can.
std::string HexFault(const THexScan& scan) {
    if (scan.FirstBad != std::string_view::npos) return "not hex";
    if (scan.Count % 2 != 0) return "odd number of hex digits"; // half a byte is a slip
    if (scan.Count == 0) return "no bytes";
    return {};
}

std::string FirstCharacter(std::string_view line) {
    const auto c = static_cast<unsigned char>(line[0]);
    if (c >= 0x20 && c < 0x7F) return std::string("\"") + line[0] + "\"";
    return "byte " + BytesToHex(&c, 1);
}

// The next line of text from start, without its end (LF, CR LF or CR); start moves past it.
std::string_view NextLine(std::string_view text, std::size_t& start) {
    const std::size_t from = start;
    std::size_t end = text.find_first_of("\r\n", from);
    if (end == std::string_view::npos) end = text.size();
    start = end + 1;
    if (end < text.size() && text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n')
        ++start;
    return text.substr(from, end - from);
}

} // namespace

TFirmwareCheck LoadFirmwareFile(std::string_view text,
                                const std::array<std::uint8_t, 4>& expected) {
    if (text.starts_with(kByteOrderMark)) text.remove_prefix(kByteOrderMark.size());
    if (text.empty()) return Refused(0, "the file is empty");
    TFirmwareFile file;
    std::size_t start = 0;
    for (std::size_t number = 1; start <= text.size(); ++number) {
        const std::string_view line = NextLine(text, start);
        if (line.empty()) continue;
        const std::string_view hex = line.substr(1);
        const THexScan scan = ScanHex(hex);
        if (line[0] != '!' && line[0] != '?')
            return Refused(number, "starts with " + FirstCharacter(line) + ", not \"!\" or \"?\"");
        if (std::string fault = HexFault(scan); !fault.empty())
            return Refused(number, std::move(fault));
        const std::size_t count = scan.Count / 2;
        if (line[0] == '!') {
            if (count > kBootDataCapacity)
                return Refused(number, std::to_string(count) + " bytes, at most " +
                                           std::to_string(kBootDataCapacity));
            std::vector<std::uint8_t>& record = file.Records.emplace_back(count);
            HexToBytes(hex, record.data(), record.size());
        } else {
            if (count != 5)
                return Refused(number, "header of " + std::to_string(count) + " bytes, needs 5");
            std::array<std::uint8_t, 5> header{};
            HexToBytes(hex, header.data(), header.size());
            const std::array<std::uint8_t, 4> code = {header[0], header[1], header[2], 0};
            if (code != expected)
                return Refused(number, "device code " + BytesToHex(header.data(), 3) +
                                           " is not this reader's");
            file.DeviceCode = code;
            file.HeaderFlag = header[4];
        }
    }
    TFirmwareCheck check;
    check.File = std::move(file);
    return check;
}

} // namespace quintrel
