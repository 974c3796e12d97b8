// The vendor list: any text as oui.csv, then lookups of codes taken from it. It must never
// crash, read outside the text, or take time beyond linear.

#include "decode/vendor_list.h"

#include <string_view>

using namespace quintrel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    TVendorList list;
    list.LoadFromText(std::string_view(reinterpret_cast<const char*>(data), size));
    for (std::size_t i = 0; i + 3 <= size && i < 64; i += 3)
        list.VendorName(static_cast<std::uint32_t>(data[i] << 16 | data[i + 1] << 8 | data[i + 2]));
    list.VendorName(0x7C4E15);
    return 0;
}
