// The bootloader's frames, reply assembly and the kfw firmware file.

#include "maintenance/bootloader.h"
#include "test_support.h"

#include <gtest/gtest.h>

using namespace quintrel;
using quintrel::test::Bytes;
using quintrel::test::Hex;

TEST(Bootloader, CrcAndSyncFrame) {
    const std::string check = "123456789";
    EXPECT_EQ(CalcBootCrc(reinterpret_cast<const std::uint8_t*>(check.data()), check.size(), 0xFFFF,
                          0x1021),
              0x29B1); // CRC-16/CCITT-FALSE check value
    std::array<std::uint8_t, kBootFrameCapacity> frame{};
    ASSERT_EQ(BuildBootFrame(bcSync, nullptr, 0, frame), 4u);
    EXPECT_EQ(Hex(frame.data(), 4), "A0 00 00 71");
    EXPECT_TRUE(CheckBootCrc(frame.data(), 4));
    frame[3] ^= 1;
    EXPECT_FALSE(CheckBootCrc(frame.data(), 4));
    EXPECT_FALSE(CheckBootCrc(frame.data(), 2));
    std::array<std::uint8_t, kBootDataCapacity + 1> big{};
    EXPECT_EQ(BuildBootFrame(bcWrite, big.data(), big.size(), frame), 0u);
    EXPECT_EQ(BuildBootFrame(bcWrite, big.data(), kBootDataCapacity, frame), kBootDataCapacity + 4);
}

TEST(Bootloader, LengthCodes) {
    const struct {
        std::size_t From, To;
        std::uint8_t Code;
    } table[] = {{0, 0, 0x00},   {1, 1, 0x01},   {4, 4, 0x04},   {7, 7, 0x07},
                 {8, 16, 0x08},  {17, 17, 0x09}, {23, 23, 0x0F}, {24, 32, 0x10},
                 {39, 39, 0x17}, {40, 48, 0x18}, {54, 54, 0x1E}};
    for (const auto& row : table)
        for (std::size_t n = row.From; n <= row.To; ++n)
            EXPECT_EQ(EncodeBootLength(n), row.Code) << n;
    for (std::uint8_t code = 0; code < 0x20; ++code) // every code names one of its lengths
        EXPECT_EQ(EncodeBootLength(DecodeBootLength(code)), code) << int(code);
    EXPECT_EQ(DecodeBootLength(0x1E), 54u);
    EXPECT_EQ(DecodeBootLength(0x08), 16u);
}

TEST(Bootloader, ReplyAssembly) {
    std::array<std::uint8_t, kBootFrameCapacity> frame{};
    BuildBootFrame(bcSync, nullptr, 0, frame);
    frame[0] = 0xA1;
    frame[1] = 0x40;
    std::size_t count = 2;
    AppendBootCrc(frame.data(), count);
    TBootReplyAssembler a;
    std::vector<std::uint8_t> stream = {0x55};
    stream.insert(stream.end(), frame.begin(), frame.begin() + 4);
    std::vector<TBootReplyAssembler::TResult> results;
    for (std::uint8_t b : stream)
        results.push_back(a.Feed(b));
    EXPECT_EQ(results.back(), TBootReplyAssembler::TResult::Positive);
    EXPECT_EQ(std::count(results.begin(), results.end(), TBootReplyAssembler::TResult::Pending), 4);

    // Status 0x20, or a bad CRC: a complete frame, but negative.
    for (const char* bad : {"A1 20", "A1 40 00 00"}) {
        auto bytes = Bytes(bad);
        std::size_t n = bytes.size();
        if (n == 2) {
            bytes.resize(4);
            AppendBootCrc(bytes.data(), n);
        }
        TBootReplyAssembler::TResult last{};
        for (std::uint8_t b : bytes)
            last = a.Feed(b);
        EXPECT_EQ(last, TBootReplyAssembler::TResult::Negative) << bad;
    }
    // A reply with data waits for all of it.
    auto withData = Bytes("A3 42 11 22");
    std::size_t n = 4;
    withData.resize(6);
    AppendBootCrc(withData.data(), n);
    for (std::size_t i = 0; i + 1 < withData.size(); ++i)
        EXPECT_EQ(a.Feed(withData[i]), TBootReplyAssembler::TResult::Pending);
    EXPECT_EQ(a.Feed(withData.back()), TBootReplyAssembler::TResult::Positive);
}

TEST(Bootloader, FirmwareFileRules) {
    const std::array<std::uint8_t, 4> code = kRdx900DeviceCode;
    const std::string header = "?524439AA01\n";
    const std::string record55 = "!" + std::string(110, 'A');
    const std::string record54 = "!" + std::string(108, 'A');
    const struct {
        std::string Text;
        std::string Refusal; // empty: the file is valid
        std::size_t Records;
    } cases[] = {
        {header + "!0102\n!03\n", "", 2},
        {"\n\n\r\n", "", 0}, // blank lines only
        {"", "the file is empty", 0},
        {"\xEF\xBB\xBF", "the file is empty", 0}, // a byte-order mark is no line
        {"#comment\n!01\n", "line 1: starts with \"#\", not \"!\" or \"?\"", 0},
        {"!01\n\x01", "line 2: starts with byte 01, not \"!\" or \"?\"", 0},
        {"?52443901\n", "line 1: header of 4 bytes, needs 5", 0},
        {"?524439010203\n", "line 1: header of 6 bytes, needs 5", 0},
        {"!01\n?524438AA01\n", "line 2: device code 52 44 38 is not this reader's", 0},
        {header + record54 + "\n", "", 1}, // 54 bytes fit a frame
        {header + "!01\n" + record55 + "\n", "line 3: 55 bytes, at most 54", 0},
        {header + "!01zz02\n", "line 2: not hex", 0},
        {"!0102030\n", "line 1: odd number of hex digits", 0}, // not 01 02 03 00
        {"?524439000\n", "line 1: odd number of hex digits", 0},
        {header + "!\n", "line 2: no bytes", 0},
        {header + "! 0x \n", "line 2: no bytes", 0},
        {"!01 02\r\n!0x030x04\n", "", 2}, // CR LF, blanks and 0x
        // Lines are counted the same whatever ends them: LF, CR LF, CR alone, blank or not.
        {"!01\r\n\r\n!02\r!03\n\r!0G\n", "line 6: not hex", 0},
    };
    for (const auto& c : cases) {
        const TFirmwareCheck check = LoadFirmwareFile(c.Text, code);
        EXPECT_EQ(check.Text(), c.Refusal) << c.Text;
        EXPECT_EQ(check.File.has_value(), c.Refusal.empty()) << c.Text;
        if (check.File) {
            EXPECT_EQ(check.File->Records.size(), c.Records) << c.Text;
        }
    }
    const auto spaced = LoadFirmwareFile("!0x01 0x02 0x03\n?5244390001", code).File;
    const auto plain = LoadFirmwareFile("!010203\n?5244390000\n?5244390001", code).File;
    ASSERT_TRUE(spaced && plain);
    EXPECT_EQ(spaced->Records, plain->Records);
    EXPECT_EQ(plain->HeaderFlag, 0x01); // the last header's flag
    EXPECT_EQ(plain->DeviceCode, code);
    EXPECT_EQ(LoadFirmwareFile("!01", code).File->DeviceCode, (std::array<std::uint8_t, 4>{}));
}

// However its lines end, and with a byte-order mark or without, a file gives the same image.
TEST(Bootloader, FirmwareFileLineEnds) {
    const std::string lines[] = {"?5244390002", "!0102", "", "!0x03 0x04 05"};
    const auto join = [&](const std::string& end) {
        std::string text;
        for (const std::string& line : lines)
            text += line + end;
        return text;
    };
    const auto lf = LoadFirmwareFile(join("\n"), kRdx900DeviceCode).File;
    ASSERT_TRUE(lf);
    EXPECT_EQ(lf->Records, (std::vector<std::vector<std::uint8_t>>{{1, 2}, {3, 4, 5}}));
    for (const std::string& text :
         {join("\r\n"), join("\r"), "\xEF\xBB\xBF" + join("\n"), "\xEF\xBB\xBF" + join("\r")}) {
        const auto file = LoadFirmwareFile(text, kRdx900DeviceCode).File;
        ASSERT_TRUE(file) << text;
        EXPECT_EQ(file->Records, lf->Records) << text;
        EXPECT_EQ(file->HeaderFlag, 0x02) << text;
    }
}
