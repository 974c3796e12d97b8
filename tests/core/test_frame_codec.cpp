// Frame building and checking, byte for byte.

#include "osdp/bytes.h"
#include "osdp/frame_codec.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <array>
#include <vector>

using namespace quintrel;
using quintrel::test::Bytes;
using quintrel::test::Hex;

namespace {

struct Codec : ::testing::Test {
    std::array<TDeviceState, kDeviceCount> devices{};
    std::array<std::uint8_t, kFrameBufferSize> tx{};

    TOsdpRequest Request(std::uint8_t command, std::uint8_t address,
                         const std::vector<std::uint8_t>& payload = {}) {
        TOsdpRequest r;
        r.Command = command;
        r.Address = address;
        std::uint8_t* cursor = r.PayloadStart();
        PutBytes(cursor, static_cast<int>(payload.size()), payload.data());
        r.SetPayloadEnd(cursor);
        return r;
    }

    std::string Encode(const TOsdpRequest& r, bool useCrc) {
        TDeviceState* dev = r.Address < kDeviceCount ? &devices[r.Address] : nullptr;
        const TEncodeResult result = EncodeFrame(r, dev, useCrc, tx.data());
        EXPECT_TRUE(result.Ok) << result.Error;
        return Hex(tx.data(), result.Length);
    }

    TDecodedFrame Decode(std::vector<std::uint8_t>& frame) {
        return DecodeFrame(frame.data(), frame.size(), devices);
    }
};

} // namespace

TEST_F(Codec, PollAndIdInBothCheckModes) {
    EXPECT_EQ(Encode(Request(0x60, 0), false), "53 00 07 00 00 60 46");
    EXPECT_EQ(Encode(Request(0x60, 0), true), "53 00 08 00 04 60 EB AA");
    devices[0].Sequence = 1;
    EXPECT_EQ(Encode(Request(0x61, 0, {0x00}), true), "53 00 09 00 05 61 00 F0 51");
}

TEST_F(Codec, ChallengeBlockForcesSequenceZero) {
    devices[5].Sequence = 3;
    TOsdpRequest r = Request(0x76, 5, {1, 2, 3, 4, 5, 6, 7, 8});
    r.ScbLength = 3;
    r.ScbType = 0x11;
    r.ScbData[0] = 0x00;
    const std::string frame = Encode(r, true);
    EXPECT_EQ(devices[5].Sequence, 0);
    // CTRL: sequence 0, CRC, block; then the block 03 11 00 and the code.
    EXPECT_EQ(frame.substr(0, 26), "53 05 13 00 0C 03 11 00 76");
}

TEST_F(Codec, BroadcastCarriesSequenceZeroAndTouchesNoRecord) {
    for (auto& d : devices)
        d.Sequence = 2;
    EXPECT_EQ(Encode(Request(0x60, kBroadcastAddress), true).substr(0, 14), "53 7F 08 00 04");
    for (const auto& d : devices)
        EXPECT_EQ(d.Sequence, 2);
}

TEST_F(Codec, OversizedRequestIsRefusedWithoutWritingPastTheBuffer) {
    TOsdpRequest r = Request(0x69, 0);
    r.PayloadLength = 2073; // 7 + 2073 + 1 (CRC) = 2081 bytes
    tx.fill(0xEE);
    TEncodeResult result = EncodeFrame(r, &devices[0], true, tx.data());
    EXPECT_FALSE(result.Ok);
    EXPECT_STREQ(result.Error, "frame too long");
    EXPECT_EQ(tx[0], 0xEE);
    r.PayloadLength = 2072; // exactly fills the buffer
    result = EncodeFrame(r, &devices[0], true, tx.data());
    EXPECT_TRUE(result.Ok);
    EXPECT_EQ(result.Length, kFrameBufferSize);
    r.PayloadLength = 60000; // nonsense length
    EXPECT_FALSE(EncodeFrame(r, &devices[0], true, tx.data()).Ok);
    r.PayloadLength = 0;
    r.ScbLength = 1; // a block cannot be shorter than its length and type bytes
    EXPECT_FALSE(EncodeFrame(r, &devices[0], true, tx.data()).Ok);
}

TEST_F(Codec, AckReplyDecodes) {
    auto frame = Bytes("53 80 08 00 05 40 68 9F");
    const TDecodedFrame f = Decode(frame);
    EXPECT_TRUE(f.Valid);
    EXPECT_EQ(f.Address, 0);
    EXPECT_EQ(f.Code, 0x40);
    EXPECT_EQ(f.DataLength, 0u);
    EXPECT_FALSE(f.HasBlock());
}

TEST_F(Codec, CheckModeFollowsTheFrameNotTheSetting) {
    // A frame we built in one mode is accepted as a reply whatever we send with.
    auto withChecksum = Bytes("53 80 07 00 00 40 E6");
    EXPECT_TRUE(Decode(withChecksum).Valid);
    auto damaged = withChecksum;
    damaged[5] = 0x41;
    TDecodedFrame f = Decode(damaged);
    EXPECT_FALSE(f.Valid);
    EXPECT_STREQ(f.Error, "cksum error");

    auto withCrc = Bytes(Encode(Request(0x40, 0), true));
    withCrc[1] |= 0x80;
    // The reply bit is covered by the CRC, so re-seal it.
    const std::uint16_t crc = CalcCrc16(withCrc.data(), withCrc.size() - 2);
    withCrc[withCrc.size() - 2] = crc & 0xFF;
    withCrc[withCrc.size() - 1] = crc >> 8;
    EXPECT_TRUE(Decode(withCrc).Valid);
    withCrc[5] = 0x41;
    f = Decode(withCrc);
    EXPECT_FALSE(f.Valid);
    EXPECT_STREQ(f.Error, "crc error");

    // Once address 0 has answered a CRC command with a CRC, a checksum from it is damage
    // (a control byte that lost its CRC bit), until a command goes to it with a checksum.
    f = Decode(withChecksum);
    EXPECT_FALSE(f.Valid);
    EXPECT_STREQ(f.Error, "crc error");
    auto fromOther = Bytes("53 81 07 00 00 40 E5");
    EXPECT_TRUE(Decode(fromOther).Valid);
    Encode(Request(0x60, 0), false);
    EXPECT_TRUE(Decode(withChecksum).Valid);
}

TEST_F(Codec, EverySingleByteChangeOfACrcReplyIsCaught) {
    const auto good = Bytes("53 80 08 00 05 40 68 9F");
    auto first = good;
    ASSERT_TRUE(Decode(first).Valid); // address 0 has now answered with a CRC
    for (std::size_t at = 0; at < good.size(); ++at) {
        for (int flip = 1; flip < 256; ++flip) {
            auto bad = good;
            bad[at] ^= static_cast<std::uint8_t>(flip);
            EXPECT_FALSE(Decode(bad).Valid) << "byte " << at << " xor " << flip;
        }
    }
}

TEST_F(Codec, PlainReplyEndsTheSessionButADamagedOneDoesNot) {
    devices[0].Session.State = ssEstablished;
    auto ack = Bytes("53 80 08 00 05 40 68 9F");
    EXPECT_TRUE(Decode(ack).Valid);
    EXPECT_EQ(devices[0].Session.State, ssNone);

    // A damaged frame may not even be from this device: the engine decides (it repeats).
    devices[0].Session.State = ssEstablished;
    ack[6] ^= 1;
    EXPECT_FALSE(Decode(ack).Valid);
    EXPECT_EQ(devices[0].Session.State, ssEstablished);

    // A handshake is not ended here either; only the engine knows what a reply answers.
    devices[0].Session.State = ssChallengeSent;
    ack[6] ^= 1;
    EXPECT_TRUE(Decode(ack).Valid);
    EXPECT_EQ(devices[0].Session.State, ssChallengeSent);
}

TEST_F(Codec, UnprotectedBlockInAnOpenSessionEndsIt) {
    // 53 80 LEN CTRL 03 12 00 40 + CRC: a type-0x12 block carries no MAC.
    std::vector<std::uint8_t> frame = Bytes("53 80 0B 00 0D 03 12 00 40 00 00");
    const std::uint16_t crc = CalcCrc16(frame.data(), 9);
    frame[9] = crc & 0xFF;
    frame[10] = crc >> 8;
    devices[0].Session.State = ssEstablished;
    devices[0].Session.SEnc.fill(0x11);
    devices[0].Session.Scbk.fill(0x22);
    EXPECT_TRUE(Decode(frame).Valid);
    EXPECT_EQ(devices[0].Session.State, ssNone);
    EXPECT_EQ(devices[0].Session.SEnc, TAesKey{}); // session keys wiped
    EXPECT_EQ(devices[0].Session.Scbk[0], 0x22);   // the base key stays for the next key set
}

TEST_F(Codec, MalformedFramesAreRejectedInsideTheirBytes) {
    // Each frame is copied into a buffer of exactly its own size so that the
    // sanitizer run catches any read outside it.
    auto reject = [&](const std::string& hex, const char* expected) {
        auto bytes = Bytes(hex);
        std::vector<std::uint8_t> exact(bytes.begin(), bytes.end());
        const TDecodedFrame f = DecodeFrame(exact.data(), exact.size(), devices);
        EXPECT_FALSE(f.Valid) << hex;
        EXPECT_STREQ(f.Error, expected) << hex;
    };
    reject("53", "length error");
    reject("53 80", "length error");
    reject("53 80 03 00", "length error");
    reject("53 80 05 00 00", "length error");
    reject("53 80 06 00 00 40", "length error");
    reject("53 80 07 00 04 40 00", "length error");                // CRC bit, no room for 2 bytes
    reject("53 80 0A 00 00 40 00 00 00", "length error");          // LEN disagrees with the frame
    reject("53 80 21 08 00 40 00", "length error");                // LEN above the buffer
    reject("53 80 0A 00 0C 00 15 40 00 00", "block length error"); // block length 0
    reject("53 80 0A 00 0C 01 15 40 00 00", "block length error"); // block length 1
    reject("53 80 0A 00 0C 28 15 40 00 00", "block length error"); // 40 > work area
    reject("53 80 0A 00 0C 06 15 40 00 00", "block length error"); // runs past LEN
    reject("53 80 08 00 0C 02 15 40", "length error");             // no room for the CRC
}

TEST_F(Codec, MacFrameTooShortForItsMacIsRejected) {
    devices[0].Session.State = ssEstablished;
    // 53 80 LEN CTRL 02 16 40 + two bytes + CRC: two bytes cannot hold a 4-byte MAC.
    std::vector<std::uint8_t> frame = Bytes("53 80 0B 00 0C 02 16 40 AA BB 00 00");
    frame.resize(11);
    frame[2] = 11;
    const std::uint16_t crc = CalcCrc16(frame.data(), 9);
    frame[9] = crc & 0xFF;
    frame[10] = crc >> 8;
    const TDecodedFrame f = Decode(frame);
    EXPECT_FALSE(f.Valid);
    EXPECT_STREQ(f.Error, "length error");
    EXPECT_EQ(devices[0].Session.State, ssNone);
}

TEST_F(Codec, BroadcastReplyTouchesNoSession) {
    for (auto& d : devices)
        d.Session.State = ssEstablished;
    auto frame = Bytes("53 FF 07 00 00 40 00");
    frame[6] = CalcChecksum(frame.data(), 6);
    const TDecodedFrame f = Decode(frame);
    EXPECT_TRUE(f.Valid);
    EXPECT_EQ(f.Address, 0x7F);
    for (const auto& d : devices)
        EXPECT_EQ(d.Session.State, ssEstablished);
}
