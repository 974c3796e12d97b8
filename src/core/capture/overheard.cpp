#include "capture/overheard.h"

#include "decode/describe.h"
#include "log/hex.h"
#include "osdp/bytes.h"
#include "osdp/frame_codec.h"

#include <algorithm>
#include <array>
#include <cstdio>

namespace quintrel {

namespace {

constexpr std::uint8_t kSom = 0x53;

bool IsPollTraffic(std::uint8_t code, bool command) {
    return command ? code == 0x60 : code == 0x60 || code == 0x40;
}

// The lines of a frame that checks out: its words (code and plain data), its bytes, under the
// view, in the live log's order: a command's words before its bytes, a reply's bytes first.
void AddFrameLines(std::vector<std::string>& lines, const std::string& hex, bool command,
                   std::uint8_t address, std::uint8_t scbType, std::uint8_t code,
                   const std::uint8_t* data, std::size_t length, const TCaptureView& view,
                   const TVendorList& vendors) {
    if (!view.Poll && IsPollTraffic(code, command)) return;
    if (view.Raw && !command) lines.push_back(hex);
    if (view.Description) {
        std::string line = (command ? "> addr=" : "< addr=") + std::to_string(address) + ": ";
        if (scbType != 0) {
            char scs[16];
            std::snprintf(scs, sizeof scs, "SCS%.2X - ", scbType);
            line += scs;
        }
        std::uint32_t mfgId = kMakerVendorCode;
        line += command ? DescribeCommand(code, data, length, view.Keys)
                        : DescribeReply(code, data, length, vendors, mfgId);
        lines.push_back(std::move(line));
    }
    if (view.Raw && command) lines.push_back(hex);
}

} // namespace

std::vector<std::string> DescribeOverheardFrame(const std::uint8_t* bytes, std::size_t size,
                                                const TCaptureView& view,
                                                const TVendorList& vendors) {
    std::vector<std::string> lines;
    std::array<std::uint8_t, kFrameBufferSize> frame{};
    const std::size_t count = std::min(size, frame.size());
    std::copy_n(bytes, count, frame.begin());
    const TDecodedFrame peek = PeekFrame(frame.data(), count);
    const bool command = count > 1 && !(frame[1] & 0x80);
    const std::string arrow = command ? "> " : "< ";
    const std::string hex = arrow + RawFrameText(frame.data(), count, view.Keys);
    const std::size_t declared = count >= 4 ? (frame[2] | frame[3] << 8) : 0;
    const bool protectedData = peek.ScbType() >= 0x15 && peek.ScbType() <= 0x18;
    const bool shown = view.Poll || !IsPollTraffic(peek.Code, command);
    // A protected frame nobody can read still shows what travels in clear: address, block
    // type and code, so the filters apply to it; a damaged one gets its ERROR line.
    if (protectedData && peek.Valid && count == size && declared == count &&
        CheckBytesHold(frame.data(), count)) {
        if (!shown) return lines;
        if (view.Raw && !command) lines.push_back(hex);
        if (view.Description) {
            char scs[16];
            std::snprintf(scs, sizeof scs, "SCS%.2X - ", peek.ScbType());
            std::string name = command ? CommandName(peek.Code) : ReplyName(peek.Code);
            if (name.empty()) name = "RES_" + BytesToHex(&peek.Code, 1);
            lines.push_back(arrow + "addr=" + std::to_string(peek.Address) + ": " + scs + name +
                            " (protected, key unknown)");
        }
        if (view.Raw && command) lines.push_back(hex);
        return lines;
    }

    TDecodedFrame f;
    if (count == size && declared == count) {
        std::array<TDeviceState, kDeviceCount> devices{}; // no sessions: nothing to unlock
        f = DecodeFrame(frame.data(), count, devices);
    } else {
        f.Error = "length error";
    }
    if (!f.Valid) {
        if (shown && view.Raw) lines.push_back(hex);
        lines.push_back("ERROR (" + std::string(f.Error) + " from " + std::to_string(peek.Address) +
                        ")");
        return lines;
    }
    AddFrameLines(lines, hex, command, f.Address, f.HasBlock() ? f.ScbType() : 0, f.Code,
                  frame.data() + f.DataStart, f.DataLength, view, vendors);
    return lines;
}

TOverheardReader::TOverheardReader(const TCaptureView& view, const TVendorList& vendors,
                                   TSink sink)
    : View(view), Vendors(vendors), Sink(std::move(sink)) {}

void TOverheardReader::Feed(TCaptureIo io, std::int64_t time, const std::uint8_t* bytes,
                            std::size_t count) {
    TSide& side = Sides[static_cast<std::size_t>(io)];
    // A frame whose bytes stopped coming was cut short; what comes now starts afresh.
    if (side.Assembler.Held() > 0 && time - side.LastTime > FrameGapNs) {
        const std::vector<std::uint8_t> again = Incomplete(side);
        Take(side, side.LastTime, again.data(), again.size());
    }
    side.LastTime = time;
    Take(side, time, bytes, count);
}

// A frame that fails its check (or is cut short) may have been a false start in noise, or a
// damaged length, that took the frames behind it in: the bytes after its start byte are read
// again from the next start byte, so it costs only itself. Each reading again starts later in
// bytes already taken, so it ends.
void TOverheardReader::Take(TSide& side, std::int64_t time, const std::uint8_t* bytes,
                            std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        const bool starting = side.Assembler.Held() == 0;
        const TFrameAssembler::TStep step = side.Assembler.Feed(bytes[i]);
        // A second start byte begins the frame afresh, at this byte.
        if ((starting && side.Assembler.Held() > 0) || step == TFrameAssembler::TStep::SecondStart)
            side.FirstTime = time;
        if (step != TFrameAssembler::TStep::Frame) continue;
        std::vector<std::uint8_t> again;
        if (!Complete(side, time)) again = AfterFalseStart(side);
        side.Assembler.Reset();
        Take(side, time, again.data(), again.size());
    }
}

std::vector<std::uint8_t> TOverheardReader::AfterFalseStart(const TSide& side) {
    const std::uint8_t* held = side.Assembler.Data();
    const std::uint8_t* end = held + side.Assembler.Held();
    const std::uint8_t* next = side.Assembler.Held() > 1 ? std::find(held + 1, end, kSom) : end;
    if (next != end) ++RescanCount;
    return std::vector<std::uint8_t>(next, end);
}

void TOverheardReader::Finish() {
    for (TSide& side : Sides) {
        while (side.Assembler.Held() > 0) {
            const std::vector<std::uint8_t> again = Incomplete(side);
            Take(side, side.LastTime, again.data(), again.size());
        }
    }
}

void TOverheardReader::HandOver(const TSide& side, bool whole, bool intact, std::int64_t time,
                                bool secure) {
    if (!FrameSink) return;
    THeardFrame f;
    f.Bytes = side.Assembler.Data();
    f.Count = side.Assembler.Held();
    f.Reply = f.Count > 1 && (f.Bytes[1] & 0x80);
    f.Address = f.Count > 1 ? static_cast<std::uint8_t>(f.Bytes[1] & 0x7F) : std::uint8_t{0};
    f.Whole = whole;
    f.Intact = intact;
    f.Code = whole ? PeekFrame(f.Bytes, f.Count).Code : std::uint8_t{0};
    f.Secure = secure;
    f.Side = static_cast<TCaptureIo>(&side - Sides.data());
    f.FirstTime = side.FirstTime;
    f.LastTime = time;
    FrameSink(f);
}

bool TOverheardReader::Complete(TSide& side, std::int64_t time) {
    const std::uint8_t* frame = side.Assembler.Data();
    const std::size_t count = side.Assembler.Held();
    const bool intact = CheckBytesHold(frame, count);
    const TFollowed followed = intact ? Follower.Follow(frame, count) : TFollowed{};
    HandOver(side, true, intact, time, followed.SessionOpen);
    ++FrameCount;
    if (!intact) ++DamagedCount;
    if (intact) {
        for (const std::string& note : followed.Notes)
            Sink(time, note);
        if (followed.Protected && followed.Read) {
            std::vector<std::string> lines;
            AddFrameLines(lines, (followed.Reply ? "< " : "> ") + RawFrameText(frame, count, View.Keys),
                          !followed.Reply, followed.Address, followed.ScbType, followed.Code,
                          followed.Data.data(), followed.Data.size(), View, Vendors);
            for (const std::string& line : lines)
                Sink(time, line);
            return true;
        }
    }
    for (const std::string& line : DescribeOverheardFrame(frame, count, View, Vendors))
        Sink(time, line);
    return intact;
}

// A start byte alone is noise; from the address on it was a frame, reported as cut short.
// The bytes behind it, from the next start byte, are to be read again.
std::vector<std::uint8_t> TOverheardReader::Incomplete(TSide& side) {
    const std::size_t held = side.Assembler.Held();
    std::vector<std::uint8_t> again = AfterFalseStart(side);
    if (held >= 2) {
        ++FrameCount;
        ++DamagedCount;
        HandOver(side, false, false, side.LastTime);
        const std::uint8_t* frame = side.Assembler.Data();
        const bool command = !(frame[1] & 0x80);
        if (View.Raw)
            Sink(side.LastTime, (command ? "> " : "< ") + RawFrameText(frame, held, View.Keys));
        Sink(side.LastTime, "ERROR (length error from " + std::to_string(frame[1] & 0x7F) + ")");
    }
    side.Assembler.Reset();
    return again;
}

} // namespace quintrel
