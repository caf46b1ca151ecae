// Another process for the Windows platform tests: "set <event> <code>" signals the named event
// and exits with <code>.
#include <cstdlib>
#include <string>

#include "platform/named_event.h"

int main(int argc, char** argv) {
    if (argc != 4 || std::string(argv[1]) != "set") return 100;
    platform::NamedEvent event;
    return event.Create(argv[2], false) && event.Set() ? std::atoi(argv[3]) : 101;
}
