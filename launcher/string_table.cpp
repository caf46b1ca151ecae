#include "launcher/string_table.h"

#include <array>

// The table compiled into the program (Linux): a game maker adapts it before the build.
namespace launcher {
namespace {

constexpr size_t kEntryCount = kLastStringId - kFirstStringId + 1;

struct Entry {
    int id;
    const char* text;
};

#define STRING_ENTRY(id, text) Entry{id, text},
#define GAME_SETTING(name, text)
constexpr Entry kEntries[] = {
#include TERN_STRING_TABLE_FILE
};
#undef GAME_SETTING
#undef STRING_ENTRY

constexpr bool HoldsEveryIdOnce() {
    std::array<int, kEntryCount> seen{};
    for (const Entry& entry : kEntries) {
        if (entry.id < kFirstStringId || entry.id > kLastStringId) return false;
        if (seen[entry.id - kFirstStringId]++ != 0) return false;
    }
    return sizeof(kEntries) / sizeof(kEntries[0]) == kEntryCount;
}
static_assert(HoldsEveryIdOnce(), "the string table must hold each id from 105 to 128 once");

}  // namespace

std::string LoadResourceString(int id) {
    for (const Entry& entry : kEntries) {
        if (entry.id == id) return entry.text;
    }
    return std::string();
}

}  // namespace launcher
