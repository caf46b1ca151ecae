#include "updatelib/base/shallow_xml.h"

#include <algorithm>

#include "platform/files.h"

namespace Tern {
namespace {

bool StartsWith(const std::string& text, size_t at, const char* prefix) {
    return text.compare(at, std::char_traits<char>::length(prefix), prefix) == 0;
}

// The position after `terminator` searched from `from`; the end of the text when it is missing.
size_t After(const std::string& text, size_t from, const char* terminator) {
    const size_t found = text.find(terminator, from);
    return found == std::string::npos ? text.size()
                                      : found + std::char_traits<char>::length(terminator);
}

// The position of the '>' that ends the tag opened at `from`, skipping quoted values;
// the end of the text when the tag never ends.
size_t TagEnd(const std::string& text, size_t from) {
    char quote = 0;
    for (size_t i = from; i < text.size(); ++i) {
        const char c = text[i];
        if (quote) {
            if (c == quote) quote = 0;
        } else if (c == '"' || c == '\'') {
            quote = c;
        } else if (c == '>') {
            return i;
        }
    }
    return text.size();
}

std::string WithLineFeeds(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\r') {
            out += text[i];
        } else if (i + 1 == text.size() || text[i + 1] != '\n') {
            out += '\n';
        }
    }
    return out;
}

}  // namespace

int ElementDepth(const std::string& text) {
    int depth = 0;
    int deepest = 0;
    size_t i = text.find('<');
    while (i < text.size()) {
        if (StartsWith(text, i, "<!--")) {
            i = After(text, i + 4, "-->");
        } else if (StartsWith(text, i, "<![CDATA[")) {
            i = After(text, i + 9, "]]>");
        } else if (StartsWith(text, i, "<?")) {
            i = After(text, i + 2, "?>");
        } else if (StartsWith(text, i, "<!")) {
            i = After(text, i + 2, ">");
        } else {
            const size_t end = TagEnd(text, i + 1);
            if (text[i + 1] == '/') {
                depth = std::max(depth - 1, 0);
            } else if (end == text.size() || text[end - 1] != '/') {
                deepest = std::max(deepest, ++depth);
            }
            i = end;
        }
        i = text.find('<', i);
    }
    return deepest;
}

std::optional<std::string> ReadShallowXml(const std::string& path, const XmlLimits& limits) {
    std::optional<std::string> text =
        platform::ReadRegularFile(path, limits.maxBytes, limits.followLinks);
    if (!text || ElementDepth(*text) > limits.maxDepth) return std::nullopt;
    return WithLineFeeds(*text);
}

}  // namespace Tern
