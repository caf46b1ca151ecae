#include "launcher/launcher_config.h"

#include <gtest/gtest.h>

#include <optional>

#include "launcher/launch_settings.h"
#include "launcher/string_table.h"
#include "platform/registry/registry_values.h"
#include "tests/support/isolated_env.h"

namespace {

using platform::Hive;

class LauncherConfig : public tern_test::IsolatedTest {
protected:
    LauncherConfig() { launcher::Settings() = launcher::LaunchSettings(); }

    void SetMachineValue(const std::string& path, const std::string& name,
                         const std::string& text) {
        ASSERT_EQ(platform::WriteRegistryString(Hive::LocalMachine, path, name, text), 0);
    }
    std::optional<std::string> UserValue(const std::string& name) {
        return platform::ReadRegistryText(Hive::CurrentUser, launcher::GameKeyPath(), name, 4096);
    }
    void WriteTextFile(const std::string& language, const std::string& bytes) {
        tern_test::WriteFileBytes(Tern::TextFilePath(env_.Root(), language), bytes);
    }
};

TEST_F(LauncherConfig, KeyPathsComeFromTheStringTable) {
    EXPECT_EQ(launcher::GameKeyPath(), "Software\\Norland\\Skyreach");
    EXPECT_EQ(launcher::UpdateKeyPath(), "Software\\Norland\\Skyreach\\GameUpdate");
    EXPECT_EQ(launcher::LoadResourceString(105), "Aborting...");
    EXPECT_EQ(launcher::LoadResourceString(104), "");
}

TEST_F(LauncherConfig, LanguageValueSelectsTheTextFileAndDefaultsToUs) {
    WriteTextFile("us", "IDS_TOTAL=Total:");
    WriteTextFile("fr", "IDS_TOTAL=Somme :");
    ASSERT_TRUE(launcher::LoadLocalizedTextsFrom(env_.Root()));
    EXPECT_EQ(launcher::Settings().uiLanguage, "us");
    EXPECT_EQ(launcher::GetText("IDS_TOTAL"), "Total:");

    SetMachineValue(launcher::UpdateKeyPath(), "language", "fr");
    ASSERT_TRUE(launcher::LoadLocalizedTextsFrom(env_.Root()));
    EXPECT_EQ(launcher::Settings().uiLanguage, "fr");
    EXPECT_EQ(launcher::GetText("IDS_TOTAL"), "Somme :");

    // "fr-FR" does not fit the four-byte buffer: the launcher falls back to "us".
    SetMachineValue(launcher::UpdateKeyPath(), "language", "fr-FR");
    ASSERT_TRUE(launcher::LoadLocalizedTextsFrom(env_.Root()));
    EXPECT_EQ(launcher::Settings().uiLanguage, "us");

    SetMachineValue(launcher::UpdateKeyPath(), "language", "de");
    EXPECT_FALSE(launcher::LoadLocalizedTextsFrom(env_.Root()));
}

TEST_F(LauncherConfig, GameIdAndGameLanguageAreReadFromTheMachineHive) {
    EXPECT_EQ(launcher::ReadGameId(), "");
    launcher::Settings().startArguments = "-x";
    EXPECT_FALSE(launcher::AppendGameLanguage());
    EXPECT_EQ(launcher::Settings().startArguments, "-x");

    SetMachineValue(launcher::UpdateKeyPath(), "INFO", "skyreach-eu");
    SetMachineValue(launcher::GameKeyPath(), "Language", "german");
    EXPECT_EQ(launcher::ReadGameId(), "skyreach-eu");
    EXPECT_TRUE(launcher::AppendGameLanguage());
    EXPECT_EQ(launcher::Settings().startArguments, "-x -language=german");

    // A value that does not fit its 256-byte buffer counts as unreadable.
    SetMachineValue(launcher::UpdateKeyPath(), "info", std::string(256, 'i'));
    EXPECT_EQ(launcher::ReadGameId(), "");
    SetMachineValue(launcher::UpdateKeyPath(), "info", std::string(255, 'i'));
    EXPECT_EQ(launcher::ReadGameId(), std::string(255, 'i'));
}

TEST_F(LauncherConfig, StartValuesAreWrittenOnlyWhenAsked) {
    launcher::Settings().executableName = "skyreach_d.exe";
    launcher::Settings().startArguments = " -language=english";
    launcher::WriteExecutableName();
    launcher::WriteStartArguments();
    EXPECT_FALSE(UserValue("ExecutableName"));

    launcher::Settings().writeRegistry = true;
    launcher::WriteExecutableName();
    launcher::WriteStartArguments();
    EXPECT_EQ(UserValue("ExecutableName"), "bin\\skyreach_d.exe");
    EXPECT_EQ(UserValue("StartArguments"), " -language=english");
}

}  // namespace
