// XML read from files that cannot be trusted, before any parser sees it.
//
// TinyXML parses nested elements by recursion, so a small document of deeply nested elements
// overflows the stack. Documents are therefore checked for size and nesting first and handed to
// the parser only when both are within limits that fit what the document is for.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace Tern {

struct XmlLimits {
    size_t maxBytes;
    int maxDepth;
    // Whether a symbolic link at the path is followed to the file it names.
    bool followLinks;
};

// The update-information answer: one RESPONSE element of a few fields, in the launcher's own
// download file, where a link was planted if there is one.
constexpr XmlLimits kUpdateInfoXmlLimits{64 * 1024, 32, false};
// The player's profile: a settings file of a few levels, which the player may keep elsewhere.
constexpr XmlLimits kProfileXmlLimits{1024 * 1024, 64, true};

// The deepest nesting of elements TinyXML reaches in `text`, found without recursion by reading
// the text by the parser's own rules; never less than the depth the parser reaches.
int ElementDepth(const std::string& text);

// The text of the regular file at `path` (read through a link only with `limits.followLinks`),
// with CR LF and lone CR turned into LF as TinyXML's own file loading does, followed by NUL
// bytes the parser may read past the terminator of unfinished text; nullopt when it
// cannot be read, is no regular file (a FIFO is never waited for), is larger than
// `limits.maxBytes` or nests deeper than `limits.maxDepth`.
std::optional<std::string> ReadShallowXml(const std::string& path, const XmlLimits& limits);

}  // namespace Tern
