// Vendor names from the IEEE registry text.

#include "decode/vendor_list.h"

#include <gtest/gtest.h>

using namespace quintrel;

namespace {

TVendorList List(std::string_view text) {
    TVendorList list;
    list.LoadFromText(text);
    return list;
}

} // namespace

TEST(VendorList, RegistryExportLines) {
    // CR LF endings as in the published file; the organization is the last field on one line.
    const TVendorList list = List("Registry,Assignment,Organization Name,Organization Address\r\n"
                                  "MA-L,F4BD9E,\"Cisco Systems, Inc\",80 West Tasman Drive\r\n"
                                  "MA-L,0017AC,O'Neil Product Development Inc.,8 Mason\r\n"
                                  "MA-L,A1B2C3,'Quoted, Single',Somewhere\r\n"
                                  "MA-L,7C4E51,,Maker Systems,\"Street 1, Town\"\r\n"
                                  "MA-L,0A0B0C,Last Of All\r\n");
    EXPECT_EQ(list.Size(), 6u);
    // Quoted commas do not split and the quotes stay.
    EXPECT_EQ(list.VendorName(0xF4BD9E), "F4BD9E=\"Cisco Systems, Inc\"");
    EXPECT_EQ(list.VendorName(0xA1B2C3), "A1B2C3='Quoted, Single'");
    // An apostrophe with no partner on its line quotes nothing.
    EXPECT_EQ(list.VendorName(0x0017AC), "0017AC=O'Neil Product Development Inc.");
    // The empty field does not count, so the fourth column is taken.
    EXPECT_EQ(list.VendorName(0x7C4E51), "7C4E51=Maker Systems");
    EXPECT_EQ(list.VendorName(0x0A0B0C), "0A0B0C=Last Of All");
    EXPECT_EQ(list.VendorName(0x123456), "123456");
}

TEST(VendorList, FirstLineContainingTheKeyDecides) {
    const TVendorList list = List("MA-L,111111,First,Box 7C4E15\n"
                                  "MA-L,7C4E15,Maker Systems,Street\n"
                                  "MA-L,222222,Second,Code 9ABCDEF0\n"
                                  "MA-L,ABCDEF,Own Line,Street\n"
                                  "MA-L,fedcba,Lower Case,Street\n"
                                  "MA-L,FEDCBA\n"
                                  "MA-L,FEDCBA,Too Late,Street");
    EXPECT_EQ(list.Size(), 7u);
    // Found in an address before its own line, and inside a longer run of hex digits.
    EXPECT_EQ(list.VendorName(0x7C4E15), "7C4E15=TORVA | First");
    EXPECT_EQ(list.VendorName(0xABCDEF), "ABCDEF=Second");
    // Letter case matters, and a matching line with too few fields ends the search.
    EXPECT_EQ(list.VendorName(0xFEDCBA), "FEDCBA");
}

TEST(VendorList, EmptyOrClearedListGivesTheBareKey) {
    TVendorList list;
    EXPECT_EQ(list.VendorName(0x7C4E15), "7C4E15");
    list.LoadFromText("MA-L,00000A,Small Code,Street\n");
    EXPECT_EQ(list.VendorName(0x00000A), "00000A=Small Code");
    list.Clear();
    EXPECT_EQ(list.Size(), 0u);
    EXPECT_EQ(list.VendorName(0x00000A), "00000A");
}
