// Localized texts: key-to-text tables loaded from GameUpdate.<lang> files, and their lookup.
//
// File format: lines end at CR or LF; a line starting with "//" is a comment; other lines are
// "key = text" split at the first '='. Keys are trimmed and upper-cased, texts trimmed, and the
// two characters "\n" in a text become CR LF. The last definition of a key wins.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <type_traits>
#include <vector>

namespace Tern {

// Limits inherited from the fixed buffers of the original format: longer lines are skipped,
// longer formatted texts are cut. Paths may be as long as the system allows.
constexpr size_t kMaxTextLineBytes = 1023;
constexpr size_t kMaxFormattedTextBytes = 1023;

// One argument of a text lookup, with the kind of printf conversion it can feed.
struct TextArgument {
    enum class Kind { Integer, Double, String };
    Kind kind;
    long long integer = 0;
    double number = 0.0;
    const char* text = nullptr;

    template <typename T, std::enable_if_t<std::is_integral_v<T>, int> = 0>
    TextArgument(T value) : kind(Kind::Integer), integer(static_cast<long long>(value)) {}
    TextArgument(double value) : kind(Kind::Double), number(value) {}
    TextArgument(const char* value) : kind(Kind::String), text(value ? value : "") {}
    TextArgument(const std::string& value) : kind(Kind::String), text(value.c_str()) {}
};

class LocalizedTextTable {
public:
    // Stores `text` under `key` (taken as given), replacing an earlier text.
    void Set(const std::string& key, const std::string& text) { texts_[key] = text; }
    // The stored text, or null.
    const std::string* Find(const std::string& key) const;
    size_t Size() const { return texts_.size(); }

    // The text of `key` formatted printf-style with `arguments`; the key itself when the
    // table has no such key. A text whose conversions do not fit the arguments (more of them
    // than arguments, another kind, forms that read memory such as %n, * or positions, or a
    // width or precision above kMaxFormattedTextBytes) is returned as it stands, so a faulty
    // text file never reads an argument that was not passed nor builds a huge result. The
    // result is at most kMaxFormattedTextBytes long.
    template <typename... Args>
    std::string GetText(const std::string& key, const Args&... arguments) const {
        const std::vector<TextArgument> list{TextArgument(arguments)...};
        return Format(key, list);
    }

private:
    std::string Format(const std::string& key, const std::vector<TextArgument>& arguments) const;

    std::map<std::string, std::string> texts_;
};

// Parses the bytes of a text file into `table`.
void ParseTextFile(const std::string& bytes, LocalizedTextTable& table);

// "<directory>/Resources/<language>/GameUpdate.<language>"
std::string TextFilePath(const std::string& directory, const std::string& language);

// Loads the text file of `language` below `directory`. False when the path is too long or the
// file cannot be opened or read. An empty file loads, with no entries.
bool LoadTextFileFrom(LocalizedTextTable& table, const std::string& directory,
                      const std::string& language);

// The language whose texts every installation has.
constexpr char kFallbackLanguage[] = "us";

// Loads the text file of `language` below `directory`, or, when that one cannot be read, the one
// of kFallbackLanguage. Each file that cannot be read is named in one line on `diagnostics`.
// The language whose texts were loaded; nullopt when none could be.
std::optional<std::string> LoadTextFileOrFallback(LocalizedTextTable& table,
                                                  const std::string& directory,
                                                  const std::string& language,
                                                  std::ostream& diagnostics);

// Loads the text file of `language` below the executable's directory, falling back as above
// with the library's diagnostics.
bool LoadTextFile(LocalizedTextTable& table, const std::string& language);

// `text` formatted with `arguments` when its conversions fit them, else `text` unchanged.
std::string FormatText(const std::string& text, const std::vector<TextArgument>& arguments);

}  // namespace Tern
