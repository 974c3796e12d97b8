// Byte writers, check values and the hex helpers.

#include "log/hex.h"
#include "osdp/bytes.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <array>
#include <string>

using namespace quintrel;
using quintrel::test::Hex;

TEST(ByteWriters, WordAndLongInBothOrders) {
    std::array<std::uint8_t, 12> buf{};
    std::uint8_t* cursor = buf.data();
    PutWord(cursor, 0x1234, false);
    PutWord(cursor, 0x1234, true);
    PutLong(cursor, 0x01020304, true);
    PutLong(cursor, 0x01020304, false);
    EXPECT_EQ(cursor, buf.data() + 12);
    EXPECT_EQ(Hex(buf.data(), buf.size()), "34 12 12 34 01 02 03 04 04 03 02 01");
}

TEST(ByteWriters, PutBytesWithNonPositiveCountWritesNothing) {
    std::array<std::uint8_t, 4> buf{};
    const std::uint8_t src[] = {1, 2, 3};
    std::uint8_t* cursor = buf.data();
    PutBytes(cursor, 0, src);
    PutBytes(cursor, -5, src);
    EXPECT_EQ(cursor, buf.data());
    PutBytes(cursor, 3, src);
    EXPECT_EQ(Hex(buf.data(), 4), "01 02 03 00");
    InvertBytes(buf.data(), 2);
    EXPECT_EQ(Hex(buf.data(), 4), "FE FD 03 00");
}

TEST(CheckValues, CrcCheckValueAndChecksum) {
    const std::string digits = "123456789";
    EXPECT_EQ(CalcCrc16(reinterpret_cast<const std::uint8_t*>(digits.data()), digits.size()),
              0xE5CC);
    EXPECT_EQ(CalcCrc16(nullptr, 0), 0x1D0F);
    const std::uint8_t poll[] = {0x53, 0x00, 0x07, 0x00, 0x00, 0x60};
    EXPECT_EQ(CalcChecksum(poll, sizeof poll), 0x46);
    EXPECT_EQ(CalcChecksum(nullptr, 0), 0x00);
}

TEST(Hex, BytesToHexFormats) {
    const std::uint8_t bytes[] = {0x0A, 0xFF};
    EXPECT_EQ(BytesToHex(bytes, 2, true), "0A FF");
    EXPECT_EQ(BytesToHex(bytes, 2, false), "0AFF");
    EXPECT_EQ(BytesToHex(bytes, 0, true), "");
}

TEST(Hex, HexToBytesReadingRules) {
    std::array<std::uint8_t, 16> out{};
    auto parse = [&](const std::string& text) {
        out.fill(0xEE);
        return Hex(out.data(), HexToBytes(text, out.data(), out.size()));
    };
    EXPECT_EQ(parse("0x69 00 01 02"), "69 00 01 02");
    EXPECT_EQ(parse("69000102"), "69 00 01 02");
    EXPECT_EQ(parse("0x690x000x010x02"), "69 00 01 02");
    EXPECT_EQ(parse("ab Cd"), "AB CD");
    EXPECT_EQ(parse("0X12"), "00 12"); // upper-case X is not a prefix and spoils its pair
    EXPECT_EQ(parse("zz12"), "00 12"); // an invalid pair gives 00
    EXPECT_EQ(parse("123"), "12 03");  // an odd last character is one digit
    EXPECT_EQ(parse("12g"), "12 00");
    EXPECT_EQ(parse("00xx"), "00"); // "0x" is removed once, the rest is not rescanned
    EXPECT_EQ(parse(""), "");
    EXPECT_EQ(parse("   "), "");
}

TEST(Hex, HexToBytesHonoursCapacity) {
    std::array<std::uint8_t, 6> out{};
    out.fill(0xEE);
    EXPECT_EQ(HexToBytes("01 02 03 04 05 06 07", out.data(), 3), 3u);
    EXPECT_EQ(Hex(out.data(), out.size()), "01 02 03 EE EE EE");
    EXPECT_EQ(HexToBytes("0102", out.data(), 0), 0u);
    const std::string longText(10000, 'A');
    std::array<std::uint8_t, 2080> big{};
    EXPECT_EQ(HexToBytes(longText, big.data(), big.size()), 2080u);
}
