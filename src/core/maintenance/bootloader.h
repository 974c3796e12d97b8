#pragma once
// The maker's bootloader on the raw line: its small frames (0xA0 + command, a length
// code, data, CRC-16/CCITT-FALSE high byte first), the reply assembler, and the kfw
// firmware file.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quintrel {

constexpr std::size_t kBootFrameCapacity = 60; // two header bytes, 54 data bytes, CRC, spare
constexpr std::size_t kBootDataCapacity = 54;
constexpr std::size_t kBootReplyCapacity = 256;
constexpr int kBootTimeoutMs = 250;

enum : std::uint8_t {
    bcSync = 0,
    bcStart = 2,
    bcWrite = 3,
    bcUnlock = 4,
    bcErase = 5,
    bcPrepare = 6,
    bcSetSpeed = 7,
};

// The RDX900's bootloader: the password its application takes to enter it, and the
// device code its firmware files carry (three bytes and a zero).
constexpr char kRdx900Password[] = "Rdx9Up";
constexpr std::array<std::uint8_t, 4> kRdx900DeviceCode = {0x52, 0x44, 0x39, 0x00};

// Line speeds by the index that command 7 carries.
constexpr std::array<int, 7> kBootRates = {1200, 2400, 9600, 19200, 38400, 57600, 115200};

std::uint16_t CalcBootCrc(const std::uint8_t* bytes, std::size_t count, std::uint16_t initial,
                          std::uint16_t polynomial);
// CRC-16/CCITT-FALSE over the first count bytes, stored high byte first behind them.
void AppendBootCrc(std::uint8_t* frame, std::size_t& count);
// False for two bytes or fewer.
bool CheckBootCrc(const std::uint8_t* frame, std::size_t count);

// Sixteens in bits 3..4, units in bits 0..2: lengths 0..7, 16..23, 32..39, 48..55 decode
// exactly; a length with bit 3 set is announced as the next multiple of 16.
std::uint8_t EncodeBootLength(std::size_t n);
std::size_t DecodeBootLength(std::uint8_t code);

// 0xA0 + command, the length code, the data and the CRC into frame; returns n + 4, or 0
// when the data does not fit.
std::size_t BuildBootFrame(std::uint8_t command, const std::uint8_t* data, std::size_t n,
                           std::array<std::uint8_t, kBootFrameCapacity>& frame);

// Assembles the bootloader's replies byte by byte. A frame starts with a byte whose bits
// 7 and 5 are set; it is positive when its CRC holds and its status bits are 0x40 or 0x60.
class TBootReplyAssembler {
  public:
    enum class TResult { Pending, Positive, Negative };
    TResult Feed(std::uint8_t b);
    void Clear() { Count = 0; }
    std::size_t Held() const { return Count; }

  private:
    std::array<std::uint8_t, kBootReplyCapacity> Bytes{};
    std::size_t Count = 0;
};

struct TFirmwareFile {
    std::vector<std::vector<std::uint8_t>> Records; // in file order, 1..54 bytes each
    std::array<std::uint8_t, 4> DeviceCode{};       // zero without a header record
    std::uint8_t HeaderFlag = 0;                    // the header's fifth byte
};

// The outcome of checking a kfw file: the file, or why it was refused and where.
struct TFirmwareCheck {
    std::optional<TFirmwareFile> File;
    std::size_t Line = 0; // counted from 1; 0 when the fault is the whole file's
    std::string Reason;   // "not hex", "55 bytes, at most 54"; empty when File holds one
    // "line 12: not hex", or the reason alone when no line is at fault.
    std::string Text() const;
};

// The kfw rules: blank lines skipped; "!" data records of 1..54 bytes; "?" header records
// of exactly 5 bytes whose device code and a zero byte equal expected (the last one's flag
// counts); any other first character, hex that is not hex or has an odd number of digits,
// or no line at all: invalid. Lines end in LF, CR LF or CR alone; a UTF-8 byte-order mark
// before the first line is no part of it.
TFirmwareCheck LoadFirmwareFile(std::string_view text, const std::array<std::uint8_t, 4>& expected);

} // namespace quintrel
