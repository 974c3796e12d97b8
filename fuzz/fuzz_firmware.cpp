// The kfw firmware file and the bootloader's replies: any text as a file, any bytes as a
// reply stream. They must never crash, read outside their input, or accept a record that
// does not fit a frame.

#include "maintenance/bootloader.h"

#include <cstdlib>
#include <string_view>

using namespace quintrel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    if (const auto file = LoadFirmwareFile(text, kRdx900DeviceCode)) {
        std::array<std::uint8_t, kBootFrameCapacity> frame{};
        for (const auto& record : file->Records)
            if (record.empty() || BuildBootFrame(bcWrite, record.data(), record.size(), frame) == 0)
                std::abort();
    }
    TBootReplyAssembler replies;
    for (std::size_t i = 0; i < size; ++i)
        replies.Feed(data[i]);
    return 0;
}
