#include "updatelib/base/localized_text.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>

#include "platform/ascii.h"
#include "platform/files.h"
#include "updatelib/base/diagnostic_channel.h"
#include "updatelib/base/file_functions.h"

namespace Tern {
namespace {

using platform::IsBlank;

std::string Trim(const std::string& s) {
    size_t begin = 0;
    size_t end = s.size();
    while (begin < end && IsBlank(s[begin])) ++begin;
    while (end > begin && IsBlank(s[end - 1])) --end;
    return s.substr(begin, end - begin);
}

std::string UpperCaseAscii(std::string s) {
    for (char& c : s) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return s;
}

std::string ExpandLineBreaks(const std::string& s) {
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 1 < s.size() && s[i + 1] == 'n') {
            out += "\r\n";
            ++i;
        } else {
            out += s[i];
        }
    }
    return out;
}

void ParseLine(const std::string& line, LocalizedTextTable& table) {
    if (line.size() > kMaxTextLineBytes) return;
    if (line.compare(0, 2, "//") == 0) return;
    const size_t equals = line.find('=');
    if (equals == std::string::npos || equals + 1 == line.size()) return;
    table.Set(UpperCaseAscii(Trim(line.substr(0, equals))),
              ExpandLineBreaks(Trim(line.substr(equals + 1))));
}

// Cuts `s` to at most `limit` bytes without splitting a UTF-8 sequence.
std::string CutCleanly(std::string s, size_t limit) {
    if (s.size() <= limit) return s;
    size_t end = limit;
    while (end > 0 && (static_cast<unsigned char>(s[end]) & 0xC0) == 0x80) --end;
    s.resize(end);
    return s;
}

// One printf conversion, rebuilt in a form that takes exactly the argument kind it needs.
struct Conversion {
    std::string format;
    TextArgument::Kind kind;
    size_t length;  // bytes of the conversion in the source text
};

std::optional<TextArgument::Kind> KindOf(char conversion, const std::string& lengthModifier) {
    switch (conversion) {
        case 'd':
        case 'i':
        case 'o':
        case 'u':
        case 'x':
        case 'X':
        case 'c':
            return TextArgument::Kind::Integer;
        case 'e':
        case 'E':
        case 'f':
        case 'F':
        case 'g':
        case 'G':
        case 'a':
        case 'A':
            return TextArgument::Kind::Double;
        case 's':
            // %ls would read a wide string.
            if (lengthModifier.empty()) return TextArgument::Kind::String;
            return std::nullopt;
        default:
            return std::nullopt;  // %p, %n and unknown conversions never fit
    }
}

// Appends the digits at text[i] to `out`; false when their number (a width or a precision) is
// more than a result may hold: the C library builds such output in full, however long, before
// it could be cut.
bool TakeNumber(const std::string& text, size_t& i, std::string& out) {
    size_t number = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
        number =
            std::min(number * 10 + static_cast<size_t>(text[i] - '0'), kMaxFormattedTextBytes + 1);
        out += text[i++];
    }
    return number <= kMaxFormattedTextBytes;
}

// Parses the conversion starting at text[start] == '%' (not "%%"). Width and precision must be
// literal digits no larger than a result: '*' and positional '$' forms read arguments of their
// own.
std::optional<Conversion> ParseConversion(const std::string& text, size_t start) {
    const std::string flagChars = "-+ #0";
    const std::string lengthChars = "hlLqjzt";
    size_t i = start + 1;
    std::string flagsWidthPrecision;
    while (i < text.size() && flagChars.find(text[i]) != std::string::npos)
        flagsWidthPrecision += text[i++];
    if (!TakeNumber(text, i, flagsWidthPrecision)) return std::nullopt;
    if (i < text.size() && text[i] == '.') {
        flagsWidthPrecision += text[i++];
        if (!TakeNumber(text, i, flagsWidthPrecision)) return std::nullopt;
    }
    std::string lengthModifier;
    while (i < text.size() && lengthChars.find(text[i]) != std::string::npos)
        lengthModifier += text[i++];
    if (i >= text.size()) return std::nullopt;
    const char conversion = text[i];
    const auto kind = KindOf(conversion, lengthModifier);
    if (!kind) return std::nullopt;
    std::string format = "%" + flagsWidthPrecision;
    if (*kind == TextArgument::Kind::Integer && conversion != 'c') format += "ll";
    format += conversion;
    return Conversion{format, *kind, i + 1 - start};
}

// Formats one argument; nullopt when the C library refuses (e.g. an absurd width).
std::optional<std::string> FormatOne(const Conversion& conversion, const TextArgument& argument,
                                     size_t room) {
    std::string buffer(room + 1, '\0');
    int written = -1;
    const char* format = conversion.format.c_str();
    switch (conversion.kind) {
        case TextArgument::Kind::Integer:
            if (conversion.format.back() == 'c') {
                written = std::snprintf(buffer.data(), buffer.size(), format,
                                        static_cast<int>(argument.integer));
            } else {
                written = std::snprintf(buffer.data(), buffer.size(), format, argument.integer);
            }
            break;
        case TextArgument::Kind::Double:
            written = std::snprintf(buffer.data(), buffer.size(), format, argument.number);
            break;
        case TextArgument::Kind::String:
            written = std::snprintf(buffer.data(), buffer.size(), format, argument.text);
            break;
    }
    if (written < 0) return std::nullopt;
    buffer.resize(std::min(static_cast<size_t>(written), room));
    return buffer;
}

// Output grows past the limit only by the last piece, which CutCleanly trims.
constexpr size_t kFormatRoom = kMaxFormattedTextBytes + 4;

}  // namespace

const std::string* LocalizedTextTable::Find(const std::string& key) const {
    const auto it = texts_.find(key);
    return it == texts_.end() ? nullptr : &it->second;
}

std::string LocalizedTextTable::Format(const std::string& key,
                                       const std::vector<TextArgument>& arguments) const {
    const std::string* text = Find(key);
    if (!text) return key;
    return FormatText(*text, arguments);
}

std::string FormatText(const std::string& text, const std::vector<TextArgument>& arguments) {
    std::string out;
    size_t next = 0;
    for (size_t i = 0; i < text.size() && out.size() < kFormatRoom; ++i) {
        if (text[i] != '%') {
            out += text[i];
            continue;
        }
        if (i + 1 < text.size() && text[i + 1] == '%') {
            out += '%';
            ++i;
            continue;
        }
        const auto conversion = ParseConversion(text, i);
        if (!conversion || next >= arguments.size() || arguments[next].kind != conversion->kind) {
            return CutCleanly(text, kMaxFormattedTextBytes);
        }
        const auto piece = FormatOne(*conversion, arguments[next++], kFormatRoom - out.size());
        if (!piece) return CutCleanly(text, kMaxFormattedTextBytes);
        out += *piece;
        i += conversion->length - 1;
    }
    return CutCleanly(out, kMaxFormattedTextBytes);
}

void ParseTextFile(const std::string& bytes, LocalizedTextTable& table) {
    size_t begin = 0;
    for (size_t i = 0; i <= bytes.size(); ++i) {
        if (i == bytes.size() || bytes[i] == '\r' || bytes[i] == '\n') {
            if (i > begin) ParseLine(bytes.substr(begin, i - begin), table);
            begin = i + 1;
        }
    }
}

std::string TextFilePath(const std::string& directory, const std::string& language) {
    const char separator = platform::kPathSeparator;
    return directory + separator + "Resources" + separator + language + separator + "GameUpdate." +
           language;
}

bool LoadTextFileFrom(LocalizedTextTable& table, const std::string& directory,
                      const std::string& language) {
    const std::string path = TextFilePath(directory, language);
    std::error_code error;
    if (!std::filesystem::is_regular_file(path, error)) return false;
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) return false;
    ParseTextFile(bytes, table);
    return true;
}

std::optional<std::string> LoadTextFileOrFallback(LocalizedTextTable& table,
                                                  const std::string& directory,
                                                  const std::string& language,
                                                  std::ostream& diagnostics) {
    if (LoadTextFileFrom(table, directory, language)) return language;
    diagnostics << "Cannot read the text file " << TextFilePath(directory, language);
    if (language == kFallbackLanguage) {
        diagnostics << "." << std::endl;
        return std::nullopt;
    }
    diagnostics << "; using the texts of " << kFallbackLanguage << "." << std::endl;
    return LoadTextFileOrFallback(table, directory, kFallbackLanguage, diagnostics);
}

bool LoadTextFile(LocalizedTextTable& table, const std::string& language) {
    return LoadTextFileOrFallback(table, GetExecutableDirectory(), language, LibraryDiagnostics())
        .has_value();
}

}  // namespace Tern
