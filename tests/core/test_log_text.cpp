// The log as a screen reader reads it: UTF-16 counts of UTF-8 lines (bad bytes included),
// character offsets over the whole log across index pages, and ranges read back.

#include "log/log_text.h"
#include "log/utf8.h"

#include <gtest/gtest.h>

#include <string>

using namespace quintrel;

namespace {

struct TPiece {
    std::string Utf8;
    std::u16string Utf16;
};

// Lines of every width of character, one empty, one of bytes that are not UTF-8.
const TPiece kPieces[] = {
    {"12:00:00:000 < addr=3: ACK", u"12:00:00:000 < addr=3: ACK"},
    {"caf\xC3\xA9 \xE2\x82\xAC", u"caf\u00E9 \u20AC"},
    {"clef \xF0\x9D\x84\x9E!", u"clef \U0001D11E!"},
    {"", u""},
    {"bad \xC0\x80|\xE2\x82", u"bad \uFFFD\uFFFD|\uFFFD\uFFFD"},
};

// The log of lines pieces[i % 5] + i, and the text a reader should see.
std::u16string Fill(TLogStore& store, std::size_t lines) {
    std::u16string text;
    for (std::size_t i = 0; i < lines; ++i) {
        const TPiece& p = kPieces[i % std::size(kPieces)];
        const std::string n = std::to_string(i);
        store.Append(p.Utf8 + n);
        if (i > 0) text += u'\n';
        text += p.Utf16 + std::u16string(n.begin(), n.end());
    }
    return text;
}

} // namespace

TEST(LogText, ReadsUtf8AsUtf16UnitsWithEachBadByteOneReplacement) {
    struct TCase {
        const char* Name;
        std::string Bytes;
        std::u16string Text;
    };
    const TCase cases[] = {
        {"ascii", "> 53 00", u"> 53 00"},
        {"two, three and four bytes", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80",
         u"\u00E9\u20AC\U0001F600"},
        {"stray continuation bytes", "a\x80\xBF", u"a\uFFFD\uFFFD"},
        {"overlong forms", "\xC0\xAF\xE0\x80\xAF", u"\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD"},
        {"a surrogate", "\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},
        {"past U+10FFFF", "\xF4\x90\x80\x80\xF5", u"\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD"},
        {"highest and lowest of each width", "\x7F\xC2\x80\xEF\xBF\xBF\xF4\x8F\xBF\xBF",
         u"\x7F\u0080\uFFFF\U0010FFFF"},
        {"cut short in the middle", "\xE2\x82z", u"\uFFFD\uFFFDz"},
        {"cut short at the end", "z\xF0\x9F\x98", u"z\uFFFD\uFFFD\uFFFD"},
    };
    for (const TCase& c : cases) {
        std::u16string out = u"<";
        AppendUtf16(c.Bytes, out);
        EXPECT_EQ(out, u"<" + c.Text) << c.Name;
        EXPECT_EQ(Utf16Length(c.Bytes), c.Text.size()) << c.Name;
        // Every unit count maps back to the bytes of whole characters before it.
        for (std::size_t units = 0; units <= c.Text.size() + 1; ++units) {
            const std::size_t bytes = Utf8Prefix(c.Bytes, units);
            std::u16string prefix;
            AppendUtf16(std::string_view(c.Bytes).substr(0, bytes), prefix);
            const bool midPair = units < c.Text.size() && (c.Text[units] & 0xFC00) == 0xDC00;
            EXPECT_EQ(prefix.size(), std::min(units, c.Text.size()) - (midPair ? 1 : 0))
                << c.Name << " " << units;
            EXPECT_EQ(prefix, c.Text.substr(0, prefix.size())) << c.Name << " " << units;
        }
    }
}

TEST(LogText, StoreCountsOffsetsAcrossIndexPagesAndClears) {
    TLogStore store;
    EXPECT_EQ(store.CharacterCount(), 0u);
    EXPECT_EQ(store.LineAtCharacter(5), 0u);
    const std::size_t lines = 70000; // past the first index page of 65536 lines
    const std::u16string text = Fill(store, lines);
    ASSERT_EQ(store.CharacterCount(), text.size());
    std::size_t start = 0;
    for (std::size_t i = 0; i < lines; ++i) {
        const std::size_t end = text.find(u'\n', start);
        const std::size_t length = (end == std::u16string::npos ? text.size() : end) - start;
        ASSERT_EQ(store.LineStart(i), start) << i;
        ASSERT_EQ(store.LineLength(i), length) << i;
        // Its first character, its last one and its line feed all belong to the line.
        for (const std::size_t at : {start, start + length / 2, start + length})
            ASSERT_EQ(store.LineAtCharacter(at), i) << i << " at " << at;
        start += length + 1;
    }
    EXPECT_EQ(store.LineStart(lines), text.size()); // past the last line: the end
    EXPECT_EQ(store.LineLength(lines), 0u);
    EXPECT_EQ(store.LineAtCharacter(text.size() + 100), lines - 1);

    store.Clear();
    EXPECT_EQ(store.CharacterCount(), 0u);
    store.Append("\xC3\xA9");
    store.Append("x");
    EXPECT_EQ(store.CharacterCount(), 3u);
    EXPECT_EQ(store.LineStart(1), 2u);
    EXPECT_EQ(store.LineAtCharacter(1), 0u);
}

TEST(LogText, CutLinesCountWhatIsKept) {
    TLogStore store;
    const std::string longest(TLogStore::MaxLineBytes + 5, 'x'); // cut to MaxLineBytes
    for (int i = 0; i < 70; ++i)
        store.Append(longest);
    const std::size_t each = TLogStore::MaxLineBytes + 1;
    EXPECT_EQ(store.CharacterCount(), 70 * each - 1);
    EXPECT_EQ(store.LineStart(69), 69 * each);
    EXPECT_EQ(store.LineAtCharacter(69 * each - 1), 68u);
    EXPECT_EQ(store.LineAtCharacter(69 * each), 69u);
}

TEST(LogText, RangesReadAcrossLinesAndPages) {
    TLogStore store;
    const std::u16string whole = Fill(store, 70000);
    const std::size_t pageLine = store.LineStart(65536);
    struct TCase {
        const char* Name;
        std::size_t First;
        std::size_t Start;
        std::size_t End;
    };
    const std::size_t n = whole.size();
    const TCase cases[] = {
        {"inside the first line", 0, 3, 9},
        {"across several lines", 0, 20, 140},
        {"from a line feed", 0, store.LineStart(7) - 1, store.LineStart(9) + 2},
        {"a surrogate pair split at both ends", 0, store.LineStart(2) + 5, store.LineStart(2) + 6},
        {"across the index page", 0, pageLine - 50, pageLine + 50},
        {"to the very end", 0, n - 30, n},
        {"past the end is held", 0, n - 3, n + 1000},
        {"empty", 0, 40, 40},
        {"reversed is empty", 0, 50, 40},
        {"from a later first line", 12345, 0, 200},
        {"a later first line, to its end", 65530, 100, n},
    };
    for (const TCase& c : cases) {
        const TLogText text(store, c.First, SIZE_MAX);
        const std::size_t origin = store.LineStart(c.First);
        ASSERT_EQ(text.Size(), n - origin) << c.Name;
        const std::u16string want =
            c.Start < c.End ? whole.substr(origin + c.Start, c.End - c.Start) : u"";
        EXPECT_EQ(text.Range(c.Start, c.End), want) << c.Name;
    }
    // A limit cuts the text; a range never reads past it.
    const TLogText cut(store, 1, 100);
    EXPECT_EQ(cut.Size(), 100u);
    EXPECT_EQ(cut.Range(90, 500), whole.substr(store.LineStart(1) + 90, 10));
}

TEST(LogText, OffsetsAndStorePositionsMapBothWays) {
    TLogStore store;
    Fill(store, 20);
    const TLogText text(store, 5, SIZE_MAX);
    const std::size_t origin = store.LineStart(5);
    struct TCase {
        const char* Name;
        TLogPosition Position;
        std::size_t Offset;
    };
    const TCase cases[] = {
        {"start of the first line", {5, 0}, 0},
        {"after a two-byte character", {6, 5}, store.LineStart(6) - origin + 4},
        {"after a four-byte character", {7, 9}, store.LineStart(7) - origin + 7},
        {"an empty line", {8, 0}, store.LineStart(8) - origin},
        {"end of a line", {10, 2}, store.LineStart(10) - origin + 2},
    };
    for (const TCase& c : cases) {
        EXPECT_EQ(text.OffsetOf(c.Position), c.Offset) << c.Name;
        EXPECT_EQ(text.PositionOf(c.Offset), c.Position) << c.Name;
    }
    // Lines before the text, offsets in a pair, on a line feed and past the end.
    EXPECT_EQ(text.OffsetOf({2, 3}), 0u);
    EXPECT_EQ(text.OffsetOf({99, 0}), text.Size());
    EXPECT_EQ(text.PositionOf(store.LineStart(7) - origin + 6), (TLogPosition{7, 5}));
    EXPECT_EQ(text.PositionOf(store.LineStart(6) - origin - 1), (TLogPosition{5, 27}));
    EXPECT_EQ(text.PositionOf(text.Size() + 9), (TLogPosition{19, 11}));
    EXPECT_EQ(text.LineAt(text.Size()), 19u);
    EXPECT_EQ(text.LineStart(2), 0u);
    EXPECT_EQ(text.LineEnd(5), store.LineLength(5));
}

TEST(LogText, MovesItsFirstLineOnlyPastTheLimit) {
    TLogStore store;
    for (int i = 0; i < 10; ++i)
        store.Append("123456789"); // 10 units a line with its line feed; 99 in all
    struct TCase {
        const char* Name;
        std::size_t Current;
        std::size_t Limit;
        std::size_t First;
    };
    const TCase cases[] = {
        {"fits exactly", 0, 99, 0},
        {"one past: a quarter of the limit is freed", 0, 98, 3}, // keeps 74: lines 3..9 (69)
        {"from a later line, fits exactly", 4, 59, 4},
        {"from a later line, one past", 4, 58, 6}, // keeps 44: lines 6..9 (39)
        {"the last line stays, however long", 0, 5, 9},
        {"never moves back", 8, 1000, 8},
    };
    for (const TCase& c : cases) {
        const std::size_t first = TLogText::FirstLineWithin(store, c.Current, c.Limit);
        EXPECT_EQ(first, c.First) << c.Name;
        EXPECT_LE(TLogText(store, first, c.Limit).Size(), c.Limit) << c.Name;
    }
    TLogStore empty;
    EXPECT_EQ(TLogText::FirstLineWithin(empty, 3, 10), 0u);
    EXPECT_EQ(TLogText(empty, 0, 10).Range(0, 10), u"");
}
