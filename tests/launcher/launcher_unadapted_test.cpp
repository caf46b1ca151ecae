// A launcher built with a string table that was never adapted to a game (this program links
// unadapted_string_table.def in place of the product's table) refuses to run.
#include <gtest/gtest.h>

#include "launcher/launcher_config.h"
#include "tests/launcher/dialog_test_support.h"

namespace {

using LauncherUnadapted = tern_test::LauncherDialogTest;

TEST_F(LauncherUnadapted, ShowsTheTableTextAndStartsNothing) {
    auto dialog = CreateDialog<launcher::CUpgradeLauncherDlg>();
    ASSERT_EQ(boxes_.shown.size(), 1u);
    EXPECT_EQ(boxes_.shown[0].text,
              "The game update application must be modified with the resource tool.");
    EXPECT_EQ(boxes_.shown[0].caption, "Skyreach Updater");
    EXPECT_EQ(boxes_.shown[0].icon, launcher::MessageIcon::None);
    EXPECT_EQ(boxes_.shown[0].buttons, launcher::MessageButtons::Ok);
    EXPECT_TRUE(dialog->QuitPosted());
    dialog.reset();
    EXPECT_TRUE(GameStarts().empty());
}

}  // namespace
