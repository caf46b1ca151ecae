#include "launcher/launcher_config.h"

#include <gtest/gtest.h>

#include <optional>

#include "launcher/launch_settings.h"
#include "platform/registry/registry_values.h"
#include "tests/support/isolated_env.h"

namespace {

using platform::Hive;

class LauncherConfig : public tern_test::IsolatedTest {
protected:
    LauncherConfig() { launcher::Settings() = launcher::LaunchSettings(); }

    static void SetUpdateValue(const std::string& name, const std::string& text) {
        ASSERT_EQ(platform::WriteRegistryString(Hive::LocalMachine, launcher::UpdateKeyPath(), name,
                                                text),
                  0);
    }
};

TEST_F(LauncherConfig, LanguageValueSelectsTheTextFileAndFallsBackToUs) {
    tern_test::WriteFileBytes(Tern::TextFilePath(env_.Root(), "us"), "IDS_TOTAL=Total:");
    tern_test::WriteFileBytes(Tern::TextFilePath(env_.Root(), "fr"), "IDS_TOTAL=Somme :");
    SetUpdateValue("language", "fr");
    ASSERT_TRUE(launcher::LoadLocalizedTextsFrom(env_.Root()));
    EXPECT_EQ(launcher::GetText("IDS_TOTAL"), "Somme :");
    // "fr-FR" does not fit the four-byte buffer: the launcher falls back to "us".
    SetUpdateValue("language", "fr-FR");
    ASSERT_TRUE(launcher::LoadLocalizedTextsFrom(env_.Root()));
    EXPECT_EQ(launcher::Settings().uiLanguage, "us");
    EXPECT_EQ(launcher::GetText("IDS_TOTAL"), "Total:");
}

TEST_F(LauncherConfig, GameValuesAreReadFromTheMachineHiveAndWrittenOnlyWhenAsked) {
    // Value names are case-insensitive; one that does not fit its 256-byte buffer is unreadable.
    SetUpdateValue("INFO", std::string(255, 'i'));
    EXPECT_EQ(launcher::ReadGameId(), std::string(255, 'i'));
    SetUpdateValue("info", std::string(256, 'i'));
    EXPECT_EQ(launcher::ReadGameId(), "");

    launcher::Settings().executableName = "skyreach_d.exe";
    launcher::Settings().startArguments = " -x";
    for (const bool asked : {false, true}) {
        launcher::Settings().writeRegistry = asked;
        launcher::WriteExecutableName();
        launcher::WriteStartArguments();
        EXPECT_EQ(platform::ReadRegistryText(Hive::CurrentUser, launcher::GameKeyPath(),
                                             "ExecutableName", 4096),
                  asked ? std::optional<std::string>("bin\\skyreach_d.exe") : std::nullopt);
    }
    EXPECT_EQ(platform::ReadRegistryText(Hive::CurrentUser, launcher::GameKeyPath(),
                                         "StartArguments", 4096),
              " -x");
}

}  // namespace
