// What an update applies to: product, qualifier and subqualifier, "all" being the wildcard.
#pragma once

#include <string>

namespace Tern {

struct TargetId {
    std::string product;
    std::string qualifier;
    std::string subqualifier;

    TargetId(std::string product, std::string qualifier, std::string subqualifier);

    // Reads a key written by ToKey. Empty parts are ignored; one part names the product, two
    // the product and the subqualifier, three all fields. Any other count gives empty fields.
    static TargetId FromKey(const std::string& key);

    // The registry value name of the target: the product, then "_" and each of qualifier and
    // subqualifier that is not "all". A target (a, b, "all") therefore reads back as
    // (a, "all", b).
    std::string ToKey() const;

    // "(product, qualifier, subqualifier)"
    std::string ToText() const;
};

// Byte-for-byte comparison of all three fields.
bool operator==(const TargetId& left, const TargetId& right);
bool operator!=(const TargetId& left, const TargetId& right);

}  // namespace Tern
