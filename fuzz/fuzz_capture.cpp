// Capture files: any text as one line of a capture. It must never crash or read past the
// line; a line that reads must be written back so that it reads the same, and whatever it
// carries must be described without fault.

#include "capture/capture_format.h"
#include "capture/overheard.h"

#include <cstdlib>
#include <string_view>

using namespace quintrel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view line(reinterpret_cast<const char*>(data), size);
    TCaptureRecord record;
    std::string error;
    if (!ParseCaptureLine(line, record, error)) {
        if (error.empty()) std::abort(); // a refusal always says why
        return 0;
    }
    TCaptureRecord again;
    if (!ParseCaptureLine(FormatCaptureLine(record), again, error)) std::abort();
    if (again.Seconds != record.Seconds || again.Nanos != record.Nanos || again.Io != record.Io ||
        again.Data != record.Data || again.Source != record.Source)
        std::abort();
    static const TVendorList vendors;
    for (const bool flag : {false, true}) {
        TOverheardReader reader(TCaptureView{flag, !flag, flag}, vendors,
                                [](std::int64_t, const std::string&) {});
        reader.Feed(record.Io, 0, record.Data.data(), record.Data.size());
        reader.Feed(TCaptureIo::Trace, 0, record.Data.data(), record.Data.size());
        reader.Finish();
    }
    return 0;
}
