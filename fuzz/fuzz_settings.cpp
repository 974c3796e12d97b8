// The settings file: any text is read, written back over itself, and read again. It must
// never crash or lose the values it read.

#include "settings/settings.h"

#include <cstdlib>
#include <string_view>

using namespace quintrel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const TSettings read = ParseSettings(text);
    const std::string written = FormatSettings(read, text);
    // What was read must read back the same from what was written (a value ends at its line,
    // so nothing a file holds can change what the next read sees).
    if (!(ParseSettings(written) == read)) std::abort();
    return 0;
}
