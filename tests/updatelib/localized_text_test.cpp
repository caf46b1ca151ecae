#include "updatelib/base/localized_text.h"

#include <gtest/gtest.h>

#include "tests/support/isolated_env.h"

namespace {

using Tern::LocalizedTextTable;

LocalizedTextTable Parse(const std::string& bytes) {
    LocalizedTextTable table;
    Tern::ParseTextFile(bytes, table);
    return table;
}

std::string TextOf(const LocalizedTextTable& table, const std::string& key) {
    const std::string* text = table.Find(key);
    return text ? *text : "<missing>";
}

TEST(TextFileParsing, KeysAreTrimmedAndUpperCasedTextsTrimmedAndKept) {
    const auto table = Parse("ids_total = Total amount\n\tIDS_X\t=\t a=b \t\n");
    EXPECT_EQ(TextOf(table, "IDS_TOTAL"), "Total amount");
    EXPECT_EQ(TextOf(table, "IDS_X"), "a=b");
    EXPECT_EQ(table.Size(), 2u);
}

TEST(TextFileParsing, EqualsAsLastByteIsIgnoredButABlankAfterItStoresAnEmptyText) {
    EXPECT_EQ(TextOf(Parse("IDS_TOTAL="), "IDS_TOTAL"), "<missing>");
    EXPECT_EQ(TextOf(Parse("IDS_TOTAL= "), "IDS_TOTAL"), "");
    EXPECT_EQ(Parse("no equals sign here\n").Size(), 0u);
}

TEST(TextFileParsing, OnlyALineStartingWithTwoSlashesIsAComment) {
    const auto table = Parse("//IDS_A=x\n  //note=x\n");
    EXPECT_EQ(TextOf(table, "IDS_A"), "<missing>");
    EXPECT_EQ(TextOf(table, "// NOTE"), "<missing>");
    EXPECT_EQ(TextOf(table, "//NOTE"), "x");
}

TEST(TextFileParsing, EveryLineBreakStyleSeparatesLines) {
    const auto table = Parse("A=1\r\nB=2\n\rC=3\rD=4\n\n\n\r\rE=5");
    for (const char* key : {"A", "B", "C", "D", "E"}) EXPECT_NE(table.Find(key), nullptr) << key;
    EXPECT_EQ(TextOf(table, "E"), "5");  // last line without a break is read in full
    EXPECT_EQ(TextOf(Parse("E=5\n"), "E"), "5");
}

TEST(TextFileParsing, BackslashNBecomesCrLfAndTheLastDefinitionWins) {
    const auto table = Parse("A=First\\nSecond\nB=one\nb=two\n");
    EXPECT_EQ(TextOf(table, "A"), "First\r\nSecond");
    EXPECT_EQ(TextOf(table, "B"), "two");
}

TEST(TextFileParsing, LinesLongerThanTheLimitAreSkippedWhole) {
    const std::string longest = "K=" + std::string(Tern::kMaxTextLineBytes - 2, 'x');
    const std::string tooLong = "L=" + std::string(Tern::kMaxTextLineBytes - 1, 'x');
    const auto table = Parse(longest + "\n" + tooLong + "\nM=after");
    EXPECT_EQ(TextOf(table, "K").size(), Tern::kMaxTextLineBytes - 2);
    EXPECT_EQ(TextOf(table, "L"), "<missing>");
    EXPECT_EQ(TextOf(table, "M"), "after");
}

TEST(GetText, MissingKeyYieldsTheKeyEvenWithArguments) {
    LocalizedTextTable table;
    EXPECT_EQ(table.GetText("IDS_DOWNLOAD_PROGRESS", 1.0, 2.0, 50.0), "IDS_DOWNLOAD_PROGRESS");
}

TEST(GetText, FormatsWhenTheConversionsFitTheArguments) {
    const auto table = Parse(
        "P=%.0f/%.0f bytes received (%.0f%%)\nF=Downloading %s...\nN=%d of %u, %5.1f\nL=100%%\n");
    EXPECT_EQ(table.GetText("P", 512.0, 1024.0, 50.0), "512/1024 bytes received (50%)");
    EXPECT_EQ(table.GetText("F", std::string("patch.exe")), "Downloading patch.exe...");
    EXPECT_EQ(table.GetText("N", -3, 7u, 2.25), "-3 of 7,   2.2");
    EXPECT_EQ(table.GetText("L"), "100%");
}

TEST(GetText, ConversionsThatDoNotFitShowTheTextAsItStands) {
    const auto table = Parse(
        "MORE=%s and %s\nKIND=%s bytes\nNUM=%d\nWRITE=%n\nSTAR=%*d\nPOS=%1$s\nWIDE=%ls\n"
        "OPEN=50%\nPTR=%p\n");
    EXPECT_EQ(table.GetText("MORE", "one"), "%s and %s");
    EXPECT_EQ(table.GetText("KIND", 12.0), "%s bytes");
    EXPECT_EQ(table.GetText("NUM", 1.5), "%d");
    EXPECT_EQ(table.GetText("WRITE", 1), "%n");
    EXPECT_EQ(table.GetText("STAR", 4, 2), "%*d");
    EXPECT_EQ(table.GetText("POS", "x"), "%1$s");
    EXPECT_EQ(table.GetText("WIDE", "x"), "%ls");
    EXPECT_EQ(table.GetText("OPEN"), "50%");
    EXPECT_EQ(table.GetText("PTR", 1), "%p");
    // Fewer conversions than arguments read nothing they should not.
    EXPECT_EQ(Parse("ONE=%s only").GetText("ONE", "a", "b"), "a only");
}

TEST(GetText, LongResultsAreCutCleanlyAtTheLimit) {
    const auto table = Parse("W=%s\nH=%2000d\n");
    const std::string formatted = table.GetText("W", std::string(5000, 'a'));
    EXPECT_EQ(formatted, std::string(Tern::kMaxFormattedTextBytes, 'a'));
    EXPECT_EQ(table.GetText("H", 1).size(), Tern::kMaxFormattedTextBytes);
    // A multi-byte UTF-8 character straddling the limit is dropped whole.
    const std::string euro = "\xE2\x82\xAC";
    const std::string cut =
        table.GetText("W", std::string(Tern::kMaxFormattedTextBytes - 1, 'b') + euro);
    EXPECT_EQ(cut, std::string(Tern::kMaxFormattedTextBytes - 1, 'b'));
}

class TextFileLoading : public tern_test::IsolatedTest {};

TEST_F(TextFileLoading, LoadsTheFileOfTheLanguageBelowTheDirectory) {
    tern_test::WriteFileBytes(env_.Root() + "/app/Resources/fr/GameUpdate.fr", "IDS_TOTAL=Somme");
    LocalizedTextTable table;
    ASSERT_TRUE(Tern::LoadTextFileFrom(table, env_.Root() + "/app", "fr"));
    EXPECT_EQ(table.GetText("IDS_TOTAL"), "Somme");
    EXPECT_FALSE(Tern::LoadTextFileFrom(table, env_.Root() + "/app", "de"));
}

TEST_F(TextFileLoading, EmptyFileLoadsWithoutEntriesAndADirectoryDoesNot) {
    tern_test::WriteFileBytes(env_.Root() + "/Resources/us/GameUpdate.us", "");
    LocalizedTextTable table;
    EXPECT_TRUE(Tern::LoadTextFileFrom(table, env_.Root(), "us"));
    EXPECT_EQ(table.Size(), 0u);
    tern_test::WriteFileBytes(env_.Root() + "/Resources/xx/GameUpdate.xx/inner", "");
    EXPECT_FALSE(Tern::LoadTextFileFrom(table, env_.Root(), "xx"));
}

TEST_F(TextFileLoading, ALauncherInstalledDeepDownFindsItsTexts) {
    const std::string directory = tern_test::LongDirectory(env_.Root(), 1000);
    tern_test::WriteFileBytes(directory + "/Resources/us/GameUpdate.us", "A=1");
    LocalizedTextTable table;
    EXPECT_TRUE(Tern::LoadTextFileFrom(table, directory, "us"));
    EXPECT_EQ(table.GetText("A"), "1");
}

}  // namespace
