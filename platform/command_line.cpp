#include <string>
#include <vector>

#include "platform/ascii.h"
#include "platform/process.h"

namespace platform {
namespace {

// Appends what a run of backslashes at `position` stands for and returns the position after
// the part consumed. A quote after an even run is left for the caller, since it groups.
size_t TakeBackslashes(const std::string& text, size_t position, std::string& word) {
    size_t end = position;
    while (end < text.size() && text[end] == '\\') ++end;
    const size_t count = end - position;
    if (end == text.size() || text[end] != '"') {
        word.append(count, '\\');
        return end;
    }
    word.append(count / 2, '\\');
    if (count % 2 == 0) return end;
    word += '"';
    return end + 1;
}

}  // namespace

std::vector<std::string> SplitCommandLine(const std::string& parameters) {
    std::vector<std::string> words;
    std::string word;
    bool inWord = false;
    bool quoted = false;
    size_t position = 0;
    while (position < parameters.size()) {
        const char c = parameters[position];
        if (!quoted && IsBlank(c)) {
            if (inWord) words.push_back(std::move(word));
            word.clear();
            inWord = false;
            ++position;
            continue;
        }
        inWord = true;
        if (c == '\\') {
            position = TakeBackslashes(parameters, position, word);
        } else if (c == '"' && quoted && position + 1 < parameters.size() &&
                   parameters[position + 1] == '"') {
            word += '"';
            position += 2;
        } else if (c == '"') {
            quoted = !quoted;
            ++position;
        } else {
            word += c;
            ++position;
        }
    }
    if (inWord) words.push_back(std::move(word));
    return words;
}

}  // namespace platform
