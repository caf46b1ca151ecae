// NDR 2.0 encoding, little-endian, of the primitives the runtime and its interfaces use.
//
// Every primitive is aligned to its own size, counted from the start of the buffer: a PDU and
// its stub both start at an 8-byte boundary, so alignment within either is the same.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/rpc/syntax_id.h"

namespace platform::rpc {

class NdrWriter {
public:
    void Align(size_t boundary);
    void U8(uint8_t value);
    void U16(uint16_t value);
    void U32(uint32_t value);
    void I32(int32_t value);
    void Double(double value);
    void Bytes(std::string_view bytes);
    void Syntax(const SyntaxId& syntax);
    // The [string] form of a char array of `capacity` elements: offset 0, the count of the
    // characters with their terminating zero, the characters. A text that does not fit is cut
    // to capacity - 1 characters; an embedded zero ends it, as it would end a C string.
    void FixedString(std::string_view text, size_t capacity);
    // Overwrites two bytes already written.
    void PatchU16(size_t offset, uint16_t value);

    size_t Size() const { return data_.size(); }
    std::string Take() { return std::move(data_); }

private:
    std::string data_;
};

// Reads what NdrWriter writes. Running past the end, or an ill-formed value, marks the reader
// failed: from then on every read answers zero or empty and Ok() is false.
class NdrReader {
public:
    explicit NdrReader(std::string_view data) : data_(data) {}

    void Align(size_t boundary);
    uint8_t U8();
    uint16_t U16();
    uint32_t U32();
    int32_t I32();
    double Double();
    std::string_view Bytes(size_t count);
    SyntaxId Syntax();
    std::string FixedString(size_t capacity);

    bool Ok() const { return ok_; }
    size_t Offset() const { return offset_; }
    size_t Remaining() const { return ok_ ? data_.size() - offset_ : 0; }

private:
    uint64_t Unsigned(size_t size);

    std::string_view data_;
    size_t offset_ = 0;
    bool ok_ = true;
};

}  // namespace platform::rpc
