// Ending the launcher while reports are under way: the window must never be destroyed while
// the engine's worker still uses it, and must never deadlock while the worker waits for the
// window's thread. Run these under ThreadSanitizer as well.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "launcher/launch_settings.h"
#include "launcher/launcher_config.h"
#include "platform/registry/registry_values.h"
#include "tests/launcher/dialog_test_support.h"
#include "tests/support/http_test_server.h"

namespace {

using platform::Hive;

const char* const kInfoPath = "/MatchMakingConfig.aspx";

// The window with its real update run, holding the run's end until the test lets it go on.
// Once let go the worker makes no further virtual call, so destroying this subclass while the
// worker waits inside the base's OnFinished is safe.
class HeldDialog : public launcher::CUpgradeLauncherDlg {
public:
    void OnFinished(int32_t result) override {
        finishing = true;
        while (!released) std::this_thread::yield();
        CUpgradeLauncherDlg::OnFinished(result);
    }
    std::atomic<bool> finishing{false};
    std::atomic<bool> released{false};
};

class LauncherShutdown : public tern_test::LauncherDialogTest {
protected:
    LauncherShutdown() : server_(env_.Root() + "/server"), proxy_(server_) {
        // A game start writes the registry at once; these tests look there, not at the game.
        launcher::Settings().writeRegistry = true;
    }

    bool GameWasStarted() const {
        return platform::ReadRegistryText(Hive::CurrentUser, launcher::GameKeyPath(),
                                          "ExecutableName", 4096)
            .has_value();
    }

    tern_test::HttpTestServer server_;
    tern_test::ProxyEnvironment proxy_;
};

TEST_F(LauncherShutdown, DestroyingTheWindowWhileTheWorkerWaitsInsideOnFinished) {
    server_.Serve(kInfoPath, "<RESPONSE></RESPONSE>");
    auto dialog = std::make_unique<HeldDialog>();
    dialog->messageBox = boxes_.Seam();
    dialog->Create();
    ASSERT_TRUE(tern_test::ServeEventsUntil([&] { return dialog->finishing.load(); }));
    // From here this thread serves nothing: the worker hands OnFinished to it and waits. The
    // pause only gives the worker time to get there; had it not, its report would find the
    // window closing and return at once, which is as correct.
    dialog->released = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    dialog.reset();

    EXPECT_FALSE(GameWasStarted());
    EXPECT_TRUE(boxes_.shown.empty());
}

TEST_F(LauncherShutdown, DestroyingTheWindowDuringATransfer) {
    tern_test::RouteOptions slow;
    slow.chunkBytes = 16;
    slow.intervalMs = 5;
    server_.Serve(kInfoPath, std::string(256, ' '), slow);
    auto dialog = CreateDialog<launcher::CUpgradeLauncherDlg>();
    ASSERT_TRUE(tern_test::ServeEventsUntil([&] { return dialog->isVisible(); }));
    dialog.reset();

    EXPECT_FALSE(GameWasStarted());
    EXPECT_TRUE(boxes_.shown.empty());
}

TEST_F(LauncherShutdown, RunEndsWhileTheQuestionBoxIsOpen) {
    auto dialog = CreateDialog();
    // While the worker's question is open, the local update service's client asks the
    // finished run to end: the box's own event loop serves that report.
    std::thread service;
    std::atomic<bool> serviceDone{false};
    boxes_.answer = true;
    boxes_.whileOpen = [&] {
        service = std::thread([&] {
            dialog->OnFinished(6);
            serviceDone = true;
        });
        ASSERT_TRUE(tern_test::ServeEventsUntil([&] { return serviceDone.load(); }));
    };
    bool runThem = false;
    tern_test::FromWorker([&] { runThem = dialog->ConfirmRunUpdates(); });
    service.join();

    EXPECT_TRUE(runThem);
    EXPECT_TRUE(dialog->QuitPosted());
    EXPECT_TRUE(GameWasStarted());

    // Reports after the quit request return at once: no second question, no new layout.
    boxes_.whileOpen = nullptr;
    tern_test::FromWorker([&] { runThem = dialog->ConfirmRunUpdates(); });
    EXPECT_FALSE(runThem);
    tern_test::FromWorker([&] { dialog->OnFinished(3); });
    EXPECT_EQ(boxes_.shown.size(), 1u);
    EXPECT_FALSE(dialog->isVisible());
    dialog.reset();
}

}  // namespace
