#include "updatelib/state/target_id.h"

#include <boost/tokenizer.hpp>
#include <utility>
#include <vector>

namespace Tern {
namespace {

const char kWildcard[] = "all";
const char kSeparator[] = "_";

}  // namespace

TargetId::TargetId(std::string product, std::string qualifier, std::string subqualifier)
    : product(std::move(product)),
      qualifier(std::move(qualifier)),
      subqualifier(std::move(subqualifier)) {}

TargetId TargetId::FromKey(const std::string& key) {
    const boost::char_separator<char> separator(kSeparator);
    const boost::tokenizer<boost::char_separator<char>> tokens(key, separator);
    const std::vector<std::string> parts(tokens.begin(), tokens.end());
    switch (parts.size()) {
        case 1:
            return TargetId(parts[0], kWildcard, kWildcard);
        case 2:
            return TargetId(parts[0], kWildcard, parts[1]);
        case 3:
            return TargetId(parts[0], parts[1], parts[2]);
        default:
            return TargetId("", "", "");
    }
}

std::string TargetId::ToKey() const {
    std::string key = product;
    if (qualifier != kWildcard) key += kSeparator + qualifier;
    if (subqualifier != kWildcard) key += kSeparator + subqualifier;
    return key;
}

std::string TargetId::ToText() const {
    return "(" + product + ", " + qualifier + ", " + subqualifier + ")";
}

bool operator==(const TargetId& left, const TargetId& right) {
    return left.product == right.product && left.qualifier == right.qualifier &&
           left.subqualifier == right.subqualifier;
}

bool operator!=(const TargetId& left, const TargetId& right) { return !(left == right); }

}  // namespace Tern
