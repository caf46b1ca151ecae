// Reads the records that fixture_game appends, one per start.
#pragma once

#include <string>
#include <vector>

namespace tern_test {

struct FixtureStart {
    std::string workingDirectory;
    std::string openDescriptors;  // blank-separated, above standard error
    std::vector<std::string> argv;
};

// The starts recorded in `text`, oldest first; stops at the first incomplete record.
inline std::vector<FixtureStart> ParseFixtureRecords(const std::string& text) {
    std::vector<FixtureStart> starts;
    size_t position = 0;
    const auto nextLine = [&](std::string& line) {
        const size_t end = text.find('\n', position);
        if (end == std::string::npos) return false;
        line = text.substr(position, end - position);
        position = end + 1;
        return true;
    };
    const auto field = [&](const char* name, std::string& value) {
        const std::string prefix = std::string(name) + "=";
        if (!nextLine(value) || value.compare(0, prefix.size(), prefix) != 0) return false;
        value.erase(0, prefix.size());
        return true;
    };
    for (;;) {
        FixtureStart start;
        std::string count;
        if (!field("cwd", start.workingDirectory) || !field("fds", start.openDescriptors) ||
            !field("argc", count)) {
            return starts;
        }
        start.argv.resize(std::stoul(count));
        for (std::string& argument : start.argv) {
            if (!nextLine(argument)) return starts;
        }
        starts.push_back(std::move(start));
    }
}

}  // namespace tern_test
