#pragma once
// The version block built into the program.

#include <cstdint>
#include <span>

namespace quintrel {

std::span<const std::uint8_t> ExecutableVersionBlock();

} // namespace quintrel
