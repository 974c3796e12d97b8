// The maker's maintenance channel: request payloads, reply handling, customer-code
// names and the options preview, with the values of the reader's own documentation.

#include "maintenance/cust_codes.h"
#include "maintenance/file_transfer.h"
#include "maintenance/mfg_channel.h"
#include "maintenance/reader_options.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <set>

using namespace quintrel;
using quintrel::test::Bytes;
using quintrel::test::Hex;

namespace {

std::string Payload(const TOsdpRequest& r) {
    return Hex(r.Payload.data(), r.PayloadLength);
}

TMaintenanceRecords Reply(const std::string& hex, TMaintenanceRecords records = {}) {
    const auto data = Bytes(hex);
    HandleMfgReply(records, data.data(), data.size());
    return records;
}

} // namespace

TEST(MfgChannel, RequestPayloads) {
    TCustCodeList codes;
    codes.Add(4, 0x1230);
    codes.Add(8, 5);
    const struct {
        TOsdpRequest Request;
        const char* Payload;
    } cases[] = {
        {[] {
             TOsdpRequest r;
             r.SetPayloadEnd(BuildMfgRequest(r, 0x123456, 0, mfcResetAll));
             return r;
         }(),
         "12 34 56 EF"},
        {[] {
             TOsdpRequest r;
             r.SetPayloadEnd(BuildMfgRequest(r, 0x7C4E15, 0, 0x01FA));
             return r;
         }(),
         "7C 4E 15 01 FA"},
        {ReadCustCodes(0x7C4E15, 3), "7C 4E 15 CC"},
        {WriteCustCodes(0x7C4E15, 3, codes), "7C 4E 15 CC 02 04 12 30 08 00 05"},
        {WriteCustCodeMode(0x7C4E15, 3, 3), "7C 4E 15 CE 03"},
        {WriteVarFlags(0x7C4E15, 3, {0xE5, -1, 40}), "7C 4E 15 CF E5"},
        {WriteVarFlags(0x7C4E15, 3, {0x01, 24, -1}), "7C 4E 15 CF 01 18"},
        {WriteVarFlags(0x7C4E15, 3, {0x01, 300, 0}), "7C 4E 15 CF 01 2C 00"},
        {EnterBootloader(0x7C4E15, 3, "ab"), "7C 4E 15 EA 61 62"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.Request.Command, 0x80);
        EXPECT_EQ(Payload(c.Request), c.Payload);
    }
    TMaintenanceRecords records;
    records.CustCodeMode = 2;
    EXPECT_EQ(Payload(ReadCustCodeMode(0x7C4E15, 127, records)), "7C 4E 15 CE");
    EXPECT_EQ(records.CustCodeMode, -1); // unknown until the reader answers
}

TEST(MfgChannel, RepliesFillTheRecords) {
    TMaintenanceRecords r = Reply("7C 4E 15 CC 02 04 12 30 06 00 07");
    EXPECT_EQ(r.CustCodes.Count, 2);
    EXPECT_EQ(r.CustCodes.Items[1], (TCustCode{6, 7}));
    // Count 2 with five bytes: the list is left empty (and no longer modified).
    r.CustCodes.Modified = true;
    r = Reply("7C 4E 15 CC 02 04 12 30 06 00", r);
    EXPECT_EQ(r.CustCodes.Count, 0);
    EXPECT_FALSE(r.CustCodes.Modified);
    // Type 0 and duplicates are dropped; the third vendor byte is not compared.
    r = Reply("7C 4E FF CC 03 00 00 01 08 00 05 08 00 05");
    EXPECT_EQ(r.CustCodes.Count, 1);

    r = Reply("7C 4E 15 CF 15");
    EXPECT_EQ(r.VarFlags.Flags, 0x15);
    EXPECT_EQ(r.VarFlags.IdBitLength, -1);
    EXPECT_EQ(r.VarFlags.RawBitLength, -1);
    r = Reply("7C 4E 15 CF E5 18 00 99");
    EXPECT_EQ(r.VarFlags.IdBitLength, 24);
    EXPECT_EQ(r.VarFlags.RawBitLength, 0);

    EXPECT_EQ(Reply("7C 4E 15 CE 02").CustCodeMode, 2);
    EXPECT_EQ(Reply("7C 4E 15 C9 06 12 34").LastCustCode, (TCustCode{6, 0x1234}));
    r.LastCustCode = {8, 1};
    EXPECT_EQ(Reply("7C 4E 15 C9 06 12", r).LastCustCode, (TCustCode{8, 1})); // short: kept

    // Another maker, too short, unknown sub-code: nothing changes.
    for (const char* ignored : {"12 34 15 CC 01 08 00 05", "7C 4E 15", "7C 4E 15 77 01"}) {
        const TMaintenanceRecords untouched = Reply(ignored, r);
        EXPECT_EQ(untouched.CustCodes.Count, r.CustCodes.Count) << ignored;
        EXPECT_EQ(untouched.VarFlags.Flags, r.VarFlags.Flags) << ignored;
    }
}

// The list of a customer-code reply must be exactly as long as its count says: a byte short
// or a byte over, or a whole code over, and nothing of it is taken. The list holds 20 codes.
TEST(MfgChannel, CustCodeReplyMatchesItsCount) {
    const auto codes = [](int count, int items, int extra = 0) {
        std::string hex = "7C 4E 15 CC " + Hex(std::vector<std::uint8_t>{std::uint8_t(count)});
        for (int i = 1; i <= items; ++i)
            hex += " 08 00 " + Hex(std::vector<std::uint8_t>{std::uint8_t(i)});
        for (int i = 0; i < extra; ++i)
            hex += " 00";
        return hex;
    };
    const struct {
        std::string Reply;
        int Kept;
    } cases[] = {
        {codes(2, 2), 2},    {codes(2, 2, 1), 0}, {codes(2, 3), 0},
        {codes(3, 2, 2), 0}, {codes(0, 0), 0},    {codes(0, 0, 1), 0},
        {codes(20, 20), 20}, {codes(21, 21), 20}, // the list's capacity
    };
    for (const auto& c : cases) {
        TMaintenanceRecords before;
        before.CustCodes.Add(4, 0x1230);
        EXPECT_EQ(Reply(c.Reply, before).CustCodes.Count, c.Kept) << c.Reply;
    }
}

TEST(CustCodes, ListRules) {
    TCustCodeList list;
    EXPECT_FALSE(list.Add(0, 1));
    for (int i = 1; i <= 21; ++i)
        list.Add(8, static_cast<std::uint16_t>(i));
    EXPECT_EQ(list.Count, TCustCodeList::Capacity);
    EXPECT_FALSE(list.Add(8, 5)); // a duplicate, and full anyway
    EXPECT_EQ(list.Find(8, 20), 19);
    EXPECT_EQ(list.Find(8, 21), -1);
    EXPECT_TRUE(list.Delete(0));
    EXPECT_FALSE(list.Delete(19));
    EXPECT_EQ(list.Count, 19);
    EXPECT_EQ(list.Items[0], (TCustCode{8, 2}));
    EXPECT_EQ(list.Items[19], TCustCode{});
}

TEST(CustCodes, TableIsOneToOneWithLowNibbleClear) {
    std::set<std::uint16_t> seen(CodeTable.begin(), CodeTable.end());
    EXPECT_EQ(seen.size(), CodeTable.size());
    for (std::uint16_t v : CodeTable)
        EXPECT_EQ(v & 0x000F, 0);
}

TEST(CustCodes, NamesOfTypedCodes) {
    const struct {
        TCodeKind Kind;
        long long Number;
        const char* Text; // nullptr: refused
    } cases[] = {
        {TCodeKind::DF, 1234, "DF1234"}, {TCodeKind::DF, 7, "DF0007"},
        {TCodeKind::DF, 9999, "DF9999"}, {TCodeKind::DF, 0, nullptr},
        {TCodeKind::DF, 10000, nullptr}, {TCodeKind::CF, 1, "CF001"},
        {TCodeKind::CF, 999, "CF999"},   {TCodeKind::CF, 1000, nullptr},
        {TCodeKind::GF, 5, "GF005"},     {TCodeKind::GF, 0, nullptr},
        {TCodeKind::GF, 256, nullptr},   {TCodeKind::GF, -1, nullptr},
    };
    for (const auto& c : cases) {
        const auto code = CodeToAdd(c.Kind, c.Number);
        ASSERT_EQ(code.has_value(), c.Text != nullptr) << c.Number;
        if (code) {
            EXPECT_EQ(CustCodeText(*code), c.Text);
        }
    }
    EXPECT_EQ(CodeToAdd(TCodeKind::DF, 1234)->Value, CodeTable[123] + 4);
    EXPECT_EQ(CustCodeText({2, 0}), "EFCB");
    EXPECT_EQ(CustCodeText({1, 5}), "");
    EXPECT_EQ(CustCodeText({4, 0x0001}), ""); // no table entry has a low nibble
}

TEST(CustCodes, ListTextAndModes) {
    TCustCodeList list;
    list.Add(1, 1); // a type-1 row has no name
    list.Add(1, 2);
    EXPECT_EQ(ListText(list), "« customer codes unknown »");
    EXPECT_EQ(ListText(TCustCodeList{}), "« customer codes unknown »");
    list.Add(8, 5);
    list.Add(2, 0);
    EXPECT_EQ(ListText(list), "GF005, EFCB");
    EXPECT_EQ(CheckModeIndex(2), 2);
    EXPECT_EQ(CheckModeByte(CheckModeIndex(2)), 3);
    EXPECT_EQ(CheckModeByte(CheckModeIndex(1)), 1);
    EXPECT_EQ(CheckModeIndex(-1), -1);
}

TEST(ReaderOptions, FlagsKeepTheUnshownBits) {
    EXPECT_EQ(FlagsFromBoxes(0xE5, BoxesFromFlags(0xE5)), 0xE5);
    TOptionBoxes b = BoxesFromFlags(0xE5);
    b.AddCardType = false;
    EXPECT_EQ(FlagsFromBoxes(0xE5, b), 0xE4);
}

TEST(ReaderOptions, Preview) {
    const struct {
        TOptionBoxes Boxes;
        const char* Format1;
        const char* Format2;
        const char* Format3;
    } cases[] = {
        {{true, false, true, false, false},
         "01 <TT> <IDNO>",
         "01 <TT> <VANTOR-ID>",
         "02 <TT> <CARD-ID>"},
        {{false, false, true, true, false}, "01 <IDNO>", "03 <VANTOR-ID> <CARD-ID>", ""},
        {{false, true, false, true, true}, "<CCCC> <IDNO>", "<CCCC> <CARD-ID>", ""},
        {{false, false, false, false, true}, "<IDNO>", "", "<CARD-ID>"},
    };
    for (const auto& c : cases) {
        const TOptionsPreview p = PreviewOptions(c.Boxes);
        EXPECT_EQ(p.Format1, c.Format1);
        EXPECT_EQ(p.Format2, c.Format2);
        EXPECT_EQ(p.Format3, c.Format3);
    }
}

TEST(FileTransfer, FragmentAndStatus) {
    const auto bytes = Bytes("AA BB");
    std::array<std::uint8_t, 32> buffer{};
    std::uint8_t* cursor = buffer.data();
    BuildFileTransfer(cursor, 130, 128, bytes.data(), 2);
    EXPECT_EQ(Hex(buffer.data(), static_cast<std::size_t>(cursor - buffer.data())),
              "01 82 00 00 00 80 00 00 00 02 00 AA BB");

    const auto stat = Bytes("01 F4 01 FF FF 80 00");
    const auto parsed = ParseFtStat(stat.data(), stat.size());
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->DelayMs, 500);
    EXPECT_EQ(parsed->Status, -1);
    EXPECT_EQ(parsed->MaxMessage, 128);
    EXPECT_FALSE(ParseFtStat(stat.data(), 6));
}
