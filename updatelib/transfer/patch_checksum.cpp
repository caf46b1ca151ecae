#include "updatelib/transfer/patch_checksum.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <memory>
#include <vector>

#include "platform/ascii.h"

namespace Tern {
namespace {

constexpr uint32_t kGenerator = 0x00001021;
constexpr size_t kSlices = 8;
constexpr size_t kBlockBytes = 1 << 20;

// tables[0] is the byte table; tables[k][i] is the register after byte i followed by k zero
// bytes, which lets the loop consume eight bytes per step with the same result.
using SliceTables = std::array<std::array<uint32_t, 256>, kSlices>;

SliceTables BuildTables() {
    SliceTables tables{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t reg = i << 24;
        for (int bit = 0; bit < 8; ++bit)
            reg = (reg & 0x80000000u) ? (reg << 1) ^ kGenerator : reg << 1;
        tables[0][i] = reg;
    }
    for (size_t k = 1; k < kSlices; ++k) {
        for (size_t i = 0; i < 256; ++i) {
            const uint32_t previous = tables[k - 1][i];
            tables[k][i] = (previous << 8) ^ tables[0][previous >> 24];
        }
    }
    return tables;
}

const SliceTables& Tables() {
    static const SliceTables tables = BuildTables();
    return tables;
}

uint32_t LoadBigEndian(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

}  // namespace

uint32_t PatchChecksum::TableEntry(uint8_t index) { return Tables()[0][index]; }

void PatchChecksum::Update(const void* data, size_t size) {
    const SliceTables& t = Tables();
    const auto* p = static_cast<const uint8_t*>(data);
    uint32_t reg = value_;
    for (; size >= kSlices; size -= kSlices, p += kSlices) {
        const uint32_t high = reg ^ LoadBigEndian(p);
        const uint32_t low = LoadBigEndian(p + 4);
        reg = t[7][high >> 24] ^ t[6][(high >> 16) & 0xFF] ^ t[5][(high >> 8) & 0xFF] ^
              t[4][high & 0xFF] ^ t[3][low >> 24] ^ t[2][(low >> 16) & 0xFF] ^
              t[1][(low >> 8) & 0xFF] ^ t[0][low & 0xFF];
    }
    for (; size > 0; --size, ++p) reg = (reg << 8) ^ t[0][(reg >> 24) ^ *p];
    value_ = reg;
}

std::optional<uint32_t> ChecksumOfFile(const std::string& path) {
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
    if (!file) return std::nullopt;
    std::vector<uint8_t> block(kBlockBytes);
    PatchChecksum checksum;
    size_t got;
    while ((got = std::fread(block.data(), 1, block.size(), file.get())) > 0) {
        checksum.Update(block.data(), got);
    }
    if (std::ferror(file.get())) return std::nullopt;
    return checksum.Value();
}

uint32_t ParseSignature(const std::string& text) {
    uint32_t value = 0;
    // Any character that is not a hexadecimal digit counts as 0.
    for (char c : text)
        value = (value << 4) + static_cast<uint32_t>(std::max(0, platform::HexDigitValue(c)));
    return value;
}

std::string ChecksumText(uint32_t value) {
    char text[9];
    std::snprintf(text, sizeof text, "%x", value);
    return text;
}

}  // namespace Tern
