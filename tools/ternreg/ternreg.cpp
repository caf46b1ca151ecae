// ternreg: sets, reads and deletes registry values the way the launcher stores them, so that an
// installer or a patch never writes a hive file by hand: the change takes the hive's lock and
// replaces the file atomically, and a hive the launcher could not read is left alone.
//
// Exit status: 0 done, 1 the value is missing or the hive cannot be used, 2 the command line
// is wrong.

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string>
#include <vector>

#include "platform/posix/registry/hive_tree.h"
#include "platform/registry/registry.h"
#include "platform/registry/registry_values.h"

namespace {

constexpr int kSuccess = 0;
constexpr int kFailure = 1;
constexpr int kUsageError = 2;

const char kUsage[] =
    "usage: ternreg <command> KEY NAME [VALUE]\n"
    "Sets, reads and deletes the registry values the launcher reads.\n"
    "\n"
    "commands:\n"
    "  set KEY NAME TEXT          sets the string value NAME, creating KEY when missing\n"
    "  set --dword KEY NAME N     sets the 32-bit number value NAME (decimal or 0x hex)\n"
    "  get KEY NAME               prints the value: a string's text, a number in decimal,\n"
    "                             other data as hex bytes\n"
    "  delete KEY NAME            deletes the value\n"
    "  --help                     this text\n"
    "\n"
    "KEY starts with its hive: HKEY_LOCAL_MACHINE\\ (the machine hive, system.reg) or\n"
    "HKEY_CURRENT_USER\\ (user.reg); the hives are in $XDG_CONFIG_HOME/tern/registry, or\n"
    "~/.config/tern/registry without that variable. Quote KEY for the shell:\n"
    "  ternreg set 'HKEY_LOCAL_MACHINE\\Software\\Norland\\Skyreach\\GameUpdate' info skyreach-eu\n"
    "exit status: 0 done, 1 value missing or hive unusable, 2 wrong command line\n";

int Fail(const std::string& message) {
    std::fprintf(stderr, "ternreg: %s\n", message.c_str());
    return kFailure;
}

int UsageError(const std::string& message) {
    std::fprintf(stderr, "ternreg: %s\n%s", message.c_str(), kUsage);
    return kUsageError;
}

// The hive and the path below it that `key` names; false when it names no hive.
bool SplitKey(const std::string& key, platform::Hive* hive, std::string* path) {
    const struct {
        const char* root;
        platform::Hive hive;
    } roots[] = {{"hkey_local_machine\\", platform::Hive::LocalMachine},
                 {"hkey_current_user\\", platform::Hive::CurrentUser}};
    const std::string folded = platform::reg::FoldCase(key);
    for (const auto& root : roots) {
        const std::string prefix = root.root;
        if (folded.compare(0, prefix.size(), prefix) == 0 && folded.size() > prefix.size()) {
            *hive = root.hive;
            *path = key.substr(prefix.size());
            return true;
        }
    }
    return false;
}

// The message for a registry code other than success.
int Refused(long code, const std::string& key, const std::string& name, platform::Hive hive) {
    switch (code) {
        case platform::kRegNotFound:
            return Fail("no value " + name + " in " + key);
        case platform::kRegInvalidParameter:
            return UsageError("not a key path or value name: " + key + " " + name);
        default:
            return Fail("the hive " + platform::HiveFilePath(hive) +
                        " cannot be used or written (registry error " + std::to_string(code) + ")");
    }
}

std::string Printed(const platform::RegistryValue& value) {
    if (value.type == platform::ValueType::String) return value.data;
    if (value.type == platform::ValueType::Dword && value.data.size() == 4) {
        return std::to_string(platform::DecodeDword(value.data));
    }
    std::string hex;
    for (const unsigned char byte : value.data) {
        char pair[4];
        std::snprintf(pair, sizeof pair, "%s%02x", hex.empty() ? "" : ",", byte);
        hex += pair;
    }
    return hex;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> words(argv + std::min(argc, 1), argv + argc);
    for (const std::string& word : words) {
        if (word == "--help" || word == "-h") {
            std::fputs(kUsage, stdout);
            return kSuccess;
        }
    }
    if (words.empty()) return UsageError("a command is needed");
    const std::string command = words[0];
    words.erase(words.begin());
    const bool dword = command == "set" && !words.empty() && words[0] == "--dword";
    if (dword) words.erase(words.begin());
    const size_t needed = command == "set" ? 3 : 2;
    if (command != "set" && command != "get" && command != "delete") {
        return UsageError("unknown command " + command);
    }
    if (words.size() != needed)
        return UsageError(command + " takes KEY NAME" + (needed == 3 ? " VALUE" : ""));
    const std::string& key = words[0];
    const std::string& name = words[1];
    platform::Hive hive;
    std::string path;
    if (!SplitKey(key, &hive, &path)) {
        return UsageError("KEY starts with HKEY_LOCAL_MACHINE\\ or HKEY_CURRENT_USER\\: " + key);
    }

    if (command == "set") {
        platform::RegistryValue value{platform::ValueType::String, words[2]};
        if (dword) {
            char* end = nullptr;
            errno = 0;
            const unsigned long long number = std::strtoull(words[2].c_str(), &end, 0);
            if (words[2].empty() || words[2][0] == '-' || *end != '\0' || errno != 0 ||
                number > std::numeric_limits<uint32_t>::max()) {
                return UsageError("not a 32-bit number: " + words[2]);
            }
            value = {platform::ValueType::Dword,
                     platform::EncodeDword(static_cast<uint32_t>(number))};
        }
        const long code = platform::RegistryKey::SetValueAt(hive, path, name, value);
        return code == platform::kRegSuccess ? kSuccess : Refused(code, key, name, hive);
    }
    platform::RegistryKey opened;
    long code = platform::RegistryKey::Open(hive, path, &opened);
    platform::RegistryValue value;
    if (code == platform::kRegSuccess && command == "get") {
        code = opened.QueryValue(name, &value, std::numeric_limits<size_t>::max());
        if (code == platform::kRegSuccess) std::printf("%s\n", Printed(value).c_str());
    } else if (code == platform::kRegSuccess) {
        code = opened.DeleteValue(name);
    }
    return code == platform::kRegSuccess ? kSuccess : Refused(code, key, name, hive);
}
