#include "maintenance/reader_options.h"

namespace quintrel {

TOptionBoxes BoxesFromFlags(int flags) {
    return TOptionBoxes{(flags & 0x01) != 0, (flags & 0x02) != 0, (flags & 0x04) != 0,
                        (flags & 0x08) != 0, (flags & 0x10) != 0};
}

int FlagsFromBoxes(int flags, const TOptionBoxes& boxes) {
    return (flags & 0xE0) | (boxes.AddCardType ? 0x01 : 0) | (boxes.AddCustCode ? 0x02 : 0) |
           (boxes.AddVidDid ? 0x04 : 0) | (boxes.DualId1Msg ? 0x08 : 0) |
           (boxes.NoVehicleId ? 0x10 : 0);
}

TOptionsPreview PreviewOptions(const TOptionBoxes& boxes) {
    // The fields that precede an ID, after the message number that B adds.
    const auto head = [&boxes](const char* number) {
        std::string text = boxes.AddVidDid ? number : "";
        if (boxes.AddCardType) text += "<TT> ";
        if (boxes.AddCustCode) text += "<CCCC> ";
        return text;
    };
    TOptionsPreview p;
    p.Format1 = head("01 ") + "<IDNO>";
    if (boxes.DualId1Msg) {
        p.Format2 = head("03 ") + (boxes.NoVehicleId ? "" : "<VANTOR-ID> ") + "<CARD-ID>";
    } else {
        p.Format2 = boxes.NoVehicleId ? std::string() : head("01 ") + "<VANTOR-ID>";
        p.Format3 = head("02 ") + "<CARD-ID>";
    }
    return p;
}

} // namespace quintrel
