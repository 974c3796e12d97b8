#pragma once
// The reader of overheard traffic: bytes as they were heard on each side of a line (from a
// capture file's records, or from a port that only listens) in, checked frames and the log
// lines that describe them out, the way the live log says them. Each side's bytes go through
// the same frame assembler the live path uses, so a record may hold part of a frame or several
// frames, and mark bytes or noise before a start byte are skipped. A frame's direction comes
// from its address byte (bit 7 set: a reply), whatever the side it was heard on. Secure
// sessions are followed with the keys given: protected frames whose MAC holds are shown in
// words like live protected traffic ("SCS17 - SET_LED(...)"), the others as hex.

#include "capture/capture_format.h"
#include "capture/session_follower.h"
#include "decode/vendor_list.h"
#include "osdp/frame_assembler.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace quintrel {

class TOverheardReader {
  public:
    // A frame's lines; time is the frame's last byte's time in nanoseconds since 1970.
    using TSink = std::function<void(std::int64_t time, const std::string& line)>;

    // A frame as heard, handed over before its lines: whole (start byte to check bytes) or
    // cut short (Whole false, never Intact), with the times of its first and last byte.
    struct THeardFrame {
        const std::uint8_t* Bytes = nullptr;
        std::size_t Count = 0;
        bool Reply = false;  // the address byte's bit 7
        bool Whole = false;  // it ran to the length it declares
        bool Intact = false; // its layout and check bytes hold
        std::uint8_t Address = 0; // 0..127, as the frame shows it (may itself be damaged)
        std::uint8_t Code = 0;    // the command or reply code (0 when the frame is too short)
        bool Secure = false;      // a secure session with its device is being read
        TCaptureIo Side = TCaptureIo::Trace;
        std::int64_t FirstTime = 0;
        std::int64_t LastTime = 0;
    };
    using TFrameSink = std::function<void(const THeardFrame& frame)>;

    // Bytes of one side that stop coming for this long end the frame they were part of.
    static constexpr std::int64_t FrameGapNs = 200'000'000;

    TOverheardReader(const TCaptureView& view, const TVendorList& vendors, TSink sink);

    // Bytes heard on one side (the capture's io: each writer's sides are its own) at a time.
    void Feed(TCaptureIo side, std::int64_t time, const std::uint8_t* bytes, std::size_t count);
    // The end of the traffic: a frame still incomplete is reported.
    void Finish();

    // Whole frames (and frames cut short) as well as their lines; none by default.
    void SetFrameSink(TFrameSink sink) { FrameSink = std::move(sink); }
    // The view of the lines of frames completed from now on.
    void SetView(const TCaptureView& view) { View = view; }
    // The keys tried on the secure sessions heard from now on (the default key by default):
    // a session whose key is known is followed, and its protected frames read and described.
    // Sessions being read, and the keys learned from the line, stay.
    void SetKeys(const TFollowerKeys& keys) { Follower.SetKeys(keys); }

    std::size_t Frames() const { return FrameCount; }
    std::size_t Damaged() const { return DamagedCount; }
    // Frames that failed and were read again from the next start byte inside them.
    std::size_t Rescans() const { return RescanCount; }

  private:
    struct TSide {
        TFrameAssembler Assembler;
        std::int64_t LastTime = 0;
        std::int64_t FirstTime = 0; // of the frame being assembled
    };
    void Take(TSide& side, std::int64_t time, const std::uint8_t* bytes, std::size_t count);
    // False when the frame failed its check.
    bool Complete(TSide& side, std::int64_t time);
    std::vector<std::uint8_t> Incomplete(TSide& side);
    std::vector<std::uint8_t> AfterFalseStart(const TSide& side);
    void HandOver(const TSide& side, bool whole, bool intact, std::int64_t time,
                  bool secure = false);

    TCaptureView View;
    const TVendorList& Vendors;
    TSink Sink;
    TFrameSink FrameSink;
    TSessionFollower Follower;
    std::array<TSide, 3> Sides;
    std::size_t FrameCount = 0;
    std::size_t DamagedCount = 0;
    std::size_t RescanCount = 0;
};

// The lines a whole frame (start byte to check bytes) gives under the view.
std::vector<std::string> DescribeOverheardFrame(const std::uint8_t* frame, std::size_t count,
                                                const TCaptureView& view,
                                                const TVendorList& vendors);

} // namespace quintrel
