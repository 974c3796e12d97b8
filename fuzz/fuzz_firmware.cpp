// The kfw firmware file and the bootloader's replies: any text as a file, any bytes as a
// reply stream. They must never crash, read outside their input, or accept a record that
// does not fit a frame, or refuse one without a reason.

#include "maintenance/bootloader.h"

#include <cstdlib>
#include <string_view>

using namespace quintrel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const TFirmwareCheck check = LoadFirmwareFile(text, kRdx900DeviceCode);
    if (check.File) {
        std::array<std::uint8_t, kBootFrameCapacity> frame{};
        for (const auto& record : check.File->Records)
            if (record.empty() || BuildBootFrame(bcWrite, record.data(), record.size(), frame) == 0)
                std::abort();
    } else if (check.Reason.empty()) {
        std::abort(); // a refusal always says why
    }
    TBootReplyAssembler replies;
    for (std::size_t i = 0; i < size; ++i)
        replies.Feed(data[i]);
    return 0;
}
