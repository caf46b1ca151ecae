// Another process for the Windows platform tests: "set <event> <code>" signals the named event
// and exits with <code>. Without arguments it is the update tests' patch: it appends
// "ran in <working directory> from <its size> bytes" to %TERN_PATCH_RECORD% and exits with 3.
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/named_event.h"

int main(int argc, char** argv) {
    if (argc == 1) {
        const char* record = std::getenv("TERN_PATCH_RECORD");
        std::error_code error;
        if (record) {
            std::ofstream(record, std::ios::app | std::ios::binary)
                << "ran in " << std::filesystem::current_path(error).string() << " from "
                << std::filesystem::file_size(argv[0], error) << " bytes\n";
        }
        return 3;
    }
    if (argc != 4 || std::string(argv[1]) != "set") return 100;
    platform::NamedEvent event;
    return event.Create(argv[2], false) && event.Set() ? std::atoi(argv[3]) : 101;
}
