#include "updatelib/transfer/patch_checksum.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "tests/support/isolated_env.h"

namespace {

using Tern::PatchChecksum;

uint32_t ChecksumOf(const std::string& bytes) {
    PatchChecksum checksum;
    checksum.Update(bytes.data(), bytes.size());
    return checksum.Value();
}

// The checksum's definition, one bit at a time: an independent oracle for the fast form.
uint32_t BitwiseChecksum(const std::string& bytes) {
    uint32_t reg = 0xFFFF;
    for (unsigned char b : bytes) {
        reg ^= uint32_t{b} << 24;
        for (int i = 0; i < 8; ++i) reg = (reg & 0x80000000u) ? (reg << 1) ^ 0x1021 : reg << 1;
    }
    return reg;
}

std::string RandomBytes(size_t size, unsigned seed) {
    std::mt19937 random(seed);
    std::string bytes(size, '\0');
    for (char& c : bytes) c = static_cast<char>(random());
    return bytes;
}

TEST(PatchChecksum, CheckValuesAndTableEntries) {
    EXPECT_EQ(ChecksumOf(""), 0x0000FFFFu);
    EXPECT_EQ(ChecksumOf("abc"), 0xE56491DAu);
    EXPECT_EQ(ChecksumOf("123456789"), 0x8044A04Du);
    EXPECT_EQ(PatchChecksum::TableEntry(1), 0x00001021u);
    EXPECT_EQ(PatchChecksum::TableEntry(2), 0x00002042u);
    EXPECT_EQ(PatchChecksum::TableEntry(255), 0x000FEF1Fu);
}

TEST(PatchChecksum, AnySplitOfTheInputGivesTheDefinedValue) {
    const std::string bytes = RandomBytes(1000, 7);
    for (size_t split : {0u, 1u, 3u, 7u, 8u, 9u, 500u, 999u}) {
        PatchChecksum checksum;
        checksum.Update(bytes.data(), split);
        checksum.Update(bytes.data() + split, bytes.size() - split);
        EXPECT_EQ(checksum.Value(), BitwiseChecksum(bytes)) << split;
    }
}

class ChecksumOfFileTest : public tern_test::IsolatedTest {};

TEST_F(ChecksumOfFileTest, StreamedFileLargerThanABlockEqualsTheInMemoryValue) {
    const std::string bytes = RandomBytes((3 << 20) + 5, 11);
    const std::string path = env_.TempDir() + "big.bin";
    tern_test::WriteFileBytes(path, bytes);
    EXPECT_EQ(Tern::ChecksumOfFile(path), BitwiseChecksum(bytes));
}

TEST_F(ChecksumOfFileTest, MissingOrUnreadableFilesHaveNoChecksum) {
    EXPECT_EQ(Tern::ChecksumOfFile(env_.TempDir() + "missing"), std::nullopt);
    EXPECT_EQ(Tern::ChecksumOfFile(env_.Root()),
              std::nullopt);  // a directory opens but cannot be read
}

TEST(Signature, ParsesEitherCaseCountsOtherCharactersAsZeroAndKeepsTheLastEightDigits) {
    EXPECT_EQ(Tern::ParseSignature("E56491DA"), 0xE56491DAu);
    EXPECT_EQ(Tern::ParseSignature("e56491da"), 0xE56491DAu);
    EXPECT_EQ(Tern::ParseSignature("0xe56491da"), 0xE56491DAu);
    EXPECT_EQ(Tern::ParseSignature("123456789abcdef0"), 0x9ABCDEF0u);
    EXPECT_EQ(Tern::ParseSignature("1g"), 0x10u);
    EXPECT_EQ(Tern::ParseSignature(""), 0u);
}

TEST(Signature, TextIsLowerCaseHexWithoutLeadingZeros) {
    EXPECT_EQ(Tern::ChecksumText(0xFFFF), "ffff");
    EXPECT_EQ(Tern::ChecksumText(0xE56491DA), "e56491da");
    EXPECT_EQ(Tern::ChecksumText(0), "0");
}

}  // namespace
