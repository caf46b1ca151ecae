// Another process of the user for the registry and named-event tests. "write <prefix> <first>
// <count>" sets <prefix><i> for i = first... (count 0: forever) one change at a time, reporting
// each as "<i>"; "hold <event>" creates the event signalled, resets it, reports "held", starts
// "pause" by fork and exec and sleeps; "pause" reports "ready <pid>" and sleeps.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/named_event.h"
#include "platform/registry/registry.h"

namespace {

const char kKeyPath[] = "Software\\Norland\\Skyreach\\GameUpdate\\UpdateFiles";

// The registry test expects the same.
std::string DataOf(const std::string& name) { return "R /tmp/" + name + std::string(64, 'x'); }

int Write(const std::string& prefix, long first, long count) {
    for (long i = first; count == 0 || i < first + count; ++i) {
        const std::string name = prefix + std::to_string(i);
        platform::RegistryKey key;
        if (platform::RegistryKey::Create(platform::Hive::CurrentUser, kKeyPath, &key) != 0 ||
            key.SetString(name, DataOf(name)) != 0) {
            return 1;
        }
        std::printf("%ld\n", i);
        std::fflush(stdout);
    }
    return 0;
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
    if (mode == "write" && argc == 5) return Write(argv[2], atol(argv[3]), atol(argv[4]));
    if (mode == "hold" && argc == 3) return Hold(argv[2]);
    if (mode != "pause") return 100;
    std::printf("ready %d\n", static_cast<int>(getpid()));
    std::fflush(stdout);
    for (;;) pause();
}
