#include "launcher/launcher_config.h"

#include "launcher/launch_settings.h"
#include "launcher/string_table.h"
#include "platform/registry/registry_values.h"
#include "updatelib/base/debugger_stream.h"
#include "updatelib/base/file_functions.h"

namespace launcher {
namespace {

// Buffer sizes of the values, terminator included.
constexpr size_t kLanguageCapacity = 4;
constexpr size_t kValueCapacity = 256;

void WriteGameValue(int nameId, const std::string& text) {
    if (!Settings().writeRegistry) return;
    platform::WriteRegistryString(platform::Hive::CurrentUser, GameKeyPath(),
                                  LoadResourceString(nameId), text);
}

}  // namespace

std::string GameKeyPath() {
    return LoadResourceString(IDS_GAME_KEY_BASE) + "\\" + LoadResourceString(IDS_GAME_NAME);
}

std::string UpdateKeyPath() { return GameKeyPath() + "\\" + LoadResourceString(IDS_UPDATE_SUBKEY); }

Tern::LocalizedTextTable& LauncherTexts() {
    static Tern::LocalizedTextTable table;
    return table;
}

bool LoadLocalizedTextsFrom(const std::string& directory) {
    const auto language =
        platform::ReadRegistryText(platform::Hive::LocalMachine, UpdateKeyPath(),
                                   LoadResourceString(IDS_LANGUAGE_VALUE), kLanguageCapacity);
    Settings().uiLanguage = language ? *language : Tern::kFallbackLanguage;
    // The language of the texts that show, so that the update library and the window's own
    // buttons speak it too.
    const auto loaded = Tern::LoadTextFileOrFallback(
        LauncherTexts(), directory, Settings().uiLanguage, Tern::GetDebuggerStream());
    if (!loaded) return false;
    Settings().uiLanguage = *loaded;
    return true;
}

bool LoadLocalizedTexts() { return LoadLocalizedTextsFrom(Tern::GetExecutableDirectory()); }

std::string ReadGameId() {
    return platform::ReadRegistryText(platform::Hive::LocalMachine, UpdateKeyPath(),
                                      LoadResourceString(IDS_GAME_ID_VALUE), kValueCapacity)
        .value_or(std::string());
}

bool AppendGameLanguage() {
    const auto language =
        platform::ReadRegistryText(platform::Hive::LocalMachine, GameKeyPath(),
                                   LoadResourceString(IDS_GAME_LANGUAGE_VALUE), kValueCapacity);
    if (!language) return false;
    Settings().startArguments += " -language=" + *language;
    return true;
}

void WriteExecutableName() {
    WriteGameValue(IDS_EXECUTABLE_NAME_VALUE, "bin\\" + Settings().executableName);
}

void WriteStartArguments() { WriteGameValue(IDS_START_ARGUMENTS_VALUE, Settings().startArguments); }

}  // namespace launcher
