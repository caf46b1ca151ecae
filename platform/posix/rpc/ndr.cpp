#include "platform/posix/rpc/ndr.h"

#include <algorithm>
#include <cstring>

namespace platform::rpc {
namespace {

constexpr size_t PaddingTo(size_t offset, size_t boundary) {
    return (boundary - offset % boundary) % boundary;
}

}  // namespace

void NdrWriter::Align(size_t boundary) { data_.append(PaddingTo(data_.size(), boundary), '\0'); }

void NdrWriter::U8(uint8_t value) { data_.push_back(static_cast<char>(value)); }

void NdrWriter::U16(uint16_t value) {
    Align(2);
    U8(static_cast<uint8_t>(value));
    U8(static_cast<uint8_t>(value >> 8));
}

void NdrWriter::U32(uint32_t value) {
    Align(4);
    for (int shift = 0; shift < 32; shift += 8) U8(static_cast<uint8_t>(value >> shift));
}

void NdrWriter::I32(int32_t value) { U32(static_cast<uint32_t>(value)); }

void NdrWriter::Double(double value) {
    uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    Align(8);
    for (int shift = 0; shift < 64; shift += 8) U8(static_cast<uint8_t>(bits >> shift));
}

void NdrWriter::Bytes(std::string_view bytes) { data_.append(bytes); }

void NdrWriter::Syntax(const SyntaxId& syntax) {
    Align(4);
    Bytes(std::string_view(reinterpret_cast<const char*>(syntax.uuid.bytes.data()),
                           syntax.uuid.bytes.size()));
    U16(syntax.major);
    U16(syntax.minor);
}

void NdrWriter::FixedString(std::string_view text, size_t capacity) {
    text = text.substr(0, std::min(text.find('\0'), capacity - 1));
    U32(0);
    U32(static_cast<uint32_t>(text.size() + 1));
    Bytes(text);
    U8(0);
}

void NdrWriter::PatchU16(size_t offset, uint16_t value) {
    data_[offset] = static_cast<char>(value & 0xff);
    data_[offset + 1] = static_cast<char>(value >> 8);
}

void NdrReader::Align(size_t boundary) { Bytes(PaddingTo(offset_, boundary)); }

uint64_t NdrReader::Unsigned(size_t size) {
    Align(size);
    const std::string_view bytes = Bytes(size);
    uint64_t value = 0;
    for (size_t i = bytes.size(); i-- > 0;) value = value << 8 | static_cast<uint8_t>(bytes[i]);
    return value;
}

uint8_t NdrReader::U8() { return static_cast<uint8_t>(Unsigned(1)); }

uint16_t NdrReader::U16() { return static_cast<uint16_t>(Unsigned(2)); }

uint32_t NdrReader::U32() { return static_cast<uint32_t>(Unsigned(4)); }

int32_t NdrReader::I32() { return static_cast<int32_t>(U32()); }

double NdrReader::Double() {
    const uint64_t bits = Unsigned(8);
    double value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

std::string_view NdrReader::Bytes(size_t count) {
    if (!ok_ || count > data_.size() - offset_) {
        ok_ = false;
        return {};
    }
    const std::string_view bytes = data_.substr(offset_, count);
    offset_ += count;
    return bytes;
}

SyntaxId NdrReader::Syntax() {
    Align(4);
    SyntaxId syntax;
    const std::string_view uuid = Bytes(syntax.uuid.bytes.size());
    if (uuid.size() == syntax.uuid.bytes.size()) {
        std::memcpy(syntax.uuid.bytes.data(), uuid.data(), uuid.size());
    }
    syntax.major = U16();
    syntax.minor = U16();
    return syntax;
}

std::string NdrReader::FixedString(size_t capacity) {
    const uint32_t offset = U32();
    const uint32_t count = U32();
    if (offset != 0 || count == 0 || count > capacity) ok_ = false;
    const std::string_view characters = Bytes(ok_ ? count : 0);
    if (!ok_ || characters.back() != '\0') {
        ok_ = false;
        return {};
    }
    return std::string(characters.substr(0, characters.find('\0')));
}

}  // namespace platform::rpc
