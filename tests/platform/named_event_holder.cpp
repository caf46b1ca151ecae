// Fixture program for the named-event tests: holds events on behalf of a test and obeys one
// command per line on standard input, answering one line on standard output.
//
//   create <0|1> <name>   open or create the event (initially signalled with 1): ok | fail
//   set, reset            ok | fail
//   wait <ms>             signaled | timeout | failed
//   close                 ok
//   spawn                 starts a child program (fork + exec) that answers "ready <pid>" and
//                         then sleeps until killed
//
// Started with the single argument "pause", it is that child.
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <sstream>
#include <string>

#include "platform/named_event.h"

namespace {

int Pause() {
    std::printf("ready %d\n", static_cast<int>(getpid()));
    std::fflush(stdout);
    for (;;) pause();
}

void SpawnPausingChild() {
    if (fork() == 0) {
        execl("/proc/self/exe", "named_event_holder", "pause", static_cast<char*>(nullptr));
        _exit(127);
    }
}

const char* WaitAnswer(platform::WaitResult result) {
    switch (result) {
        case platform::WaitResult::Signaled:
            return "signaled";
        case platform::WaitResult::Timeout:
            return "timeout";
        case platform::WaitResult::Failed:
            break;
    }
    return "failed";
}

const char* Answer(bool ok) { return ok ? "ok" : "fail"; }

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::string(argv[1]) == "pause") return Pause();
    platform::NamedEvent event;
    std::string line;
    while (std::getline(std::cin, line)) {
        std::istringstream words(line);
        std::string command;
        words >> command;
        if (command == "create") {
            int signaled = 0;
            std::string name;
            words >> signaled >> std::ws;
            std::getline(words, name);
            std::cout << Answer(event.Create(name, signaled != 0)) << std::endl;
        } else if (command == "set") {
            std::cout << Answer(event.Set()) << std::endl;
        } else if (command == "reset") {
            std::cout << Answer(event.Reset()) << std::endl;
        } else if (command == "wait") {
            unsigned timeoutMs = 0;
            words >> timeoutMs;
            std::cout << WaitAnswer(event.Wait(timeoutMs)) << std::endl;
        } else if (command == "close") {
            event.Close();
            std::cout << "ok" << std::endl;
        } else if (command == "spawn") {
            SpawnPausingChild();
        } else {
            std::cout << "unknown" << std::endl;
        }
    }
    return 0;
}
