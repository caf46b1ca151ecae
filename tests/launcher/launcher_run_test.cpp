// The launcher's window with its real update run against a local server standing for the
// update-information service and the patch mirror.
#include <gtest/gtest.h>

#include <string>

#include <QEvent>

#include "launcher/launch_settings.h"
#include "tests/launcher/dialog_test_support.h"
#include "tests/support/http_test_server.h"
#include "updatelib/transfer/patch_checksum.h"

namespace {

const char* const kInfoPath = "/MatchMakingConfig.aspx";
const char* const kPatchPath = "/patches/skyreach_1.0.4.exe";

// Counts how often a window was shown.
class ShowCounter : public QObject {
public:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Show) ++shown;
        return false;
    }
    int shown = 0;
};

class LauncherRun : public tern_test::LauncherDialogTest {
protected:
    LauncherRun() : server_(env_.Root() + "/server"), proxy_(server_) {}

    std::unique_ptr<launcher::CUpgradeLauncherDlg> StartRun() {
        auto dialog = std::make_unique<launcher::CUpgradeLauncherDlg>();
        dialog->installEventFilter(&showCounter_);
        dialog->messageBox = boxes_.Seam();
        dialog->Create();
        dialog->setEnabled(true);
        return dialog;
    }

    // The game starts recorded so far, once at least one has arrived.
    std::vector<tern_test::FixtureStart> FirstGameStart() const {
        const auto starts = [&] {
            return tern_test::ParseFixtureRecords(tern_test::ReadFileBytes(recordPath_));
        };
        EXPECT_TRUE(tern_test::ServeEventsUntil([&] { return !starts().empty(); }));
        return starts();
    }

    tern_test::HttpTestServer server_;
    tern_test::ProxyEnvironment proxy_;
    ShowCounter showCounter_;
};

TEST_F(LauncherRun, AnswerWithoutPatchStartsTheGameAndNeverShowsTheWindow) {
    server_.Serve(kInfoPath, "<RESPONSE></RESPONSE>");
    auto dialog = StartRun();
    ASSERT_TRUE(tern_test::ServeEventsUntil([&] { return dialog->QuitPosted(); }));
    EXPECT_EQ(showCounter_.shown, 0);
    EXPECT_TRUE(boxes_.shown.empty());
    const std::vector<tern_test::FixtureStart> games = FirstGameStart();
    ASSERT_EQ(games.size(), 1u);
    EXPECT_EQ(games[0].argv.back(), "-language=english");
}

TEST_F(LauncherRun, PatchDownloadShowsTheWindowAndAsksBeforeRunningIt) {
    std::string patch(65536, '\0');
    for (size_t i = 0; i < patch.size(); ++i) patch[i] = static_cast<char>(i * 7 + i / 251);
    Tern::PatchChecksum checksum;
    checksum.Update(patch.data(), patch.size());
    server_.Serve(kPatchPath, patch);
    server_.Serve(kInfoPath,
                  "<RESPONSE><PatchSize><VALUE>65536</VALUE></PatchSize>"
                  "<PatchUrl><VALUE>http://cdn.norland.example" +
                      std::string(kPatchPath) +
                      "</VALUE></PatchUrl>"
                      "<PatchCRC><VALUE>" +
                      Tern::ChecksumText(checksum.Value()) + "</VALUE></PatchCRC></RESPONSE>");
    boxes_.answer = false;  // not now: the run ends without running the patch

    auto dialog = StartRun();
    ASSERT_TRUE(tern_test::ServeEventsUntil([&] { return dialog->QuitPosted(); }));
    EXPECT_GE(showCounter_.shown, 1);
    ASSERT_EQ(boxes_.shown.size(), 1u);
    EXPECT_EQ(boxes_.shown[0].caption, "New version found!");
    EXPECT_EQ(tern_test::TextOf(*dialog, 1002), "New game update");
    // The figures shown after the last report are that report's.
    EXPECT_EQ(tern_test::TextOf(*dialog, 1001), "65536/65536 bytes received (100%)");
    EXPECT_EQ(FirstGameStart().size(), 1u);
}

}  // namespace
