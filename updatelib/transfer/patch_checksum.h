// The checksum that the update-information answer gives for a patch: a most-significant-bit-
// first CRC over a 32-bit register with generator 0x1021, initial value 0xFFFF, no reflection
// and no final exclusive-or.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace Tern {

class PatchChecksum {
public:
    // Continues the checksum over `size` more bytes: with carry-less multiplication where the
    // processor has it, by the table otherwise (the same value either way).
    void Update(const void* data, size_t size);
    uint32_t Value() const { return value_; }

    // Entry `index` of the byte table: the register after shifting `index` << 24 eight times.
    static uint32_t TableEntry(uint8_t index);

private:
    uint32_t value_ = 0x0000FFFF;
};

// The register after `value` and `size` more bytes, computed eight bytes a step with tables:
// the portable form, and the reference of the faster one.
uint32_t ChecksumWithTable(uint32_t value, const void* data, size_t size);

// The checksum of the file's whole content, read in fixed-size blocks; nullopt when the file
// cannot be opened or read to its end.
std::optional<uint32_t> ChecksumOfFile(const std::string& path);

// The value of a signature text: hexadecimal digits in either case, any other character
// counting as 0; only the last eight digits of a longer text count. Empty gives 0.
uint32_t ParseSignature(const std::string& text);

// Lowercase hexadecimal without leading zeros ("0" for 0).
std::string ChecksumText(uint32_t value);

}  // namespace Tern
