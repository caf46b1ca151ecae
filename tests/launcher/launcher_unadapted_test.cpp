// A launcher built with a string table never adapted to a game (unadapted_string_table.def, linked
// in place of the product's table) refuses to run.
#include "tests/launcher/dialog_test_support.h"

namespace {

using LauncherUnadapted = tern_test::LauncherDialogTest;

TEST_F(LauncherUnadapted, ShowsTheTableTextAndStartsNothing) {
    auto dialog = CreateHost();
    ASSERT_EQ(boxes_.size(), 1u);
    EXPECT_EQ(boxes_[0].text,
              "The game update application must be modified with the resource tool.");
    EXPECT_TRUE(dialog->QuitPosted());
    EXPECT_EQ(Tern::CurrentHost(), nullptr);  // no update run
    EXPECT_FALSE(TakeGameStart());
}

}  // namespace
