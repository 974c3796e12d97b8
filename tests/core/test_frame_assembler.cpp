// Gathering frames from the line: false starts in noise cost nothing but themselves.

#include "osdp/frame_assembler.h"
#include "osdp/frame_codec.h"
#include "test_support.h"

#include <gtest/gtest.h>

using namespace quintrel;
using quintrel::test::Bytes;
using quintrel::test::Hex;

TEST(FrameAssembler, FramesBehindNoiseAreKept) {
    const std::string ack = "53 80 08 00 05 40 68 9F";
    const struct {
        std::string Line;
        int SecondStarts;
    } cases[] = {
        {ack, 0},
        {"11 22 53 00 FF " + ack, 0},      // a false start whose LEN would be 0x53FF
        {"53 80 FF 0F 00 " + ack, 0},      // LEN above the buffer
        {"53 80 06 00 " + ack, 0},         // LEN below any frame
        {"53 80 07 00 04 " + ack, 0},      // LEN below what CRC mode needs
        {"53 53 80 08 00 05 40 68 9F", 1}, // a second start byte: the frame starts there
        {"53 00 53 53 11 " + ack, 0},      // noise with start bytes of its own
    };
    for (const auto& c : cases) {
        TFrameAssembler a;
        std::vector<std::string> frames;
        int second = 0;
        for (std::uint8_t b : Bytes(c.Line)) {
            const auto step = a.Feed(b);
            if (step == TFrameAssembler::TStep::SecondStart) ++second;
            if (step == TFrameAssembler::TStep::Frame) {
                frames.push_back(Hex(a.Data(), a.Held()));
                a.Reset();
            }
        }
        EXPECT_EQ(frames, std::vector<std::string>{ack}) << c.Line;
        EXPECT_EQ(second, c.SecondStarts) << c.Line;
        EXPECT_EQ(a.Held(), 0u) << c.Line;
    }
}

// A reply as long as the receive buffer is gathered and checked whole; one byte longer is a
// false start (its LEN cannot belong to a frame), and nothing is written past the buffer.
TEST(FrameAssembler, FrameAsLongAsTheBuffer) {
    TOsdpRequest reply;
    reply.Command = 0x90;
    reply.PayloadLength = static_cast<std::uint16_t>(kFrameBufferSize - 8);
    for (std::size_t i = 0; i < reply.PayloadLength; ++i)
        reply.Payload[i] = static_cast<std::uint8_t>(i * 13);
    std::vector<std::uint8_t> frame(kFrameBufferSize);
    TDeviceState device;
    ASSERT_EQ(EncodeFrame(reply, &device, true, frame.data(), true).Length, kFrameBufferSize);
    for (const std::size_t extra : {0, 1}) {
        std::vector<std::uint8_t> line = frame;
        line.resize(kFrameBufferSize + extra, 0x00);
        const std::size_t length = line.size();
        line[2] = static_cast<std::uint8_t>(length);
        line[3] = static_cast<std::uint8_t>(length >> 8);
        TFrameAssembler a;
        std::size_t frames = 0;
        for (std::uint8_t b : line)
            if (a.Feed(b) == TFrameAssembler::TStep::Frame) {
                ++frames;
                EXPECT_EQ(a.Held(), kFrameBufferSize);
                std::vector<std::uint8_t> got(a.Data(), a.Data() + a.Held());
                std::array<TDeviceState, kDeviceCount> devices{};
                EXPECT_TRUE(DecodeFrame(got.data(), got.size(), devices).Valid);
                a.Reset();
            }
        EXPECT_EQ(frames, extra == 0 ? 1u : 0u) << "LEN " << length;
    }
}
