// The hex text reader: any text into a buffer of any capacity (the first byte). It must never
// write past the capacity, and a strict text must read without a guessed zero. The same text
// as a typed key.

#include "crypto/handshake.h"
#include "log/hex.h"

#include <cstdlib>
#include <string_view>
#include <vector>

using namespace quintrel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const std::size_t capacity = data[0];
    const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
    std::vector<std::uint8_t> out(capacity); // exactly the capacity: the sanitizer guards it
    const std::size_t n = HexToBytes(text, out.data(), out.size());
    if (n > capacity) std::abort();
    IsStrictHex(text);
    CharacterAt(text, capacity);
    // A typed key is a key or a reason, never both and never neither.
    const TKeyEntry key = ReadKey(text);
    if (key.Key.has_value() == !key.Error.empty()) std::abort();
    return 0;
}
