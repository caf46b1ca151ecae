#include "platform/posix/registry/reg_file_format.h"

#include <cstdint>
#include <vector>

#include "platform/ascii.h"
#include "platform/registry/registry_values.h"

namespace platform::reg {
namespace {

using platform::HexDigitValue;
using platform::IsBlank;

const char kHeader[] = "Windows Registry Editor Version 5.00";
const char kByteOrderMark[] = "\xEF\xBB\xBF";
const char kHexDigits[] = "0123456789abcdef";
// Hex data is wrapped before this column, as the export tools do.
constexpr size_t kHexLineWidth = 77;

std::string TrimLeft(const std::string& text) {
    size_t start = 0;
    while (start < text.size() && IsBlank(text[start])) ++start;
    return text.substr(start);
}

std::string TrimRight(const std::string& text) {
    size_t end = text.size();
    while (end > 0 && IsBlank(text[end - 1])) --end;
    return text.substr(0, end);
}

// Parses 1 to 8 hex digits making up all of `text`.
bool ParseHexNumber(const std::string& text, uint32_t* number) {
    if (text.empty() || text.size() > 8) return false;
    uint32_t result = 0;
    for (char c : text) {
        int digit = HexDigitValue(c);
        if (digit < 0) return false;
        result = result * 16 + static_cast<uint32_t>(digit);
    }
    *number = result;
    return true;
}

// Splits the file into lines at LF, dropping a CR before it.
std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(std::move(line));
        start = end + 1;
    }
    return lines;
}

// Reads a quoted text starting at text[*pos] == '"', with \\ and \" as the only escapes.
bool ParseQuoted(const std::string& text, size_t* pos, std::string* out) {
    out->clear();
    size_t i = *pos + 1;
    while (i < text.size()) {
        char c = text[i];
        if (c == '"') {
            *pos = i + 1;
            return true;
        }
        if (c == '\\') {
            if (i + 1 >= text.size() || (text[i + 1] != '\\' && text[i + 1] != '"')) return false;
            c = text[++i];
        }
        out->push_back(c);
        ++i;
    }
    return false;
}

// Parses comma-separated two-digit hex bytes; an empty list is empty data.
bool ParseHexBytes(const std::string& list, std::string* bytes) {
    bytes->clear();
    const std::string trimmed = TrimRight(TrimLeft(list));
    if (trimmed.empty()) return true;
    size_t start = 0;
    while (true) {
        size_t end = trimmed.find(',', start);
        std::string item = TrimRight(TrimLeft(trimmed.substr(start, end - start)));
        if (item.size() != 2 || HexDigitValue(item[0]) < 0 || HexDigitValue(item[1]) < 0)
            return false;
        bytes->push_back(static_cast<char>(HexDigitValue(item[0]) * 16 + HexDigitValue(item[1])));
        if (end == std::string::npos) return true;
        start = end + 1;
    }
}

// String data in hex(1) form is UTF-16LE with a terminating NUL, as the export tools write it;
// the hive keeps strings as bytes (UTF-8 in practice). Bytes that are not UTF-8 travel as the
// lone surrogates U+DC80..U+DCFF, so that any byte string survives the round trip.
constexpr uint32_t kEscapedByteBase = 0xDC00;

void AppendUtf8(uint32_t codePoint, std::string* out) {
    if (codePoint < 0x80) {
        out->push_back(static_cast<char>(codePoint));
    } else if (codePoint < 0x800) {
        out->push_back(static_cast<char>(0xC0 | codePoint >> 6));
        out->push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
    } else if (codePoint < 0x10000) {
        out->push_back(static_cast<char>(0xE0 | codePoint >> 12));
        out->push_back(static_cast<char>(0x80 | (codePoint >> 6 & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
    } else {
        out->push_back(static_cast<char>(0xF0 | codePoint >> 18));
        out->push_back(static_cast<char>(0x80 | (codePoint >> 12 & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (codePoint >> 6 & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
    }
}

// False when the data is not whole UTF-16 code units.
bool DecodeUtf16(const std::string& bytes, std::string* text) {
    if (bytes.size() % 2 != 0) return false;
    std::vector<uint32_t> units;
    for (size_t i = 0; i < bytes.size(); i += 2) {
        units.push_back(static_cast<unsigned char>(bytes[i]) |
                        static_cast<uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8);
    }
    if (!units.empty() && units.back() == 0) units.pop_back();
    text->clear();
    for (size_t i = 0; i < units.size(); ++i) {
        const uint32_t unit = units[i];
        const bool pairs = unit >= 0xD800 && unit < 0xDC00 && i + 1 < units.size() &&
                           units[i + 1] >= 0xDC00 && units[i + 1] < 0xE000;
        if (pairs) {
            AppendUtf8(0x10000 + ((unit - 0xD800) << 10) + (units[++i] - 0xDC00), text);
        } else if (unit >= kEscapedByteBase + 0x80 && unit <= kEscapedByteBase + 0xFF) {
            text->push_back(static_cast<char>(unit - kEscapedByteBase));
        } else if (unit >= 0xD800 && unit < 0xE000) {
            AppendUtf8(0xFFFD, text);
        } else {
            AppendUtf8(unit, text);
        }
    }
    return true;
}

// The length of the well-formed UTF-8 sequence at `at` and its code point; 0 when none starts
// there (a stray byte, an over-long form, a surrogate, beyond U+10FFFF).
size_t Utf8Sequence(const std::string& text, size_t at, uint32_t* codePoint) {
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    size_t length;
    uint32_t value;
    if (lead < 0x80) {
        *codePoint = lead;
        return 1;
    } else if (lead >= 0xC2 && lead < 0xE0) {
        length = 2;
        value = lead & 0x1F;
    } else if (lead >= 0xE0 && lead < 0xF0) {
        length = 3;
        value = lead & 0x0F;
    } else if (lead >= 0xF0 && lead < 0xF5) {
        length = 4;
        value = lead & 0x07;
    } else {
        return 0;
    }
    if (at + length > text.size()) return 0;
    for (size_t i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xC0) != 0x80) return 0;
        value = value << 6 | (byte(at + i) & 0x3F);
    }
    const uint32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (value < smallest[length] || value > 0x10FFFF || (value >= 0xD800 && value < 0xE000)) {
        return 0;
    }
    *codePoint = value;
    return length;
}

// The UTF-16LE bytes of `text` with the terminating NUL.
std::string EncodeUtf16(const std::string& text) {
    std::string bytes;
    const auto appendUnit = [&](uint32_t unit) {
        bytes.push_back(static_cast<char>(unit & 0xFF));
        bytes.push_back(static_cast<char>(unit >> 8));
    };
    for (size_t i = 0; i < text.size();) {
        uint32_t codePoint = 0;
        const size_t length = Utf8Sequence(text, i, &codePoint);
        if (length == 0) {
            appendUnit(kEscapedByteBase + static_cast<unsigned char>(text[i++]));
            continue;
        }
        i += length;
        if (codePoint < 0x10000) {
            appendUnit(codePoint);
        } else {
            appendUnit(0xD800 + ((codePoint - 0x10000) >> 10));
            appendUnit(0xDC00 + ((codePoint - 0x10000) & 0x3FF));
        }
    }
    appendUnit(0);
    return bytes;
}

class Parser {
public:
    Parser(const std::string& text, const std::string& rootName, Tree* tree)
        : lines_(SplitLines(text)), rootName_(rootName), tree_(tree) {
        if (!lines_.empty() && lines_[0].compare(0, 3, kByteOrderMark) == 0) {
            lines_[0].erase(0, 3);
        }
    }

    ParseResult Run() {
        if (lines_.empty() || lines_[0] != kHeader) {
            return Fail(1, "the first line is not \"Windows Registry Editor Version 5.00\"");
        }
        for (next_ = 1; next_ < lines_.size();) {
            const size_t lineNumber = next_ + 1;
            const std::string line = TrimRight(TrimLeft(lines_[next_++]));
            if (line.empty() || line[0] == ';') continue;
            const char* error = line[0] == '[' ? ParseSection(line) : ParseValueLine(line);
            if (error) return Fail(lineNumber, error);
        }
        return ParseResult{};
    }

private:
    static ParseResult Fail(size_t line, const char* reason) {
        return ParseResult{false, line, reason};
    }

    // Each returns nullptr on success, else the reason.
    const char* ParseSection(const std::string& line) {
        if (line.back() != ']') return "section without closing bracket";
        const std::string name = line.substr(1, line.size() - 2);
        if (!name.empty() && name[0] == '-') return "key deletion is not supported";
        const size_t separator = name.find('\\');
        if (!EqualNoCase(name.substr(0, separator), rootName_)) return "key outside this hive";
        std::vector<std::string> components;
        if (separator != std::string::npos &&
            (separator + 1 == name.size() ||
             !SplitKeyPath(name.substr(separator + 1), &components))) {
            return "empty key name";
        }
        bool created = false;
        key_ = tree_->Create(components, &created);
        return nullptr;
    }

    const char* ParseValueLine(const std::string& line) {
        if (!key_) return "value outside a section";
        std::string name;
        size_t pos = 0;
        if (line[0] == '@') {
            pos = 1;
        } else if (line[0] != '"' || !ParseQuoted(line, &pos, &name)) {
            return "malformed value name";
        }
        while (pos < line.size() && IsBlank(line[pos])) ++pos;
        if (pos >= line.size() || line[pos] != '=') return "missing '=' after value name";
        ++pos;
        while (pos < line.size() && IsBlank(line[pos])) ++pos;
        uint32_t type = kTypeString;
        std::string data;
        if (const char* error = ParseData(line.substr(pos), &type, &data)) return error;
        key_->SetValue(name, type, data);
        return nullptr;
    }

    const char* ParseData(const std::string& text, uint32_t* type, std::string* data) {
        if (!text.empty() && text[0] == '"') {
            size_t pos = 0;
            if (!ParseQuoted(text, &pos, data) || pos != text.size()) return "malformed string";
            *type = kTypeString;
            return nullptr;
        }
        if (text == "-") return "value deletion is not supported";
        if (text.compare(0, 6, "dword:") == 0) {
            uint32_t number = 0;
            if (!ParseHexNumber(text.substr(6), &number)) return "malformed dword";
            *type = kTypeDword;
            *data = EncodeDword(number);
            return nullptr;
        }
        return ParseHexData(text, type, data);
    }

    // hex:.. is binary; hex(N):.. keeps type N (hexadecimal); hex(1) is a string.
    const char* ParseHexData(const std::string& text, uint32_t* type, std::string* data) {
        size_t listStart = 0;
        if (text.compare(0, 4, "hex:") == 0) {
            *type = kTypeBinary;
            listStart = 4;
        } else if (text.compare(0, 4, "hex(") == 0) {
            const size_t close = text.find("):", 4);
            if (close == std::string::npos || !ParseHexNumber(text.substr(4, close - 4), type)) {
                return "malformed hex type";
            }
            listStart = close + 2;
        } else {
            return "unknown value data";
        }
        std::string list = text.substr(listStart);
        while (!list.empty() && list.back() == '\\') {
            list.pop_back();
            if (next_ >= lines_.size()) return "hex data continued past the end of the file";
            list += TrimRight(TrimLeft(lines_[next_++]));
        }
        if (!ParseHexBytes(list, data)) return "malformed hex data";
        if (*type != kTypeString) return nullptr;
        std::string decoded;
        if (!DecodeUtf16(*data, &decoded)) return "string data is not UTF-16";
        *data = std::move(decoded);
        return nullptr;
    }

    std::vector<std::string> lines_;
    const std::string& rootName_;
    Tree* tree_;
    Key* key_ = nullptr;
    size_t next_ = 0;  // index of the next unread line
};

void AppendQuoted(const std::string& text, std::string* out) {
    out->push_back('"');
    for (char c : text) {
        if (c == '\\' || c == '"') out->push_back('\\');
        out->push_back(c);
    }
    out->push_back('"');
}

// A string can stand between quotes on one line unless it holds a line break or a NUL.
bool FitsOnOneLine(const std::string& text) {
    return text.find_first_of(std::string("\r\n\0", 3)) == std::string::npos;
}

void AppendHex(const std::string& prefix, const std::string& bytes, std::string* out) {
    size_t column = out->size() - out->rfind('\n') - 1 + prefix.size();
    *out += prefix;
    for (size_t i = 0; i < bytes.size(); ++i) {
        const bool last = i + 1 == bytes.size();
        if (i > 0 && column + (last ? 2 : 3) > kHexLineWidth) {
            *out += "\\\n  ";
            column = 2;
        }
        const auto byte = static_cast<unsigned char>(bytes[i]);
        out->push_back(kHexDigits[byte >> 4]);
        out->push_back(kHexDigits[byte & 0xF]);
        if (!last) out->push_back(',');
        column += last ? 2 : 3;
    }
}

// Hex digits of `number`, lower case, at least `width` of them.
std::string HexNumber(uint32_t number, size_t width) {
    std::string digits;
    do {
        digits.insert(digits.begin(), kHexDigits[number & 0xF]);
        number >>= 4;
    } while (number || digits.size() < width);
    return digits;
}

std::string HexTypePrefix(uint32_t type) { return "hex(" + HexNumber(type, 1) + "):"; }

void AppendValue(const Value& value, std::string* out) {
    if (value.name.empty()) {
        out->push_back('@');
    } else {
        AppendQuoted(value.name, out);
    }
    out->push_back('=');
    if (value.type == kTypeString && FitsOnOneLine(value.data)) {
        AppendQuoted(value.data, out);
    } else if (value.type == kTypeString) {
        AppendHex(HexTypePrefix(kTypeString), EncodeUtf16(value.data), out);
    } else if (value.type == kTypeDword && value.data.size() == 4) {
        *out += "dword:" + HexNumber(DecodeDword(value.data), 8);
    } else if (value.type == kTypeBinary) {
        AppendHex("hex:", value.data, out);
    } else {
        AppendHex(HexTypePrefix(value.type), value.data, out);
    }
    out->push_back('\n');
}

}  // namespace

ParseResult ParseRegText(const std::string& text, const std::string& rootName, Tree* tree) {
    return Parser(text, rootName, tree).Run();
}

std::string FormatRegText(const Tree& tree, const std::string& rootName) {
    std::string out = std::string(kHeader) + "\n";
    for (const auto& key : tree.Keys()) {
        if (key->path.empty() && key->values.empty()) continue;
        out += "\n[" + rootName + (key->path.empty() ? "" : "\\" + key->path) + "]\n";
        for (const Value& value : key->values) AppendValue(value, &out);
    }
    return out;
}

}  // namespace platform::reg
