#include "updatelib/base/shallow_xml.h"

#include <algorithm>
#include <cctype>
#include <limits>
#include <utility>

#include "platform/files.h"

namespace Tern {
namespace {

enum class Encoding { kUnknown, kUtf8, kLegacy };

// The parser's own reading of a document, step by step and without recursion. Where a node ends
// decides what the bytes after it are, so every node ends where the parser ends it: comments,
// CDATA sections and unknown tags at their own terminators whatever they hold, attribute values
// at their quote, and text and quoted values step over whole UTF-8 sequences, whatever bytes
// those hold, once the document is UTF-8. The first declaration decides that; the walk is told
// what to assume, which spares it from decoding the declared encoding the way the parser does.
// Past the end of the text it reads NUL bytes, as the parser does where it steps past the
// terminator of unfinished text.
class ParserWalk {
public:
    ParserWalk(const std::string& text, Encoding declared) : text_(text), declared_(declared) {}

    int Deepest() {
        if (At(0) == 0xEF && At(1) == 0xBB && At(2) == 0xBF) encoding_ = Encoding::kUtf8;
        SkipWhiteSpace();
        while (!AtEnd() && Node()) SkipWhiteSpace();
        return deepest_;
    }

private:
    unsigned char At(size_t i) const {
        return i < text_.size() ? static_cast<unsigned char>(text_[i]) : 0;
    }
    bool AtEnd() const { return At(p_) == 0; }

    static bool IsWhiteSpace(unsigned char c) { return std::isspace(c) || c == '\n' || c == '\r'; }
    static bool StartsName(unsigned char c) { return c >= 127 || std::isalpha(c) || c == '_'; }
    static bool InName(unsigned char c) {
        return c >= 127 || std::isalnum(c) || c == '_' || c == '-' || c == '.' || c == ':';
    }

    bool StartsWith(size_t at, const char* prefix, bool ignoreCase = false) const {
        for (; *prefix; ++at, ++prefix) {
            const unsigned char c = At(at);
            const unsigned char want = static_cast<unsigned char>(*prefix);
            if (c == 0 || (ignoreCase ? std::tolower(c) != std::tolower(want) : c != want)) {
                return false;
            }
        }
        return true;
    }

    void SkipWhiteSpace() {
        while (!AtEnd()) {
            if (encoding_ == Encoding::kUtf8 && At(p_) == 0xEF &&
                ((At(p_ + 1) == 0xBB && At(p_ + 2) == 0xBF) ||
                 (At(p_ + 1) == 0xBF && (At(p_ + 2) == 0xBE || At(p_ + 2) == 0xBF)))) {
                p_ += 3;
            } else if (IsWhiteSpace(At(p_))) {
                ++p_;
            } else {
                return;
            }
        }
    }

    bool Name() {
        if (!StartsName(At(p_))) return false;
        while (InName(At(p_))) ++p_;
        return true;
    }

    // Up to and over `end`; false when the text ends first. Characters are whole UTF-8
    // sequences where `byCharacter` and the document is UTF-8.
    bool Through(const char* end, bool byCharacter) {
        while (!AtEnd() && !StartsWith(p_, end)) {
            const unsigned char c = At(p_);
            if (!byCharacter || encoding_ != Encoding::kUtf8 || c < 0xC2 || c > 0xF4) {
                ++p_;
            } else {
                p_ += c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
            }
        }
        p_ += std::char_traits<char>::length(end);
        return p_ <= text_.size();
    }

    // name = value, the value quoted or running to white space, '/' or '>'.
    bool Attribute() {
        SkipWhiteSpace();
        if (!Name()) return false;
        SkipWhiteSpace();
        if (At(p_) != '=') return false;
        ++p_;
        SkipWhiteSpace();
        const unsigned char quote = At(p_);
        if (quote == '"' || quote == '\'') {
            ++p_;
            const char end[] = {static_cast<char>(quote), '\0'};
            return Through(end, true);
        }
        for (unsigned char c = At(p_); c && !IsWhiteSpace(c) && c != '/' && c != '>';
             c = At(++p_)) {
            if (c == '"' || c == '\'') return false;
        }
        return !AtEnd();
    }

    bool Declaration() {
        p_ += 5;
        while (!AtEnd()) {
            if (At(p_) == '>') {
                ++p_;
                if (encoding_ == Encoding::kUnknown && depth_ == 0) encoding_ = declared_;
                return true;
            }
            SkipWhiteSpace();
            if (StartsWith(p_, "version", true) || StartsWith(p_, "encoding", true) ||
                StartsWith(p_, "standalone", true)) {
                if (!Attribute()) return false;
            } else {
                while (!AtEnd() && At(p_) != '>' && !IsWhiteSpace(At(p_))) ++p_;
            }
        }
        return false;
    }

    bool StartTag() {
        ++p_;
        SkipWhiteSpace();
        if (!Name()) return false;
        while (!AtEnd()) {
            SkipWhiteSpace();
            if (At(p_) == '/') {
                p_ += 2;
                return At(p_ - 1) == '>';
            }
            if (At(p_) == '>') {
                ++p_;
                deepest_ = std::max(deepest_, ++depth_);
                return true;
            }
            if (!Attribute()) return false;
        }
        return false;
    }

    // The node at p_: in an element's content text, an end tag or any other node; at the top
    // level an element, a declaration or an unknown node. False where the parser stops.
    bool Node() {
        if (At(p_) != '<') {
            if (depth_ == 0 || !Through("<", true)) return false;
            --p_;
            return true;
        }
        if (depth_ > 0 && At(p_ + 1) == '/') {
            p_ += 2;
            if (!Name() || At(p_) != '>') return false;
            ++p_;
            --depth_;
            return true;
        }
        if (StartsWith(p_, "<?xml", true)) return Declaration();
        if (StartsName(At(p_ + 1))) return StartTag();
        // Comments, CDATA sections and unknown tags, whatever they hold.
        const std::pair<const char*, const char*> kOpaque[] = {
            {"<!--", "-->"}, {"<![CDATA[", "]]>"}, {"<", ">"}};
        for (const auto& [start, end] : kOpaque) {
            if (!StartsWith(p_, start)) continue;
            p_ += std::char_traits<char>::length(start);
            return Through(end, false);
        }
        return false;
    }

    const std::string& text_;
    const Encoding declared_;
    Encoding encoding_ = Encoding::kUnknown;
    size_t p_ = 0;
    int depth_ = 0;
    int deepest_ = 0;
};

// The parser steps up to four bytes past the terminator of unfinished text (a comment, a quoted
// value, a UTF-8 sequence) and reads there.
constexpr size_t kParserOverrun = 4;

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
    // A NUL byte ends the text for the parser in some places and is stepped over in others; no
    // document holds one.
    if (text.find('\0') != std::string::npos) return std::numeric_limits<int>::max();
    return std::max(ParserWalk(text, Encoding::kUtf8).Deepest(),
                    ParserWalk(text, Encoding::kLegacy).Deepest());
}

std::optional<std::string> ReadShallowXml(const std::string& path, const XmlLimits& limits) {
    std::optional<std::string> text =
        platform::ReadRegularFile(path, limits.maxBytes, limits.followLinks);
    if (!text || ElementDepth(*text) > limits.maxDepth) return std::nullopt;
    return WithLineFeeds(*text) + std::string(kParserOverrun, '\0');
}

}  // namespace Tern
