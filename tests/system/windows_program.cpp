// The game and the patch of the Windows system test, recording into the file %TERN_GAME_LOG%
// what the shell game and patch of the Linux test record. Built as the game, it appends
// "<its name> <version.txt> started in <directory>"; built as the patch (TERN_INSTALLS), it
// writes that version into version.txt, appends it to the installation's id ("info" of
// TERN_GAME_KEY\GameUpdate, as a real patch changes it) and appends "patch <version> ran in
// <directory> as <program>". Both end the line with " with: <arguments>".
#include <windows.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#ifdef TERN_INSTALLS
namespace {

bool ChangeInstallationId() {
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, TERN_GAME_KEY "\\GameUpdate", 0,
                      KEY_QUERY_VALUE | KEY_SET_VALUE, &key) != ERROR_SUCCESS) {
        return false;
    }
    char id[256];
    DWORD size = sizeof(id) - 1;
    DWORD type = 0;
    bool changed = false;
    if (RegQueryValueExA(key, "info", nullptr, &type, reinterpret_cast<BYTE*>(id), &size) ==
            ERROR_SUCCESS &&
        type == REG_SZ) {
        id[size] = '\0';
        const std::string newId = std::string(id) + "-" + TERN_INSTALLS;
        changed =
            RegSetValueExA(key, "info", 0, REG_SZ, reinterpret_cast<const BYTE*>(newId.c_str()),
                           static_cast<DWORD>(newId.size() + 1)) == ERROR_SUCCESS;
    }
    RegCloseKey(key);
    return changed;
}

}  // namespace
#endif

int main(int argc, char** argv) {
    const char* log = std::getenv("TERN_GAME_LOG");
    if (!log) return 2;
    std::ofstream out(log, std::ios::app | std::ios::binary);
    const std::string directory = std::filesystem::current_path().string();
#ifdef TERN_INSTALLS
    std::ofstream("version.txt", std::ios::binary) << TERN_INSTALLS << '\n';
    if (!ChangeInstallationId()) return 3;
    out << "patch " << TERN_INSTALLS << " ran in " << directory << " as " << argv[0];
#else
    std::ifstream versionFile("version.txt");
    std::string version;
    std::getline(versionFile, version);
    out << std::filesystem::path(argv[0]).stem().string() << ' ' << version << " started in "
        << directory;
#endif
    out << " with:";
    for (int i = 1; i < argc; ++i) out << ' ' << argv[i];
    out << '\n';
    return out.good() ? 0 : 1;
}
