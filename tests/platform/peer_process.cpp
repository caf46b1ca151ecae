// Another process of the same user, for the registry and named-event tests.
//
//   peer_process write <prefix> <first> <count>  sets <prefix><i> for i from <first> on, each its
//                                                own change (count 0: forever), and reports each
//                                                one done as "<i>"; exits 1 when any failed
//   peer_process delete <key> <sub-key>          deletes the sub-key; exits with the result
//   peer_process hold <event>                    creates the event signalled, resets it, reports
//                                                "held" and starts a program that holds nothing
//                                                by fork and exec; sleeps until killed
//   peer_process pause                           that program: reports "ready <pid>" and sleeps
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/named_event.h"
#include "platform/registry/registry.h"

namespace {

using platform::RegistryKey;

constexpr platform::Hive kUser = platform::Hive::CurrentUser;

// The registry test expects the same.
std::string DataOf(const std::string& name) { return "R /tmp/" + name + std::string(64, 'x'); }

int Write(const std::string& prefix, long first, long count) {
    int result = 0;
    for (long i = first; count == 0 || i < first + count; ++i) {
        const std::string name = prefix + std::to_string(i);
        RegistryKey key;
        if (RegistryKey::Create(kUser, "Software\\Norland\\Skyreach\\GameUpdate\\UpdateFiles",
                                &key) != platform::kRegSuccess ||
            key.SetString(name, DataOf(name)) != platform::kRegSuccess) {
            result = 1;
            continue;
        }
        std::printf("%ld\n", i);
        std::fflush(stdout);
    }
    return result;
}

int DeleteSubKey(const std::string& path, const std::string& subKey) {
    RegistryKey key;
    const long opened = RegistryKey::Open(kUser, path, &key);
    return static_cast<int>(opened != platform::kRegSuccess ? opened : key.DeleteSubKey(subKey));
}

int Hold(const std::string& name) {
    platform::NamedEvent event;
    std::printf(event.Create(name, true) && event.Reset() ? "held\n" : "failed\n");
    std::fflush(stdout);
    if (fork() == 0) {
        execl("/proc/self/exe", "peer_process", "pause", static_cast<char*>(nullptr));
        _exit(127);
    }
    for (;;) pause();
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "write" && argc == 5) {
        return Write(argv[2], std::atol(argv[3]), std::atol(argv[4]));
    }
    if (mode == "delete" && argc == 4) return DeleteSubKey(argv[2], argv[3]);
    if (mode == "hold" && argc == 3) return Hold(argv[2]);
    if (mode != "pause") return 100;
    std::printf("ready %d\n", static_cast<int>(getpid()));
    std::fflush(stdout);
    for (;;) pause();
}
