// The reply decoders: one input is a reply code and its data. They must never crash or
// read past the data, whatever its length.

#include "decode/describe.h"

#include <vector>

using namespace quintrel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    static TVendorList vendors = [] {
        TVendorList v;
        v.LoadFromText("Registry,Assignment,Organization Name,Organization Address\n"
                       "MA-L,7C4E15,\"Maker, Inc.\",Somewhere\n");
        return v;
    }();
    // A copy of exactly the data's size, so the sanitizer sees any read beyond it.
    const std::vector<std::uint8_t> body(data + 1, data + size);
    std::uint32_t mfgId = 0;
    DescribeReply(data[0], body.data(), body.size(), vendors, mfgId);
    DescribeCommand(data[0], body.data(), body.size());
    return 0;
}
