// The `.reg` export text of a hive: reading it into a Tree and writing a Tree back.
//
// Reading accepts what the export tools and people write: a UTF-8 byte-order mark before the
// header, CRLF line ends, comment lines starting with ';', blank lines, hex data continued over
// several lines with a trailing '\', sections whose parents have no section of their own.
// Anything else, including the deletion syntax of import files, is an error, so that a file this
// code does not understand is never rewritten with parts of it lost.
#pragma once

#include <cstddef>
#include <string>

#include "platform/posix/registry/hive_tree.h"

namespace platform::reg {

struct ParseResult {
    bool ok = true;
    size_t line = 0;     // 1-based line of the first error
    std::string reason;  // what is wrong there
};

// Parses `text` into `tree` (which must be empty). Sections must be rooted at `rootName`, for
// example "HKEY_CURRENT_USER".
ParseResult ParseRegText(const std::string& text, const std::string& rootName, Tree* tree);

// Writes `tree` as `.reg` text with LF line ends, keys in the tree's order.
std::string FormatRegText(const Tree& tree, const std::string& rootName);

}  // namespace platform::reg
