#include "updatelib/transfer/patch_checksum.h"

#include <random>

#include "tests/updatelib/update_test_support.h"

namespace tern_test {
namespace {

// The checksum's definition, one bit at a time: an independent oracle for the fast form.
uint32_t BitwiseChecksum(const std::string& bytes) {
    uint32_t reg = 0xFFFF;
    for (unsigned char b : bytes) {
        reg ^= uint32_t{b} << 24;
        for (int i = 0; i < 8; ++i) reg = (reg & 0x80000000u) ? (reg << 1) ^ 0x1021 : reg << 1;
    }
    return reg;
}

TEST(PatchChecksum, TheFastFormIsBitExactForAnySplitOfTheInput) {
    for (const std::string& text :
         {std::string(), std::string("123456789"), RandomBytes(1000, 7)}) {
        for (const size_t split : {size_t{0}, size_t{1}, size_t{7}, size_t{9}, text.size() / 2,
                                   text.size() - 1, text.size()}) {
            if (split > text.size()) continue;
            Tern::PatchChecksum checksum;
            checksum.Update(text.data(), split);
            checksum.Update(text.data() + split, text.size() - split);
            EXPECT_EQ(checksum.Value(), BitwiseChecksum(text)) << text.size() << "/" << split;
        }
    }
    EXPECT_EQ(BitwiseChecksum("123456789"), 0x8044A04Du);  // the oracle's own check value
    EXPECT_EQ(Tern::PatchChecksum::TableEntry(1), 0x00001021u);
    EXPECT_EQ(Tern::PatchChecksum::TableEntry(255), 0x000FEF1Fu);
}

// Carry-less multiplication where the processor has it, the table otherwise: the same value for
// every length and alignment, the table being the reference.
TEST(PatchChecksum, TheFoldedFormEqualsTheTableForRandomLengthsAndOffsets) {
    const std::string bytes = RandomBytes(1 << 16, 3);
    std::mt19937 random(5);
    for (int i = 0; i < 2000; ++i) {
        const size_t offset = random() % 64;
        const size_t length = random() % (i < 1800 ? 600 : bytes.size() - offset);
        Tern::PatchChecksum checksum;
        checksum.Update(bytes.data() + offset, length);
        EXPECT_EQ(checksum.Value(), Tern::ChecksumWithTable(0xFFFF, bytes.data() + offset, length))
            << offset << "+" << length;
    }
}

class PatchChecksumFile : public IsolatedTest {};

TEST_F(PatchChecksumFile, FilesAndSignatureTexts) {
    const std::string bytes = RandomBytes((3 << 20) + 5, 11);  // several blocks
    WriteFileBytes(env_.TempDir() + "big.bin", bytes);
    EXPECT_EQ(Tern::ChecksumOfFile(env_.TempDir() + "big.bin"), BitwiseChecksum(bytes));
    EXPECT_EQ(Tern::ChecksumOfFile(env_.TempDir() + "missing"), std::nullopt);
    EXPECT_EQ(Tern::ChecksumOfFile(env_.Root()), std::nullopt);  // opens, but cannot be read

    const std::pair<const char*, uint32_t> signatures[] = {
        {"E56491DA", 0xE56491DA},         {"e56491da", 0xE56491DA},
        {"0xe56491da", 0xE56491DA},       {"1g", 0x10},
        {"123456789abcdef0", 0x9ABCDEF0}, {"", 0}};
    for (const auto& [text, value] : signatures) EXPECT_EQ(Tern::ParseSignature(text), value);
    EXPECT_EQ(Tern::ChecksumText(0xE56491DA) + " " + Tern::ChecksumText(0xFFFF) + " " +
                  Tern::ChecksumText(0),
              "e56491da ffff 0");
}

}  // namespace
}  // namespace tern_test
