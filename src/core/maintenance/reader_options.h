#pragma once
// The reader options record shown as check boxes, and the output formats it gives.

#include <string>

namespace quintrel {

struct TOptionBoxes {
    bool AddCardType = false; // T, bit 0
    bool AddCustCode = false; // X, bit 1
    bool AddVidDid = false;   // B, bit 2
    bool DualId1Msg = false;  // bit 3
    bool NoVehicleId = false; // bit 4
};

TOptionBoxes BoxesFromFlags(int flags);
// The boxes' bits over the bits 5..7 the reader reported, which no box shows.
int FlagsFromBoxes(int flags, const TOptionBoxes& boxes);

struct TOptionsPreview {
    std::string Format1; // single ID
    std::string Format2; // dual ID: the vehicle, or both in one message
    std::string Format3; // dual ID: the card, empty when both go in one message
};
TOptionsPreview PreviewOptions(const TOptionBoxes& boxes);

} // namespace quintrel
