#include "updatelib/transfer/patch_checksum.h"

#include <immintrin.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <memory>
#include <new>

#include "platform/ascii.h"
#include "platform/file.h"

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

// Folding with carry-less multiplication: the data is a polynomial whose highest coefficient is
// the first bit; 64 bytes at a time, four 128-bit lanes are each multiplied by x^512 (reduced
// modulo the generator, which keeps the remainder) and the next 64 bytes added. At the end the
// lanes are folded into one, whose remainder the table computes. The register enters as the
// first 32 bits of the data: (R * x^n + M * x^32) mod P = ((R * x^(n-32) + M) * x^32) mod P.
constexpr size_t kFoldBytes = 64;

// x^n mod P, the generator P being x^32 + 0x1021.
constexpr uint64_t PowerModGenerator(unsigned n) {
    uint32_t reg = 1;  // x^0
    for (unsigned i = 0; i < n; ++i) reg = (reg & 0x80000000u) ? (reg << 1) ^ kGenerator : reg << 1;
    return reg;
}

// Multiplying a lane by x^n: its high half by x^(n+64) mod P, its low half by x^n mod P.
struct FoldConstants {
    uint64_t low;
    uint64_t high;
};
constexpr FoldConstants Fold(unsigned n) {
    return {PowerModGenerator(n), PowerModGenerator(n + 64)};
}

// The VEX forms of the instructions: the legacy SSE encoding is much slower on some processors.
#define TERN_FOLD_TARGET __attribute__((target("avx,pclmul,ssse3")))

TERN_FOLD_TARGET __m128i LoadLane(const uint8_t* p) {
    const __m128i reverse = _mm_set_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    return _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), reverse);
}

TERN_FOLD_TARGET __m128i FoldLane(__m128i lane, __m128i constants, __m128i next) {
    const __m128i high = _mm_clmulepi64_si128(lane, constants, 0x11);
    const __m128i low = _mm_clmulepi64_si128(lane, constants, 0x00);
    return _mm_xor_si128(_mm_xor_si128(high, low), next);
}

TERN_FOLD_TARGET __m128i Constants(const FoldConstants& fold) {
    return _mm_set_epi64x(static_cast<long long>(fold.high), static_cast<long long>(fold.low));
}

// The register after `reg` and `size` bytes (a multiple of kFoldBytes, at least one).
TERN_FOLD_TARGET uint32_t FoldedUpdate(uint32_t reg, const uint8_t* p, size_t size) {
    __m128i lanes[4];
    for (int i = 0; i < 4; ++i) lanes[i] = LoadLane(p + 16 * i);
    lanes[0] = _mm_xor_si128(lanes[0], _mm_set_epi32(static_cast<int>(reg), 0, 0, 0));
    const __m128i by512 = Constants(Fold(512));
    for (p += kFoldBytes, size -= kFoldBytes; size >= kFoldBytes;
         p += kFoldBytes, size -= kFoldBytes) {
        for (int i = 0; i < 4; ++i) lanes[i] = FoldLane(lanes[i], by512, LoadLane(p + 16 * i));
    }
    __m128i folded = FoldLane(lanes[0], Constants(Fold(128)), lanes[1]);
    folded = FoldLane(folded, Constants(Fold(128)), lanes[2]);
    folded = FoldLane(folded, Constants(Fold(128)), lanes[3]);
    alignas(16) uint8_t rest[16];
    _mm_store_si128(reinterpret_cast<__m128i*>(rest),
                    _mm_shuffle_epi8(folded, _mm_set_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12,
                                                          13, 14, 15)));
    return ChecksumWithTable(0, rest, sizeof rest);
}

bool CanFold() {
    static const bool supported = __builtin_cpu_supports("pclmul") &&
                                  __builtin_cpu_supports("avx") && __builtin_cpu_supports("ssse3");
    return supported;
}

// Aligned for the folding loads; allocated without zeroing, since it is filled before every use.
struct alignas(kFoldBytes) Block {
    uint8_t bytes[kBlockBytes];
};

}  // namespace

uint32_t ChecksumWithTable(uint32_t value, const void* data, size_t size) {
    const SliceTables& t = Tables();
    const auto* p = static_cast<const uint8_t*>(data);
    uint32_t reg = value;
    for (; size >= kSlices; size -= kSlices, p += kSlices) {
        const uint32_t high = reg ^ LoadBigEndian(p);
        const uint32_t low = LoadBigEndian(p + 4);
        reg = t[7][high >> 24] ^ t[6][(high >> 16) & 0xFF] ^ t[5][(high >> 8) & 0xFF] ^
              t[4][high & 0xFF] ^ t[3][low >> 24] ^ t[2][(low >> 16) & 0xFF] ^
              t[1][(low >> 8) & 0xFF] ^ t[0][low & 0xFF];
    }
    for (; size > 0; --size, ++p) reg = (reg << 8) ^ t[0][(reg >> 24) ^ *p];
    return reg;
}

uint32_t PatchChecksum::TableEntry(uint8_t index) { return Tables()[0][index]; }

void PatchChecksum::Update(const void* data, size_t size) {
    const auto* p = static_cast<const uint8_t*>(data);
    const size_t folded = CanFold() ? size - size % kFoldBytes : 0;
    if (folded > 0) value_ = FoldedUpdate(value_, p, folded);
    value_ = ChecksumWithTable(value_, p + folded, size - folded);
}

std::optional<uint32_t> ChecksumOfFile(const std::string& path) {
    const platform::File file = platform::File::OpenForReading(path);
    const std::unique_ptr<Block> block(new (std::nothrow) Block);
    if (!file.Valid() || !block) return std::nullopt;
    PatchChecksum checksum;
    for (;;) {
        const int64_t got = file.Read(block->bytes, kBlockBytes);
        if (got < 0) return std::nullopt;
        if (got == 0) return checksum.Value();
        checksum.Update(block->bytes, static_cast<size_t>(got));
    }
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
