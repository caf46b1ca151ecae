// Interface and transfer-syntax identities of DCE/RPC: a UUID with a major and minor version.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

#include "platform/ascii.h"

namespace platform::rpc {

// The 16 bytes as they travel: the first three fields little-endian, the rest in text order.
struct Uuid {
    std::array<uint8_t, 16> bytes{};

    bool operator==(const Uuid& other) const { return bytes == other.bytes; }
    bool operator!=(const Uuid& other) const { return !(*this == other); }
};

// Parses "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx"; nullopt for anything else.
constexpr std::optional<Uuid> ParseUuid(std::string_view text) {
    if (text.size() != 36) return std::nullopt;
    // Where each byte of the wire form starts in the text.
    constexpr size_t kTextOffsets[16] = {6, 4, 2, 0, 11, 9, 16, 14, 19, 21, 24, 26, 28, 30, 32, 34};
    for (const size_t dash : {8, 13, 18, 23}) {
        if (text[dash] != '-') return std::nullopt;
    }
    Uuid uuid;
    for (size_t i = 0; i < 16; ++i) {
        const int high = HexDigitValue(text[kTextOffsets[i]]);
        const int low = HexDigitValue(text[kTextOffsets[i] + 1]);
        if (high < 0 || low < 0) return std::nullopt;
        uuid.bytes[i] = static_cast<uint8_t>(high * 16 + low);
    }
    return uuid;
}

struct SyntaxId {
    Uuid uuid;
    uint16_t major = 0;
    uint16_t minor = 0;

    bool operator==(const SyntaxId& other) const {
        return uuid == other.uuid && major == other.major && minor == other.minor;
    }
    bool operator!=(const SyntaxId& other) const { return !(*this == other); }
};

// The only transfer syntax this runtime speaks.
constexpr SyntaxId kNdr20{ParseUuid("8a885d04-1ceb-11c9-9fe8-08002b104860").value(), 2, 0};

}  // namespace platform::rpc
