// Gathering frames from the line: false starts in noise cost nothing but themselves.

#include "osdp/frame_assembler.h"
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
