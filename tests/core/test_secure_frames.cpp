// Protected frames: padding, encryption, MAC chaining and the reply checks.
//
// The reference exchange comes from vectors/secure_channel.md in the project's
// shared reference material (computed independently with python3-cryptography and
// cross-checked by a second implementation).

#include "crypto/aes.h"
#include "crypto/secure_message.h"
#include "osdp/bytes.h"
#include "osdp/frame_codec.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <vector>

using namespace quintrel;
using quintrel::test::Bytes;
using quintrel::test::Hex;

namespace {

TAesBlock Block(const std::string& hex) {
    TAesBlock b{};
    const auto v = Bytes(hex);
    std::copy_n(v.begin(), std::min<std::size_t>(16, v.size()), b.begin());
    return b;
}

struct ProtectedFrames : ::testing::Test {
    std::array<TDeviceState, kDeviceCount> devices{};
    std::array<std::uint8_t, kFrameBufferSize> tx{};

    void SetUp() override {
        // Session keys of the reference handshake (SCBK-D, RND.A A0..A7).
        TSecureSession& s = devices[0].Session;
        s.SEnc = Block("AA 6B 7A BE 6F 33 4D B9 7D FA DD 34 89 E3 C7 6A");
        s.SMac1 = Block("DE FF 1E B0 5C C9 40 F1 B9 07 BD 07 83 25 9E 12");
        s.SMac2 = Block("4E 39 35 7F BF 0F CA 81 76 D9 E5 71 56 3A 56 A2");
        s.LastMac = Block("50 08 2A 57 F1 1A BA 6D DC 35 49 FC 9D 91 1C BF"); // R-MAC-I
        s.State = ssEstablished;
    }

    TEncodeResult Send(std::uint8_t command, const std::vector<std::uint8_t>& payload,
                       std::uint8_t address = 0) {
        TOsdpRequest r;
        r.Command = command;
        r.Address = address;
        std::uint8_t* cursor = r.PayloadStart();
        PutBytes(cursor, static_cast<int>(payload.size()), payload.data());
        r.SetPayloadEnd(cursor);
        return EncodeFrame(r, &devices[address], true, tx.data());
    }
};

} // namespace

TEST_F(ProtectedFrames, ReferenceExchangeOfFourFrames) {
    devices[0].Sequence = 1;
    TEncodeResult poll = Send(0x60, {});
    ASSERT_TRUE(poll.Ok);
    EXPECT_EQ(poll.ScbType, 0x15);
    EXPECT_EQ(Hex(tx.data(), poll.Length), "53 00 0E 00 0D 02 15 60 61 D5 5F B8 9F 90");
    EXPECT_EQ(devices[0].Session.LastMac, Block("61 D5 5F B8 FC 9E 59 85 25 41 48 0E 2A D6 E2 2F"));

    auto ack = Bytes("53 80 0E 00 0D 02 16 40 16 1C 3F 31 D4 7F");
    TDecodedFrame reply = DecodeFrame(ack.data(), ack.size(), devices);
    ASSERT_TRUE(reply.Valid);
    EXPECT_EQ(reply.Code, 0x40);
    EXPECT_EQ(reply.DataLength, 0u);
    EXPECT_EQ(devices[0].Session.LastMac, Block("16 1C 3F 31 0D 34 98 6F 0D E2 51 48 20 8C B2 45"));

    devices[0].Sequence = 2;
    TEncodeResult led = Send(0x69, Bytes("00 00 02 01 01 02 00 0A 00 00 00 00 01 01"));
    ASSERT_TRUE(led.Ok);
    EXPECT_EQ(led.ScbType, 0x17);
    EXPECT_EQ(Hex(tx.data(), led.Length),
              "53 00 1E 00 0E 02 17 69 13 BF 46 0A 5A 87 9A 3E 79 42 A2 AE 1D 37 53 00 C8 0D E8 "
              "55 36 E4");

    auto pdid = Bytes("53 80 1E 00 0E 02 18 45 07 4B F1 28 FB 18 47 20 CD E4 D0 93 5B 6D E9 A4 "
                      "3F DD FF 54 C5 16");
    reply = DecodeFrame(pdid.data(), pdid.size(), devices);
    ASSERT_TRUE(reply.Valid);
    EXPECT_EQ(reply.Code, 0x45);
    EXPECT_EQ(Hex(pdid.data() + reply.DataStart, reply.DataLength),
              "7C 4E 15 09 01 78 56 34 12 01 02 03");
    EXPECT_EQ(devices[0].Session.LastMac, Block("3F DD FF 54 6D A7 A7 C6 BE 23 AF 02 14 91 B1 60"));
    EXPECT_EQ(devices[0].Session.State, ssEstablished);
}

TEST_F(ProtectedFrames, FlippedMacBitInvalidatesAndWipesTheSession) {
    devices[0].Sequence = 1;
    ASSERT_TRUE(Send(0x60, {}).Ok);
    auto ack = Bytes("53 80 0E 00 0D 02 16 40 16 1C 3F 31 D4 7F");
    ack[8] ^= 0x01;
    const std::uint16_t crc = CalcCrc16(ack.data(), ack.size() - 2);
    ack[ack.size() - 2] = crc & 0xFF;
    ack[ack.size() - 1] = crc >> 8;
    const TDecodedFrame reply = DecodeFrame(ack.data(), ack.size(), devices);
    EXPECT_FALSE(reply.Valid);
    EXPECT_STREQ(reply.Error, "");
    // The session ends, and nothing of it stays in memory.
    EXPECT_EQ(devices[0].Session.State, ssNone);
    EXPECT_EQ(devices[0].Session.LastMac, TAesBlock{});
    EXPECT_EQ(devices[0].Session.SMac1, TAesKey{});
}

TEST_F(ProtectedFrames, PaddingLengthsAndBlockLayout) {
    // 15 bytes get one padding byte, 16 a whole block: LEN = 7 + 2 + data + pad + 4 + 1.
    TEncodeResult r = Send(0x6B, std::vector<std::uint8_t>(15, 0x11));
    ASSERT_TRUE(r.Ok);
    EXPECT_EQ(r.Length, 7u + 2 + 16 + 4 + 1);

    TAesBlock iv = devices[0].Session.LastMac;
    InvertBytes(iv.data(), 16);
    r = Send(0x6B, std::vector<std::uint8_t>(16, 0x11));
    ASSERT_TRUE(r.Ok);
    EXPECT_EQ(r.Length, 7u + 2 + 32 + 4 + 1);
    EXPECT_EQ(Hex(tx.data() + 4, 4), "0C 02 17 6B");
    // Decrypting the 32 bytes shows the data and a whole block of 80 00 .. 00.
    AesCbcDecrypt(devices[0].Session.SEnc.data(), tx.data() + 8, 32, iv);
    EXPECT_EQ(Hex(tx.data() + 8, 32), Hex(Bytes("11111111111111111111111111111111"
                                                "80000000000000000000000000000000")));
}

TEST_F(ProtectedFrames, DeviceSideRoundTripAndPaddingRemoval) {
    // A test-side device with the same keys answers a protected command.
    TSecureSession device = devices[0].Session;
    ASSERT_TRUE(Send(0x69, Bytes("00 00 02 01 01 02 00 0A 00 00 00 00 01 01")).Ok);
    const TSecureSession afterCommand = devices[0].Session;

    auto buildReply = [&](const std::vector<std::uint8_t>& plainWithPadding) {
        // Frame: 53 80 LEN CTRL 02 18 45 <encrypted> <MAC4> <CRC2>
        std::vector<std::uint8_t> f = {0x53, 0x80, 0, 0, 0x0D, 0x02, 0x18, 0x45};
        f.insert(f.end(), plainWithPadding.begin(), plainWithPadding.end());
        TSecureSession dev = device;
        dev.LastMac = afterCommand.LastMac;
        TAesBlock chain = dev.LastMac;
        InvertBytes(chain.data(), 16);
        AesCbcEncrypt(dev.SEnc.data(), f.data() + 8, plainWithPadding.size(), chain);
        const std::size_t len = f.size() + 4 + 2;
        f[2] = static_cast<std::uint8_t>(len);
        const TAesBlock mac = ComputeMac(f.data(), f.size(), dev);
        f.insert(f.end(), mac.begin(), mac.begin() + 4);
        const std::uint16_t crc = CalcCrc16(f.data(), f.size());
        f.push_back(crc & 0xFF);
        f.push_back(crc >> 8);
        return f;
    };
    auto check = [&](const std::vector<std::uint8_t>& plain) {
        devices[0].Session = afterCommand;
        auto frame = buildReply(plain);
        const TDecodedFrame r = DecodeFrame(frame.data(), frame.size(), devices);
        EXPECT_TRUE(r.Valid);
        return Hex(frame.data() + r.DataStart, r.DataLength);
    };
    std::vector<std::uint8_t> p(16, 0x00);
    p[0] = 0x01;
    p[1] = 0x02;
    p[2] = 0x80;
    EXPECT_EQ(check(p), "01 02");
    p.assign(16, 0x00);
    p[12] = 0x80;
    p[13] = 0x80;
    EXPECT_EQ(check(p), "00 00 00 00 00 00 00 00 00 00 00 00 80"); // 80 80 00 keeps the first
    p.assign(16, 0x33);
    EXPECT_EQ(check(p), ""); // no 0x80 at all: no data
}

TEST_F(ProtectedFrames, EncryptedReplyNotWholeBlocksIsRejected) {
    TSecureSession dev = devices[0].Session;
    std::vector<std::uint8_t> f = {0x53, 0x80, 0, 0, 0x0D, 0x02, 0x18, 0x45};
    f.insert(f.end(), 10, 0x42); // 10 "encrypted" bytes
    f[2] = static_cast<std::uint8_t>(f.size() + 6);
    const TAesBlock mac = ComputeMac(f.data(), f.size(), dev);
    f.insert(f.end(), mac.begin(), mac.begin() + 4);
    const std::uint16_t crc = CalcCrc16(f.data(), f.size());
    f.push_back(crc & 0xFF);
    f.push_back(crc >> 8);
    std::vector<std::uint8_t> exact(f);
    const TDecodedFrame r = DecodeFrame(exact.data(), exact.size(), devices);
    EXPECT_FALSE(r.Valid);
    EXPECT_STREQ(r.Error, "data length error");
    EXPECT_EQ(Hex(exact.data() + 8, 10), Hex(f.data() + 8, 10)); // not decrypted
}

TEST_F(ProtectedFrames, BroadcastIsNeverProtected) {
    TOsdpRequest r;
    r.Command = 0x60;
    r.Address = kBroadcastAddress;
    TEncodeResult plain = EncodeFrame(r, nullptr, true, tx.data());
    ASSERT_TRUE(plain.Ok);
    EXPECT_EQ(plain.ScbLength, 0);
    r.ScbLength = 2;
    r.ScbType = 0x15;
    const TEncodeResult refused = EncodeFrame(r, nullptr, true, tx.data());
    EXPECT_FALSE(refused.Ok);
}
