// Capture files: the line form other tools read and write, and what overheard traffic says.

#include "capture/capture_format.h"
#include "osdp/bytes.h"
#include "capture/overheard.h"
#include "osdp/frame_codec.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>

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
                    "\"data\":\" 53 83 08 00 04 40 4b 2a\",\"osdpTraceVersion\":\"1\","
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
        {R"({ "timeSec" : "1", "timeNano" : "5", "io" : "in", "data" : " ff 53 00 08 00 04 60 eb aa" })",
         ""},
        {R"({"timeSec":"1","timeNano":"0","io":"out","data":" FF 53"})", ""},
        {R"({"timeSec":"1","timeNano":"999999999","io":"input","data":"53"})", ""},
        {R"({"timeSec":"1","timeNano":"1000000000","io":"input","data":"53"})", "bad timeNano"},
        {R"({"timeSec":"-1","timeNano":"0","io":"input","data":"53"})", "bad timeSec"},
        // The last second whose nanosecond count fits 64 bits (with its nanoseconds), and one past.
        {R"({"timeSec":"9223372035","timeNano":"999999999","io":"input","data":"53"})", ""},
        {R"({"timeSec":"9223372036","timeNano":"0","io":"input","data":"53"})",
         "timeSec out of range"},
        {R"({"timeSec":"999999999999","timeNano":"0","io":"input","data":"53"})",
         "timeSec out of range"},
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
    // A LED command with a block of type 0x17 and a MAC: unreadable without the session keys;
    // a protected poll likewise; and one with a damaged check.
    auto secured = Bytes("53031E000E0217691122334455667788990011223344556611223344ABCD");
    auto securedPoll = Bytes("53030E000C02156011223344ABCD");
    for (auto* f : {&secured, &securedPoll}) {
        const std::uint16_t crc = CalcCrc16(f->data(), f->size() - 2);
        (*f)[f->size() - 2] = static_cast<std::uint8_t>(crc);
        (*f)[f->size() - 1] = static_cast<std::uint8_t>(crc >> 8);
    }
    auto securedDamaged = secured;
    securedDamaged[9] ^= 0x01;
    const auto describe = [&](const std::vector<std::uint8_t>& frame, const TCaptureView& view) {
        return DescribeOverheardFrame(frame.data(), frame.size(), view, vendors);
    };

    using L = std::vector<std::string>;
    EXPECT_EQ(describe(id, words), (L{"> addr=3: GET_ID(00)"}));
    const L reply = describe(pdid, all);
    ASSERT_EQ(reply.size(), 2u);
    EXPECT_EQ(reply[0].substr(0, 8), "< 53 83 "); // a reply's bytes come first
    EXPECT_EQ(reply[1].substr(0, 30), "< addr=3: RES_ID(MANUF=7C4E15,");
    EXPECT_TRUE(describe(poll, words).empty());
    EXPECT_EQ(describe(poll, all), (L{"> addr=3: POLL", "> " + test::Hex(poll)}));
    EXPECT_EQ(describe(damaged, words), (L{"ERROR (crc error from 3)"}));
    EXPECT_EQ(describe(secured, words), (L{"> addr=3: SCS17 - SET_LED (protected, key unknown)"}));
    EXPECT_EQ(describe(securedPoll, words), L{});
    EXPECT_EQ(describe(securedPoll, all),
              (L{"> addr=3: SCS15 - POLL (protected, key unknown)", "> " + test::Hex(securedPoll)}));
    EXPECT_EQ(describe(securedDamaged, words), (L{"ERROR (crc error from 3)"}));
}

namespace {

// What a reader of records gives: its lines, in order.
struct TReadBack {
    std::vector<std::string> Lines;
    TVendorList Vendors;
    TOverheardReader Reader;
    explicit TReadBack(const TCaptureView& view = {false, true, true})
        : Reader(view, Vendors, [this](std::int64_t, const std::string& l) { Lines.push_back(l); }) {}
    void Feed(TCaptureIo io, const std::vector<std::uint8_t>& bytes, std::int64_t time = 0) {
        Reader.Feed(io, time, bytes.data(), bytes.size());
    }
};

std::vector<std::uint8_t> Join(std::initializer_list<std::vector<std::uint8_t>> parts) {
    std::vector<std::uint8_t> all;
    for (const auto& p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

} // namespace

// Records hold what the writer had: mark bytes, part of a frame, several frames. Each side's
// bytes are assembled into frames as the live path does, and the address byte, not the
// record's side, tells a command from a reply.
TEST(CaptureFormat, RecordsAreAssembledIntoFramesPerSide) {
    const auto id = Frame(0x61, {0x00}, false);
    const auto pdid = Frame(0x45, Bytes("7C4E1509011234567801020"), true);
    const auto ack = Frame(0x40, {}, true);
    TReadBack whole;
    whole.Feed(TCaptureIo::Input, Join({{0xFF}, id}));
    whole.Feed(TCaptureIo::Output, Join({{0xFF, 0xFF}, pdid}));
    whole.Reader.Finish();
    ASSERT_EQ(whole.Lines.size(), 2u);
    EXPECT_EQ(whole.Lines[0], "> addr=3: GET_ID(00)");
    EXPECT_EQ(whole.Lines[1].substr(0, 18), "< addr=3: RES_ID(M");

    TReadBack bytes; // one byte per record, the two sides interleaved
    const auto command = Join({{0xFF}, id});
    const auto answer = Join({{0xFF}, pdid});
    for (std::size_t i = 0; i < std::max(command.size(), answer.size()); ++i) {
        if (i < command.size()) bytes.Feed(TCaptureIo::Input, {command[i]});
        if (i < answer.size()) bytes.Feed(TCaptureIo::Output, {answer[i]});
    }
    bytes.Reader.Finish();
    EXPECT_EQ(bytes.Lines, whole.Lines); // the shorter command is whole first

    TReadBack pairs; // two frames in one record, one side as the trace of a listener
    pairs.Feed(TCaptureIo::Trace, Join({id, pdid, id, ack}));
    pairs.Reader.Finish();
    EXPECT_EQ(pairs.Lines, (std::vector<std::string>{whole.Lines[0], whole.Lines[1],
                                                     whole.Lines[0], "< addr=3: ACK"}));
    EXPECT_EQ(pairs.Reader.Frames(), 4u);

    // A frame whose bytes stop coming ends with the gap, and the next frame still reads.
    TReadBack cut;
    cut.Feed(TCaptureIo::Output, std::vector<std::uint8_t>(pdid.begin(), pdid.begin() + 6), 0);
    cut.Feed(TCaptureIo::Output, ack, TOverheardReader::FrameGapNs + 1);
    cut.Feed(TCaptureIo::Output, {0x53, 0x83}, TOverheardReader::FrameGapNs + 2);
    cut.Reader.Finish();
    EXPECT_EQ(cut.Lines, (std::vector<std::string>{"ERROR (length error from 3)", "< addr=3: ACK",
                                                   "ERROR (length error from 3)"}));
    EXPECT_EQ(cut.Reader.Damaged(), 2u);
}

namespace {

// A capture file read whole: every line a record, every record assembled, and the lines.
struct TCaptureFile {
    std::size_t Records = 0;
    std::size_t Malformed = 0;
    std::size_t Commands = 0; // records whose first frame byte after the marks says command
    TReadBack Read{TCaptureView{false, true, true}};
    // byteRecords: each record fed a byte at a time, as a writer that records bytes would.
    explicit TCaptureFile(const std::string& name, const TFollowerKeys& keys = {},
                          bool byteRecords = false) {
        Read.Reader.SetKeys(keys);
        std::ifstream file(std::string(QUINTREL_TEST_DATA) + "/captures/" + name);
        std::string line, error;
        TCaptureRecord record;
        while (std::getline(file, line)) {
            if (!ParseCaptureLine(line, record, error)) {
                ++Malformed;
                continue;
            }
            ++Records;
            const auto start = std::find(record.Data.begin(), record.Data.end(), 0x53);
            if (record.Data.end() - start > 1 && !(start[1] & 0x80)) ++Commands;
            const std::int64_t time = record.Seconds * 1000000000 + record.Nanos;
            if (!byteRecords) Read.Feed(record.Io, record.Data, time);
            for (std::size_t i = 0; byteRecords && i < record.Data.size(); ++i)
                Read.Feed(record.Io, {record.Data[i]}, time);
        }
        Read.Reader.Finish();
    }
    std::size_t Count(const std::string& prefix) const {
        return static_cast<std::size_t>(std::count_if(
            Read.Lines.begin(), Read.Lines.end(),
            [&](const std::string& l) { return l.starts_with(prefix); }));
    }
};

} // namespace

// Captures another tool wrote against us (tests/data/captures/README.md): "in" and "out"
// from the reader's side, a mark byte before each frame, one frame a record.
TEST(CaptureFormat, AnotherToolsPlainCaptureReadsWhole) {
    const TCaptureFile f("reader-side-plain.osdpcap");
    ASSERT_GT(f.Records, 2000u);
    EXPECT_EQ(f.Malformed, 0u);
    EXPECT_EQ(f.Read.Reader.Frames(), f.Records);
    EXPECT_EQ(f.Count("> addr=0: "), f.Commands);
    EXPECT_EQ(f.Count("< addr=0: "), f.Records - f.Commands - f.Read.Reader.Damaged());
    EXPECT_EQ(f.Read.Reader.Damaged(), f.Count("ERROR (crc error from 0)"));
    EXPECT_GE(f.Count("ERROR (crc error from 0)"), 1u);
    EXPECT_EQ(f.Count("< addr=0: RES_BUSY"), 1u);
    EXPECT_GE(f.Count("< addr=0: NAK("), 1u);
    EXPECT_GE(f.Count("< addr=0: EVT_RAW(FORMAT="), 1u);
    EXPECT_GE(f.Count("< addr=0: EVT_KEY(DATA="), 1u);
    // The 196 oversized input status replies (1 308 bytes) read as what they are, beside one
    // of ordinary size. (The file's note speaks of a COMSET; the file holds none.)
    EXPECT_EQ(f.Count("< addr=0: RES_ISTAT(IN0="), 197u);
    EXPECT_EQ(f.Count("< addr=0: RES_ISTAT(IN0=0, IN1=0, IN2=0, IN3=0, IN4=0, IN5=0, IN6=0, IN7=0, "
                      "IN8=0, IN9=0"),
              196u);
}

// The secure capture: with only the default key known, both sessions are followed (the second
// on the key its osdp_KEYSET set), and every protected frame reads in words; without a key that
// fits, each session says so once and its frames show their clear header, never a wrong reading.
TEST(CaptureFormat, AnotherToolsSecureCaptureReadsWithTheDefaultKey) {
    const TCaptureFile f("reader-side-secure.osdpcap");
    EXPECT_EQ(f.Malformed, 0u);
    EXPECT_EQ(f.Read.Reader.Frames(), f.Records);
    EXPECT_EQ(f.Read.Reader.Damaged(), 0u);
    EXPECT_EQ(f.Count("> 53 ") + f.Count("< 53 "), 0u); // no frame left as hex
    EXPECT_GT(f.Count("> addr=0: SCS17 - "), 0u);
    EXPECT_GT(f.Count("< addr=0: SCS18 - "), 0u);
    EXPECT_EQ(f.Count("> addr=0: SCS17 - SET_KEY("), 1u);
    EXPECT_EQ(f.Count("Secure channel with 0 opened (default key)"), 1u);
    EXPECT_EQ(f.Count("Secure channel with 0 opened (key from osdp_KEYSET)"), 1u);
    EXPECT_EQ(f.Count("Secure channel with 0: key unknown"), 0u);
    // The panel's plain poll inside the first session and its restart at sequence 0 inside
    // the second are said once each; the replies after that restart are lost to nobody.
    EXPECT_EQ(f.Count("Secure channel with 0: the panel sent POLL plain inside the session"), 1u);
    EXPECT_EQ(f.Count("Secure channel with 0: the panel restarted its count (sequence 0) inside "
                      "the session"),
              1u);
    EXPECT_EQ(f.Count("Secure channel with 0: the panel went on without the last reply"), 0u);

    TFollowerKeys wrong;
    wrong.UseDefaultKey = false;
    wrong.Scbk = TAesKey{};
    // Fed a byte a record, it reads the same.
    EXPECT_EQ(TCaptureFile("reader-side-secure.osdpcap", {}, true).Read.Lines, f.Read.Lines);

    const TCaptureFile hex("reader-side-secure.osdpcap", wrong);
    const auto protectedRead = [](const TCaptureFile& c) {
        return c.Count("> addr=0: SCS15") + c.Count("> addr=0: SCS17") +
               c.Count("< addr=0: SCS16") + c.Count("< addr=0: SCS18");
    };
    EXPECT_EQ(hex.Count("Secure channel with 0: key unknown, frames not read"), 2u);
    // Each unread frame by its clear header, never as bare hex or a wrong reading.
    const auto unread = std::count_if(hex.Read.Lines.begin(), hex.Read.Lines.end(), [](const auto& l) {
        return l.ends_with(" (protected, key unknown)");
    });
    EXPECT_EQ(static_cast<std::size_t>(unread), protectedRead(f));
    EXPECT_EQ(protectedRead(hex), protectedRead(f));
    EXPECT_EQ(hex.Count("> 53 ") + hex.Count("< 53 "), 0u);
}
