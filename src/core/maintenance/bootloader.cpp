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

namespace {

// Hex text that must read as it stands, into at most capacity bytes (one more is read,
// so a longer record is noticed rather than cut).
std::optional<std::vector<std::uint8_t>> StrictBytes(std::string_view hex, std::size_t capacity) {
    if (!IsStrictHex(hex)) return std::nullopt;
    std::vector<std::uint8_t> bytes(capacity + 1);
    bytes.resize(HexToBytes(hex, bytes.data(), bytes.size()));
    if (bytes.empty() || bytes.size() > capacity) return std::nullopt;
    return bytes;
}

} // namespace

std::optional<TFirmwareFile> LoadFirmwareFile(std::string_view text,
                                              const std::array<std::uint8_t, 4>& expected) {
    if (text.empty()) return std::nullopt;
    TFirmwareFile file;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(start, end - start);
        start = end + 1;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1); // CR LF files
        if (line.empty()) continue;
        const std::string_view hex = line.substr(1);
        if (line[0] == '!') {
            auto record = StrictBytes(hex, kBootDataCapacity);
            if (!record) return std::nullopt;
            file.Records.push_back(std::move(*record));
        } else if (line[0] == '?') {
            const auto header = StrictBytes(hex, 5);
            if (!header || header->size() != 5) return std::nullopt;
            const std::array<std::uint8_t, 4> code = {(*header)[0], (*header)[1], (*header)[2], 0};
            if (code != expected) return std::nullopt;
            file.DeviceCode = code;
            file.HeaderFlag = (*header)[4];
        } else {
            return std::nullopt;
        }
    }
    return file;
}

} // namespace quintrel
