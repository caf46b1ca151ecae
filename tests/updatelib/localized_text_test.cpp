#include "updatelib/base/localized_text.h"

#include <gtest/gtest.h>

namespace {

using Tern::FormatText;
using Tern::kMaxFormattedTextBytes;

// Lines end at CR or LF; "//" starts a comment only at the start of a line; keys are trimmed and
// upper-cased, texts trimmed, "\n" becomes CR LF and the last definition wins; a line whose "="
// is its last byte, or that is longer than the limit, is skipped.
TEST(LocalizedText, TextFileFormat) {
    const std::string longest(Tern::kMaxTextLineBytes - 2, 'k');
    Tern::LocalizedTextTable table;
    Tern::ParseTextFile(
        "ids_total = Total amount\n\tIDS_X\t=\t a=b \t\r\n//IDS_C=x\n  //note=y\r"
        "B=one\n\rb=two\rEMPTY= \nNONE=\nno equals sign\n\n\r\rN=First\\nSecond\nK=" +
            longest + "\nL=" + longest + "x\nLAST=without a break",
        table);
    std::string entries;
    for (const char* key :
         {"IDS_TOTAL", "IDS_X", "IDS_C", "//NOTE", "B", "EMPTY", "NONE", "N", "L", "LAST"}) {
        const std::string* text = table.Find(key);
        entries += std::string(key) + "=" + (text ? *text : "-") + ";";
    }
    EXPECT_EQ(entries,
              "IDS_TOTAL=Total amount;IDS_X=a=b;IDS_C=-;//NOTE=y;B=two;EMPTY=;NONE=-;"
              "N=First\r\nSecond;L=-;LAST=without a break;");
    EXPECT_EQ(*table.Find("K"), longest);
    EXPECT_EQ(table.Size(), 8u);
    EXPECT_EQ(table.GetText("MISSING", 1.0), "MISSING");
}

// A faulty text file never reads an argument that was not passed, nor writes through one, nor
// builds a huge result: a text whose conversions do not fit shows as it stands.
TEST(LocalizedText, TextsFormatOnlyWhenTheirConversionsFitTheArguments) {
    const struct {
        const char* text;
        std::vector<Tern::TextArgument> arguments;
        std::string expected;
    } cases[] = {
        {"%.0f/%.0f bytes (%.0f%%)", {512.0, 1024.0, 50.0}, "512/1024 bytes (50%)"},
        {"Downloading %s...", {"patch.exe"}, "Downloading patch.exe..."},
        {"%d of %u, %5.1f", {-3, 7u, 2.25}, "-3 of 7,   2.2"},
        {"%s only", {"a", "b"}, "a only"},
        {"%s and %s", {"one"}, "%s and %s"},
        {"%s bytes", {12.0}, "%s bytes"},
        {"%d", {1.5}, "%d"},
        {"%n", {1}, "%n"},
        {"%p", {1}, "%p"},
        {"%*d", {4, 2}, "%*d"},
        {"%1$s", {"x"}, "%1$s"},
        {"%ls", {"x"}, "%ls"},
        {"%.999999999f", {1.0}, "%.999999999f"},
        {"%1024d and %99999999999999999999s", {1, "x"}, "%1024d and %99999999999999999999s"},
        {"50%", {}, "50%"},
    };
    for (const auto& c : cases) EXPECT_EQ(FormatText(c.text, c.arguments), c.expected) << c.text;
}

TEST(LocalizedText, LongResultsAreCutWithoutSplittingACharacter) {
    EXPECT_EQ(FormatText("%s", {std::string(5000, 'a')}), std::string(kMaxFormattedTextBytes, 'a'));
    EXPECT_EQ(FormatText("%1023d", {1}).size(), kMaxFormattedTextBytes);
    const std::string head(kMaxFormattedTextBytes - 1, 'b');
    EXPECT_EQ(FormatText("%s", {head + "\xE2\x82\xAC"}), head);  // the euro sign goes whole
}

}  // namespace
