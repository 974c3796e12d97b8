// Command and reply descriptions as the log shows them.

#include "decode/decoders.h"
#include "decode/describe.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <vector>

using namespace quintrel;

namespace {

// The payload in a heap block of exactly its size, so that the sanitizer build catches a
// decoder that reads past the data received.
std::vector<std::uint8_t> Exact(const std::string& hex) {
    const std::vector<std::uint8_t> bytes = test::Bytes(hex);
    return std::vector<std::uint8_t>(bytes.begin(), bytes.end());
}

std::string Decode(std::string (*decoder)(const std::uint8_t*, std::size_t),
                   const std::string& hex) {
    const std::vector<std::uint8_t> data = Exact(hex);
    return decoder(data.data(), data.size());
}

struct Describe : ::testing::Test {
    TVendorList vendors;
    std::uint32_t mfgId = 0x123456;

    std::string Reply(std::uint8_t code, const std::string& hex) {
        const std::vector<std::uint8_t> data = Exact(hex);
        return DescribeReply(code, data.data(), data.size(), vendors, mfgId);
    }
    std::string Command(std::uint8_t code, const std::string& hex) {
        const std::vector<std::uint8_t> data = Exact(hex);
        return DescribeCommand(code, data.data(), data.size());
    }
};

} // namespace

TEST_F(Describe, NamesAndParentheses) {
    EXPECT_EQ(Reply(0x41, "03"), "NAK(03)");
    EXPECT_EQ(Reply(0x40, ""), "ACK");
    EXPECT_EQ(Reply(0x80, "7C 4E 15 01"), "(7C 4E 15 01)");
    EXPECT_EQ(Reply(0x73, ""), "");
    EXPECT_EQ(Reply(0x79, "01"), "RES_BUSY(01)");
    EXPECT_EQ(Reply(0x9A, "AB"), "RES_9A(AB)");
    EXPECT_EQ(Command(0x69, "00 00 02 01 01 02 00 0A 00 00 00 00 01 01"),
              "SET_LED(00 00 02 01 01 02 00 0A 00 00 00 00 01 01)");
    EXPECT_EQ(Command(0x60, ""), "POLL");
    EXPECT_EQ(Command(0xAF, "0A"), "CMD_AF(0A)");
    // The same code has a different name in each direction.
    EXPECT_EQ(Command(0x76, ""), "SET_CHLNG");
    EXPECT_EQ(Reply(0x76, ""), "RES_CCRYPT");
    EXPECT_EQ(Command(0x67, ""), "CMD_67");
    EXPECT_EQ(Reply(0x67, ""), "GET_RSTAT");
}

// An osdp_KEYSET's key stays out of the log unless keys are to be shown: in its description
// and in the raw frame while the frame carries it readable (plain, or with a MAC only); an
// encrypted one, a reply and a too-short key type are shown as they are. (Frames written out
// by hand from the frame layout; the check bytes are not looked at here.)
TEST(KeysInTheLog, HiddenUnlessAsked) {
    const std::string key = "00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F";
    const std::vector<std::uint8_t> set = test::Bytes("01 10 " + key);
    EXPECT_EQ(DescribeCommand(0x75, set.data(), set.size()),
              "SET_KEY(01 10 (16 key bytes hidden))");
    EXPECT_EQ(DescribeCommand(0x75, set.data(), set.size(), true), "SET_KEY(01 10 " + key + ")");
    const std::vector<std::uint8_t> typeOnly = test::Bytes("01 10");
    EXPECT_EQ(DescribeCommand(0x75, typeOnly.data(), typeOnly.size()), "SET_KEY(01 10)");
    struct TCase {
        std::string Frame, Hidden; // Hidden empty: shown as it is
    };
    const std::vector<TCase> cases = {
        {"53 00 1A 00 04 75 01 10 " + key + " AA BB",
         "53 00 1A 00 04 75 01 10 (16 key bytes hidden) AA BB"},
        {"53 00 20 00 0C 02 15 75 01 10 " + key + " EE EE EE EE AA BB", // a MAC, no encryption
         "53 00 20 00 0C 02 15 75 01 10 (16 key bytes hidden) EE EE EE EE AA BB"},
        {"53 00 10 00 04 75 01 20 00 01 02 03 AA BB",
         "53 00 10 00 04 75 01 20 (4 key bytes hidden) AA BB"},
        {"53 00 2A 00 0C 02 17 75 " + key + " " + key + " 11 22 33 44 AA BB", ""},
        {"53 80 1A 00 04 75 01 10 " + key + " AA BB", ""},
        {"53 00 0C 00 04 75 01 10", ""}, // cut short: its layout does not hold
    };
    for (const TCase& c : cases) {
        const std::vector<std::uint8_t> frame = test::Bytes(c.Frame);
        EXPECT_EQ(RawFrameText(frame.data(), frame.size(), false),
                  c.Hidden.empty() ? c.Frame : c.Hidden);
        EXPECT_EQ(RawFrameText(frame.data(), frame.size(), true), c.Frame);
    }
}

TEST_F(Describe, RepliesGoToTheirDecoders) {
    EXPECT_EQ(Reply(0x46, "01 01 04"), "RES_CAP(4xINPUT01)");
    EXPECT_EQ(Reply(0x48, "00 01"), "RES_STAT(TAMPER=ok, POWER=error)");
    EXPECT_EQ(Reply(0x49, "00 01"), "RES_ISTAT(IN0=0, IN1=1)");
    EXPECT_EQ(Reply(0x4A, "01 00 02"), "RES_OSTAT(OUT0=1, OUT1=0, OUT2=2)");
    EXPECT_EQ(Reply(0x54, "05 80 25 00 00"), "RES_COM(ADDR=5, BAUD=9600)");
    EXPECT_EQ(Reply(0x53, "00 03 31 32 33"), "EVT_KEY(DATA=31 32 33, KEYS=123)");
    // Below its decoder's minimum a payload is plain hex.
    EXPECT_EQ(Reply(0x48, "01"), "RES_STAT(01)");
    EXPECT_EQ(Reply(0x54, "05 80 25 00"), "RES_COM(05 80 25 00)");
}

TEST_F(Describe, IdentificationNamesTheVendorAndFollowsTheMaker) {
    vendors.LoadFromText("MA-L,7C4E15,Maker Registry Name,Street\n"
                         "MA-L,7C4E51,,Maker Second,Street\n"
                         "MA-L,00A0B1,Someone Else,Street\n");
    EXPECT_EQ(Reply(0x45, "7C 4E 15 0A 01 78 56 34 12 02 0B 03"),
              "RES_ID(MANUF=7C4E15=TORVA | Maker Registry Name, MODEL=0A, HWVER=01, "
              "SERNO=12345678, FWVER=2.11.3)");
    EXPECT_EQ(mfgId, 0x7C4E15u);
    EXPECT_EQ(Reply(0x45, "7C 4E 51 00 00 00 00 00 00 01 00 00 FF"),
              "RES_ID(MANUF=7C4E51=Maker Second, MODEL=00, HWVER=00, SERNO=00000000, "
              "FWVER=1.0.0)");
    EXPECT_EQ(mfgId, 0x7C4E51u);
    EXPECT_EQ(Reply(0x45, "00 A0 B1 00 00 00 00 00 00 00 00 00"),
              "RES_ID(MANUF=00A0B1=Someone Else, MODEL=00, HWVER=00, SERNO=00000000, "
              "FWVER=0.0.0)");
    EXPECT_EQ(mfgId, 0x7C4E51u);
    // Eleven bytes are not an identification, even from the maker.
    mfgId = 0x123456;
    EXPECT_EQ(Reply(0x45, "7C 4E 15 0A 01 78 56 34 12 02 0B"),
              "RES_ID(7C 4E 15 0A 01 78 56 34 12 02 0B)");
    EXPECT_EQ(mfgId, 0x123456u);
}

TEST(Decoders, Capabilities) {
    EXPECT_EQ(Decode(DecodePdcap, "01 01 04 04 01 01 09 00 00 0A 00 04"),
              "4xINPUT01, LED01, NO-CRYPT, 1024xRXBUF01");
    // Compliance 0 hides the count; sizes are taken as compliance 1; unknown codes in decimal.
    EXPECT_EQ(Decode(DecodePdcap, "02 00 08 0B 01 00 0C 02 03"),
              "NO-OUTPUT, MSGSIZ01, 3xFunction Code 1202");
    // Up to two trailing bytes are not an entry.
    EXPECT_EQ(Decode(DecodePdcap, "05 01 01 06 01"), "BUZ01");
    EXPECT_EQ(Decode(DecodePdcap, "05 01"), "05 01");
}

TEST(Decoders, CardDataAsNumberOrBytes) {
    EXPECT_EQ(Decode(DecodeRaw, "00 01 1A 00 12 34 56 40"),
              "FORMAT=WIEGAND, BITLEN=26, DATA=48D159");
    EXPECT_EQ(Decode(DecodeRaw, "00 02 18 00 3B 45 31"),
              "FORMAT=MAGSTRIPE, BITLEN=24, DATA=3B 45 31");
    EXPECT_EQ(Decode(DecodeRaw, "00 1F 08 00 5A"), "FORMAT=1F, BITLEN=8, DATA=5A");
    // Whole bytes need no shift; 64 bits still fit one number, 65 do not.
    EXPECT_EQ(Decode(DecodeRaw, "00 00 40 00 81 02 03 04 05 06 07 08"),
              "FORMAT=RAW, BITLEN=64, DATA=8102030405060708");
    EXPECT_EQ(Decode(DecodeRaw, "00 01 41 00 81 02 03 04 05 06 07 08 80"),
              "FORMAT=WIEGAND, BITLEN=65, DATA=81 02 03 04 05 06 07 08 80");
    EXPECT_EQ(Decode(DecodeRaw, "00 01 00 00 FF"), "FORMAT=WIEGAND, BITLEN=0, DATA=0");
    EXPECT_EQ(Decode(DecodeRaw, "00 03 00 00 FF"), "FORMAT=FASC-N, BITLEN=0, DATA=");
    // The pad bits after the card's last bit are not part of it.
    EXPECT_EQ(Decode(DecodeRaw, "00 01 04 00 A0"), "FORMAT=WIEGAND, BITLEN=4, DATA=A");
    EXPECT_EQ(Decode(DecodeRaw, "00 01 1A 00"), "00 01 1A 00");
}

// The common layouts are read only when the bit count matches and every parity bit holds;
// the raw number always stays. Cards encoded outside the project, bit by bit.
TEST(Decoders, CardLayoutsWithTheirParity) {
    struct {
        const char* Payload;
        const char* Reading; // "" for none
    } const cases[] = {
        {"00 01 1A 00 09 50 D6 00", "26-bit FC=18 CN=41388"},
        {"00 00 1A 00 09 50 D6 00", "26-bit FC=18 CN=41388"}, // raw format, same bits
        {"00 01 1A 00 09 50 D6 40", ""},                      // last bit flipped
        {"00 01 1A 00 89 50 D6 00", ""},                      // first bit flipped
        {"00 01 22 00 82 69 6E EA 80", "34-bit FC=1234 CN=56789"},
        {"00 01 22 00 82 69 6E EA C0", ""},
        {"00 01 23 00 50 06 7E FC 40", "35-bit CC=1025 CN=654321"},
        {"00 01 23 00 50 06 7E FC 60", ""}, // the 35th bit flipped
        {"00 01 23 00 10 06 7E FC 40", ""}, // the second bit flipped
        {"00 01 23 00 D0 06 7E FC 40", ""}, // the first bit flipped
        {"00 01 25 00 09 1A 49 3E 18", "37-bit FC=4660 CN=300001"},
        {"00 01 25 00 09 1A 49 3E 10", ""},
        {"00 01 1B 00 09 50 D6 00", ""}, // 27 bits: no layout
        {"00 02 1A 00 09 50 D6 00", ""}, // magnetic stripe data is not Wiegand
    };
    for (const auto& c : cases) {
        const std::string text = Decode(DecodeRaw, c.Payload);
        const std::size_t comma = text.find(", ", text.find("DATA="));
        const std::string reading = comma == std::string::npos ? "" : text.substr(comma + 2);
        EXPECT_EQ(reading, c.Reading) << c.Payload << ": " << text;
    }
    EXPECT_EQ(Decode(DecodeRaw, "00 01 1A 00 09 50 D6 00"),
              "FORMAT=WIEGAND, BITLEN=26, DATA=254358, 26-bit FC=18 CN=41388");
}

TEST(Decoders, FormattedAndKeypadData) {
    EXPECT_EQ(Decode(DecodeFmt, "00 00 03 31 32 33"), "DATA=31 32 33");
    EXPECT_EQ(Decode(DecodeFmt, "00 01 03 31 32 33"), "DATA=33 32 31");
    EXPECT_EQ(Decode(DecodeKeypad, "00 04 31 32 33 0D"), "DATA=31 32 33 0D, KEYS=123#");
    EXPECT_EQ(Decode(DecodeKeypad, "00 06 7F 2A 23 41 44 20"),
              "DATA=7F 2A 23 41 44 20, KEYS=**#F1F4<20>");
    // A keypad reply with fewer than three keys is below the minimum.
    EXPECT_EQ(Decode(DecodeKeypad, "00 02 31 32"), "00 02 31 32");
}

// Bytes beyond what the count says (and the 5-byte minimum explains) are no data: shown by
// bytes, with a note, at one byte over and more.
TEST(Decoders, PayloadsLongerThanTheirOwnCount) {
    const struct {
        std::string (*Decoder)(const std::uint8_t*, std::size_t);
        const char* Payload;
        const char* Text;
    } cases[] = {
        {DecodeRaw, "00 01 1A 00 12 34 56 40 FF",
         "FORMAT=WIEGAND, BITLEN=26, DATA=12 34 56 40 (long: 5 of 4 bytes)"},
        {DecodeRaw, "00 01 08 00 5A 00", "FORMAT=WIEGAND, BITLEN=8, DATA=5A (long: 2 of 1 bytes)"},
        {DecodeRaw, "00 01 00 00 FF", "FORMAT=WIEGAND, BITLEN=0, DATA=0"}, // the minimum's byte
        {DecodeRaw, "00 01 00 00 FF FF", "FORMAT=WIEGAND, BITLEN=0, DATA= (long: 2 of 0 bytes)"},
        {DecodeFmt, "00 01 03 31 32 33 FF", "DATA=33 32 31 (long: 4 of 3 bytes)"},
        {DecodeFmt, "00 00 02 31 32", "DATA=31 32"},
        {DecodeKeypad, "00 04 31 32 33 0D 0D", "DATA=31 32 33 0D (long: 5 of 4 bytes)"},
        {DecodeKeypad, "00 03 31 32 33", "DATA=31 32 33, KEYS=123"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Decode(c.Decoder, c.Payload), c.Text) << c.Payload;
}

TEST(Decoders, PayloadsShorterThanTheirOwnCount) {
    EXPECT_EQ(Decode(DecodeRaw, "00 01 1A 00 48 D1"),
              "FORMAT=WIEGAND, BITLEN=26, DATA=48 D1 (short: 2 of 4 bytes)");
    EXPECT_EQ(Decode(DecodeRaw, "00 02 FF FF 01"),
              "FORMAT=MAGSTRIPE, BITLEN=65535, DATA=01 (short: 1 of 8192 bytes)");
    // Reversed order applies to the characters that arrived.
    EXPECT_EQ(Decode(DecodeFmt, "00 01 FF 41 42"), "DATA=42 41 (short: 2 of 255 bytes)");
    EXPECT_EQ(Decode(DecodeKeypad, "00 09 31 32 33"), "DATA=31 32 33 (short: 3 of 9 bytes)");
}
