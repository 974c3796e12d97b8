// Capture files: the line form other tools read and write, and what a captured frame says.

#include "capture/capture_format.h"
#include "osdp/frame_codec.h"
#include "test_support.h"

#include <gtest/gtest.h>

using namespace quintrel;
using quintrel::test::Bytes;

namespace {

std::vector<std::uint8_t> Frame(std::uint8_t command, const std::vector<std::uint8_t>& payload,
                                bool reply, std::uint8_t address = 3) {
    TOsdpRequest request;
    request.Command = command;
    request.Address = address;
    std::copy(payload.begin(), payload.end(), request.Payload.begin());
    request.PayloadLength = static_cast<std::uint16_t>(payload.size());
    TDeviceState device;
    std::vector<std::uint8_t> tx(kFrameBufferSize);
    const TEncodeResult r = EncodeFrame(request, &device, true, tx.data(), reply);
    tx.resize(r.Length);
    return tx;
}

TCaptureRecord Record(TCaptureIo io, const std::vector<std::uint8_t>& data) {
    TCaptureRecord r;
    r.Io = io;
    r.Data = data;
    return r;
}

} // namespace

TEST(CaptureFormat, WrittenLinesReadBackAndFollowTheConventions) {
    TCaptureRecord r = Record(TCaptureIo::Input, Bytes("5383080004404B2A"));
    r.Seconds = 1765152000;
    r.Nanos = 5000;
    r.Source = "Quintrel \"1.0\"";
    const std::string line = FormatCaptureLine(r);
    EXPECT_EQ(line, "{\"timeSec\":\"1765152000\",\"timeNano\":\"000005000\",\"io\":\"input\","
                    "\"data\":\"5383080004404b2a\",\"osdpTraceVersion\":\"1\","
                    "\"osdpSource\":\"Quintrel \\\"1.0\\\"\"}");
    TCaptureRecord back;
    std::string error;
    ASSERT_TRUE(ParseCaptureLine(line, back, error)) << error;
    EXPECT_EQ(back.Seconds, r.Seconds);
    EXPECT_EQ(back.Nanos, r.Nanos);
    EXPECT_EQ(back.Io, r.Io);
    EXPECT_EQ(back.Data, r.Data);
    EXPECT_EQ(back.Source, r.Source);
}

TEST(CaptureFormat, ReadsWhatOtherWritersWriteAndRefusesTheRest) {
    struct TCase {
        const char* Line;
        const char* Error; // empty: the line reads
    };
    const TCase cases[] = {
        {R"({ "timeSec" : "1589918473", "timeNano" : "383645999", "io" : "trace", "data" : "530009000460f1ac", "osdpTraceVersion" : "1", "osdpSource" : "x" })",
         ""},
        {R"({"io":"output","data":"53-00-08-00-04-60-41-8C","timeNano":12,"timeSec":1608743486,"extra":{"a":[1,2,{"b":null}]}})",
         ""},
        {R"({"timeSec":"1","timeNano":"0","io":"input","data":"53 00 08 00 04 40 4B 2A"})", ""},
        {R"({"timeSec":"1","timeNano":"0","io":"input"})", "data missing"},
        {R"({"timeSec":"1","timeNano":"0","io":"sideways","data":"53"})", "bad io"},
        {R"({"timeSec":"1","timeNano":"999999999","io":"input","data":"53"})", ""},
        {R"({"timeSec":"1","timeNano":"1000000000","io":"input","data":"53"})", "bad timeNano"},
        {R"({"timeSec":"-1","timeNano":"0","io":"input","data":"53"})", "bad timeSec"},
        {R"({"timeSec":"1","timeNano":"0","io":"input","data":"530"})", "bad data"},
        {R"({"timeSec":"1","timeNano":"0","io":"input","data":"5 3"})", "bad data"},
        {R"({"timeSec":"1","timeNano":"0","io":"input","data":""})", "bad data"},
        {R"({"timeSec":"1","timeNano":"0","io":"input","data":"53","osdpTraceVersion":"2"})",
         "trace version 2 unknown"},
        {R"({"timeSec":"1","timeNano":"0","io":"input","data":"53"} trailing)",
         "text after the object"},
        {R"({"timeSec":"1","timeNano":"0","io":"input","data":"53")", "',' missing"},
        {R"(["timeSec"])", "not a JSON object"},
        {R"({"a":[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[1]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]})",
         "bad value of a"},
        {R"({"timeSec":"1\u0031","timeNano":"0","io":"input","data":"53"})", ""},
        {R"({"timeSec":"1","timeNano":"0","io":"input","data":"53\x"})", "bad value of data"},
    };
    for (const TCase& c : cases) {
        TCaptureRecord r;
        std::string error;
        const bool read = ParseCaptureLine(c.Line, r, error);
        EXPECT_EQ(read, *c.Error == 0) << c.Line << " -> " << error;
        if (!read) {
            EXPECT_EQ(error, c.Error) << c.Line;
        }
    }
    // The data may be as long as the largest frame allowed, and not a byte longer.
    const auto withData = [](std::size_t bytes) {
        return "{\"timeSec\":\"1\",\"timeNano\":\"0\",\"io\":\"input\",\"data\":\"" +
               std::string(2 * bytes, 'a') + "\"}";
    };
    TCaptureRecord big;
    std::string error;
    EXPECT_TRUE(ParseCaptureLine(withData(kCaptureMaxData), big, error));
    EXPECT_EQ(big.Data.size(), kCaptureMaxData);
    EXPECT_FALSE(ParseCaptureLine(withData(kCaptureMaxData + 1), big, error));
}

TEST(CaptureFormat, FramesAreDescribedLikeTheLiveLog) {
    const TVendorList vendors;
    const TCaptureView words{false, true, false};
    const TCaptureView all{true, true, true};
    const auto id = Frame(0x61, {0x00}, false);
    const auto pdid = Frame(0x45, Bytes("7C4E1509011234567801020"), true);
    const auto poll = Frame(0x60, {}, false);
    auto damaged = Frame(0x60, {}, false);
    damaged.back() ^= 0x01;
    // A poll with a block of type 0x15 and a MAC: unreadable without the session keys.
    const auto secured = Bytes("53030E000C02156011223344ABCD");

    using L = std::vector<std::string>;
    EXPECT_EQ(DescribeCapturedFrame(Record(TCaptureIo::Output, id), words, vendors),
              (L{"> addr=3: GET_ID(00)"}));
    const L reply = DescribeCapturedFrame(Record(TCaptureIo::Input, pdid), all, vendors);
    ASSERT_EQ(reply.size(), 2u);
    EXPECT_EQ(reply[0].substr(0, 8), "< 53 83 "); // a reply's bytes come first
    EXPECT_EQ(reply[1].substr(0, 30), "< addr=3: RES_ID(MANUF=7C4E15,");
    // A listener's record: the reply bit tells the direction.
    EXPECT_EQ(
        DescribeCapturedFrame(Record(TCaptureIo::Trace, pdid), words, vendors)[0].substr(0, 2),
        "< ");
    EXPECT_EQ(DescribeCapturedFrame(Record(TCaptureIo::Trace, id), words, vendors)[0].substr(0, 2),
              "> ");
    EXPECT_TRUE(DescribeCapturedFrame(Record(TCaptureIo::Output, poll), words, vendors).empty());
    EXPECT_EQ(DescribeCapturedFrame(Record(TCaptureIo::Output, poll), all, vendors),
              (L{"> addr=3: POLL", "> " + test::Hex(poll)}));
    EXPECT_EQ(DescribeCapturedFrame(Record(TCaptureIo::Output, damaged), words, vendors),
              (L{"ERROR (crc error from 3)"}));
    const L cut =
        DescribeCapturedFrame(Record(TCaptureIo::Input, {0x53, 0x83, 0x20}), words, vendors);
    EXPECT_EQ(cut, (L{"ERROR (length error from 3)"}));
    EXPECT_EQ(DescribeCapturedFrame(Record(TCaptureIo::Output, secured), words, vendors),
              (L{"> " + test::Hex(secured)}));
}
