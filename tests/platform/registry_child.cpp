// Child process for the registry tests: a second writer of the same hive.
//
//   registry_child write <prefix> <count>   sets <prefix><i> for i < count; exit 0 when all
//                                           succeeded
//   registry_child write-loop <first>       sets v<i> from i = first on, forever, and reports
//                                           each successful write as "<i>\n" on stdout
//   registry_child delete <key> <sub-key>   deletes the sub-key; exits with the registry code
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "platform/registry/registry.h"

namespace {

const char kKeyPath[] = "Software\\Norland\\Skyreach\\GameUpdate\\UpdateFiles";

// The data written for value number `i` in the write loop; the test checks it.
std::string LoopData(long i) { return "R /tmp/vex" + std::to_string(i) + std::string(64, 'x'); }

// One write the way the product does it: create the key, set the value, close.
bool WriteValue(const std::string& name, const std::string& data) {
    platform::RegistryKey key;
    return platform::RegistryKey::Create(platform::Hive::CurrentUser, kKeyPath, &key) ==
               platform::kRegSuccess &&
           key.SetString(name, data) == platform::kRegSuccess;
}

int WriteValues(const std::string& prefix, long count) {
    for (long i = 0; i < count; ++i) {
        if (!WriteValue(prefix + std::to_string(i), prefix + " data " + std::to_string(i))) {
            return 1;
        }
    }
    return 0;
}

int WriteForever(long first) {
    for (long i = first;; ++i) {
        if (!WriteValue("v" + std::to_string(i), LoopData(i))) return 1;
        const std::string report = std::to_string(i) + "\n";
        if (write(STDOUT_FILENO, report.data(), report.size()) !=
            static_cast<ssize_t>(report.size())) {
            return 1;
        }
    }
}

int DeleteSubKey(const std::string& path, const std::string& subKey) {
    platform::RegistryKey key;
    const long opened = platform::RegistryKey::Open(platform::Hive::CurrentUser, path, &key);
    return static_cast<int>(opened != platform::kRegSuccess ? opened : key.DeleteSubKey(subKey));
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "write" && argc == 4) return WriteValues(argv[2], std::atol(argv[3]));
    if (mode == "write-loop" && argc == 3) return WriteForever(std::atol(argv[2]));
    if (mode == "delete" && argc == 4) return DeleteSubKey(argv[2], argv[3]);
    return 100;
}
