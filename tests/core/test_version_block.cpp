// The version block and its path lookups.

#include "version/version_block.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

using namespace quintrel;

namespace {

TVersionResource TwoLanguages() {
    TVersionResource r;
    r.Translations = {{0x0409, 0x04B0}, {0x0407, 0x04E4}};
    r.Tables = {
        {"040704E4", {{"ProductName", "Produkt"}}},
        {"040904B0",
         {{"CompanyName", "Makers"}, {"ProductName", "Quintrel"}, {"ProductVersion", "1.20"}}},
    };
    return r;
}

} // namespace

TEST(VersionBlock, StringsAreFoundThroughTheFirstTranslation) {
    const std::vector<std::uint8_t> block = BuildVersionBlock(TwoLanguages());
    const auto translation = QueryVersionTranslation(block);
    ASSERT_TRUE(translation);
    EXPECT_EQ(translation->Language, 0x0409);
    EXPECT_EQ(translation->CodePage, 0x04B0);
    EXPECT_EQ(VersionStringPath(*translation, "ProductName"),
              "\\StringFileInfo\\040904B0\\ProductName");
    EXPECT_EQ(QueryVersionString(block, VersionStringPath(*translation, "ProductName")),
              "Quintrel");
    EXPECT_EQ(QueryVersionString(block, "\\StringFileInfo\\040704E4\\ProductName"), "Produkt");
    EXPECT_EQ(QueryVersionString(block, "\\stringfileinfo\\040904b0\\productversion"), "1.20");
    // The root's own value is empty but present; a path through a leaf finds nothing.
    EXPECT_TRUE(QueryVersionValue(block, "\\"));
    EXPECT_FALSE(QueryVersionValue(block, "\\StringFileInfo\\040904B0\\ProductName\\x"));
}

TEST(VersionBlock, MissingPartsGiveNothing) {
    const std::vector<std::uint8_t> block = BuildVersionBlock(TwoLanguages());
    EXPECT_EQ(QueryVersionString(block, "\\StringFileInfo\\040904B0\\LegalCopyRight"), "");
    EXPECT_FALSE(QueryVersionValue(block, "\\StringFileInfo\\040904E4\\ProductName"));
    EXPECT_FALSE(QueryVersionValue(block, "\\StringFileInfo\\040904B0\\Product"));

    TVersionResource bare;
    bare.Tables = {{"040904E4", {{"ProductName", "Quintrel"}}}};
    EXPECT_FALSE(QueryVersionTranslation(BuildVersionBlock(bare)));
    EXPECT_FALSE(QueryVersionTranslation({}));
    EXPECT_EQ(QueryVersionString({}, "\\StringFileInfo\\040904E4\\ProductName"), "");
}

// A damaged block must not be read beyond its end (the sanitizer build watches this).
TEST(VersionBlock, DamagedBlocksAreReadSafely) {
    const std::vector<std::uint8_t> block = BuildVersionBlock(TwoLanguages());
    const std::string path = "\\StringFileInfo\\040904B0\\ProductVersion";
    for (std::size_t size = 0; size < block.size(); ++size) {
        const std::vector<std::uint8_t> cut(block.begin(), block.begin() + size);
        EXPECT_FALSE(QueryVersionValue(cut, path)) << size;
    }
    for (std::size_t at = 0; at < block.size(); ++at) {
        for (std::uint8_t value : {0x00, 0x05, 0xFF}) {
            std::vector<std::uint8_t> bad = block;
            bad[at] = value;
            const auto found = QueryVersionValue(bad, path);
            if (found) {
                EXPECT_LE(found->data() + found->size(), bad.data() + bad.size());
            }
        }
    }
}
