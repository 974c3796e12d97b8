#pragma once
// Version information as one self-describing block of bytes: a tree of nodes, each with a
// key, an optional value and children, queried by a path of keys such as
// "\StringFileInfo\040904B0\ProductName". The layout follows the classic version resource
// (lengths first, 4-byte alignment) with UTF-8 text, so the program carries the same kind of
// block on every platform and reads it with the same lookups.
//
// Node layout, little-endian:
//   u16 length of the node including its children, u16 value length in bytes,
//   u16 type (1 text, 0 binary), key in UTF-8 with a terminating zero, padding to 4,
//   value bytes (text values include their terminating zero), padding to 4, children.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quintrel {

struct TVersionTranslation {
    std::uint16_t Language = 0;
    std::uint16_t CodePage = 0;
};

struct TVersionStringTable {
    std::string Name; // normally the translation as eight hex digits, e.g. "040904B0"
    std::vector<std::pair<std::string, std::string>> Strings;
};

struct TVersionResource {
    std::vector<TVersionTranslation> Translations;
    std::vector<TVersionStringTable> Tables;
};

std::vector<std::uint8_t> BuildVersionBlock(const TVersionResource& resource);

// The value at a path of keys below the root ("\" alone is the root's own value). Keys
// match without regard to letter case. Nothing is read outside the block, whatever its
// contents; a malformed node ends the search.
std::optional<std::span<const std::uint8_t>> QueryVersionValue(std::span<const std::uint8_t> block,
                                                               std::string_view subBlock);

// The first entry of "\VarFileInfo\Translation", if there is one.
std::optional<TVersionTranslation> QueryVersionTranslation(std::span<const std::uint8_t> block);

// "\StringFileInfo\%4.4X%4.4X\key".
std::string VersionStringPath(TVersionTranslation translation, std::string_view key);

// The text at a path without its terminating zero; empty when there is none.
std::string QueryVersionString(std::span<const std::uint8_t> block, std::string_view subBlock);

} // namespace quintrel
