#pragma once
// AES-128 (FIPS-197) with CBC chaining in place. The key schedule is not stored:
// round keys are made as they are needed (and run backwards for decryption).
//
// The CBC chaining value is passed explicitly rather than kept as one hidden
// module-wide buffer, so no two callers can disturb each other's chain. The
// caller sets it (the IV) before a call and reads the last ciphertext block from
// it afterwards, which for the MAC chain is the MAC.

#include <array>
#include <cstddef>
#include <cstdint>

namespace quintrel {

using TAesBlock = std::array<std::uint8_t, 16>;
using TAesKey = std::array<std::uint8_t, 16>;

// output may be the same buffer as input.
void AesEncryptBlock(std::uint8_t* output, const std::uint8_t* input, const std::uint8_t* key);
void AesDecryptBlock(std::uint8_t* output, const std::uint8_t* input, const std::uint8_t* key);

// CBC in place over count bytes; count must be a multiple of 16 (a trailing
// partial block is left untouched, never read or written past count). A count of
// 0 leaves the data and cbcChain as they were.
void AesCbcEncrypt(const std::uint8_t* key, std::uint8_t* data, std::size_t count,
                   TAesBlock& cbcChain);
void AesCbcDecrypt(const std::uint8_t* key, std::uint8_t* data, std::size_t count,
                   TAesBlock& cbcChain);

} // namespace quintrel
