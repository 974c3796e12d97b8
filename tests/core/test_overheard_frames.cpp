// The whole frames the reader of overheard traffic hands over beside its lines: bytes,
// direction, whether the check bytes held, and the times of the first and last byte.

#include "capture/overheard.h"
#include "osdp/frame_codec.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <random>

using namespace quintrel;

namespace {

std::vector<std::uint8_t> Frame(std::uint8_t command, bool reply, std::uint8_t address) {
    TOsdpRequest request;
    request.Command = command;
    request.Address = address;
    TDeviceState device;
    std::vector<std::uint8_t> tx(kFrameBufferSize);
    const TEncodeResult r = EncodeFrame(request, &device, true, tx.data(), reply);
    tx.resize(r.Length);
    return tx;
}

struct THeard {
    std::vector<std::uint8_t> Bytes;
    bool Reply, Whole, Intact;
    std::uint8_t Address, Code;
    std::int64_t First, Last;
};

struct TListener {
    TVendorList Vendors;
    std::vector<std::string> Lines;
    std::vector<THeard> Frames;
    TOverheardReader Reader{TCaptureView{false, true, true}, Vendors,
                            [this](std::int64_t, const std::string& l) { Lines.push_back(l); }};
    TListener() {
        Reader.SetFrameSink([this](const TOverheardReader::THeardFrame& f) {
            Frames.push_back({std::vector<std::uint8_t>(f.Bytes, f.Bytes + f.Count), f.Reply,
                              f.Whole, f.Intact, f.Address, f.Code, f.FirstTime, f.LastTime});
            // Handed over before the frame's lines.
            EXPECT_EQ(Lines.size(), Frames.size() - 1);
        });
    }
    void Feed(std::int64_t time, const std::vector<std::uint8_t>& bytes) {
        Reader.Feed(TCaptureIo::Trace, time, bytes.data(), bytes.size());
    }
};

} // namespace

TEST(OverheardFrames, EachFrameComesWithItsDirectionCheckAndTimes) {
    const auto poll = Frame(0x60, false, 5);
    auto ack = Frame(0x40, true, 5);
    TListener heard;
    heard.Feed(100, {0xFF, 0x00}); // a mark byte and noise: no frame starts here
    heard.Feed(120, std::vector<std::uint8_t>(poll.begin(), poll.begin() + 3));
    heard.Feed(150, std::vector<std::uint8_t>(poll.begin() + 3, poll.end()));
    heard.Feed(400, ack);
    ack.back() ^= 0x01;
    heard.Feed(500, ack);
    heard.Feed(600, std::vector<std::uint8_t>(poll.begin(), poll.begin() + 4));
    heard.Reader.Finish();

    ASSERT_EQ(heard.Frames.size(), 4u);
    const THeard& command = heard.Frames[0];
    EXPECT_EQ(command.Bytes, poll);
    EXPECT_FALSE(command.Reply);
    EXPECT_TRUE(command.Whole && command.Intact);
    EXPECT_EQ(command.Address, 5);
    EXPECT_EQ(command.Code, 0x60);
    EXPECT_EQ(command.First, 120); // the start byte's piece, not the noise before it
    EXPECT_EQ(command.Last, 150);

    const THeard& reply = heard.Frames[1];
    EXPECT_TRUE(reply.Reply && reply.Whole && reply.Intact);
    EXPECT_EQ(reply.Address, 5);
    EXPECT_EQ(reply.Code, 0x40);
    EXPECT_EQ(reply.First, 400);

    const THeard& damaged = heard.Frames[2];
    EXPECT_TRUE(damaged.Reply && damaged.Whole);
    EXPECT_FALSE(damaged.Intact);

    const THeard& cut = heard.Frames[3];
    EXPECT_FALSE(cut.Whole || cut.Intact);
    EXPECT_EQ(cut.Bytes.size(), 4u);
    EXPECT_EQ(cut.First, 600);
}

TEST(OverheardFrames, CheckBytesAtTheLimits) {
    const auto poll = Frame(0x60, false, 1);
    EXPECT_TRUE(CheckBytesHold(poll.data(), poll.size()));
    // One byte short of what it declares, and one byte past it.
    EXPECT_FALSE(CheckBytesHold(poll.data(), poll.size() - 1));
    auto longer = poll;
    longer.push_back(0);
    EXPECT_FALSE(CheckBytesHold(longer.data(), longer.size()));
    EXPECT_FALSE(CheckBytesHold(poll.data(), 0));
    auto bad = poll;
    bad[5] ^= 0x10;
    EXPECT_FALSE(CheckBytesHold(bad.data(), bad.size()));
}

// Damage on a busy line, with no quiet spell to end a false frame: one damaged frame costs
// only itself, and the frames it seemed to take in are read from the bytes already taken.
TEST(OverheardFrames, DamageCostsOnlyTheDamagedFrame) {
    struct TCase {
        const char* Name;
        std::function<void(std::vector<std::uint8_t>&)> Damage; // to the fourth frame
        std::size_t Lost;
    };
    std::mt19937 random(7);
    const std::vector<TCase> cases = {
        {"length made longer", [](auto& f) { f[2] |= 0x40; }, 1},
        {"length made shorter", [](auto& f) { f[2] = 7; }, 1},
        {"start byte flipped", [](auto& f) { f[0] ^= 0x01; }, 1},
        {"cut short", [](auto& f) { f.resize(f.size() - 2); }, 1},
        {"noise before it",
         [&](auto& f) {
             std::vector<std::uint8_t> noise = {0x53, 0x01, 0xF0, 0x00};
             for (int i = 0; i < 40; ++i)
                 noise.push_back(static_cast<std::uint8_t>(random()));
             f.insert(f.begin(), noise.begin(), noise.end());
         },
         0},
    };
    for (const TCase& c : cases) {
        TListener heard;
        std::size_t sent = 0;
        for (int i = 0; i < 40; ++i) {
            auto frame = Frame(i % 2 ? 0x40 : 0x60, i % 2 == 1, static_cast<std::uint8_t>(i % 5));
            if (i == 3) c.Damage(frame);
            heard.Feed(1000 + i, frame); // a microsecond apart: no gap ends a false frame
            ++sent;
        }
        heard.Reader.Finish();
        const auto intact = std::count_if(heard.Frames.begin(), heard.Frames.end(),
                                          [](const THeard& f) { return f.Intact; });
        EXPECT_EQ(static_cast<std::size_t>(intact), sent - c.Lost) << c.Name;
    }
}
