#pragma once
// Small helpers for byte-vector tests.

#include "log/hex.h"

#include <cstdint>
#include <string>
#include <vector>

namespace quintrel::test {

inline std::vector<std::uint8_t> Bytes(const std::string& hex) {
    std::vector<std::uint8_t> out(hex.size() / 2 + 1);
    out.resize(HexToBytes(hex, out.data(), out.size()));
    return out;
}

inline std::string Hex(const std::uint8_t* bytes, std::size_t count) {
    return BytesToHex(bytes, count, true);
}

inline std::string Hex(const std::vector<std::uint8_t>& bytes) {
    return Hex(bytes.data(), bytes.size());
}

} // namespace quintrel::test
