// Pictures of the launcher's window in its three typical states, saved for people to look at:
// while downloading, after a failed run (technical log expanded) and after an incomplete one.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include <QPixmap>

#include "tests/launcher/dialog_test_support.h"

namespace {

const char* const kPatchUrl = "http://cdn.norland.example/skyreach/patches/skyreach_1.0.4.exe";

void Save(QWidget& window, const std::string& name) {
    std::filesystem::create_directories(TERN_SCREENSHOT_DIR);
    const std::string path = std::string(TERN_SCREENSHOT_DIR) + "/" + name;
    EXPECT_TRUE(window.grab().save(QString::fromStdString(path), "PNG")) << path;
}

void Download(launcher::CUpgradeLauncherDlg& window) {
    tern_test::FromWorker([&] {
        window.OnDownloadStarted(kPatchUrl, "", 1, 1);
        window.OnLogText("Found update: New game update 1.0.4, 48.5 MB.\n");
        window.OnProgress(50855936.0, 19922944.0, 50855936.0, 19922944.0);
        window.OnLogText("Downloading the update from " + std::string(kPatchUrl) + ".\n");
    });
    ASSERT_TRUE(tern_test::ServeEventsUntil([&] {
        return window.isVisible() &&
               tern_test::TextOf(window, 1001).find("39%") != std::string::npos;
    }));
}

using LauncherScreenshot = tern_test::LauncherDialogTest;

TEST_F(LauncherScreenshot, DownloadingFailedAndIncomplete) {
    {
        auto window = CreateDialog();
        Download(*window);
        Save(*window, "downloading.png");
        tern_test::FromWorker([&] {
            window->OnLogText("The checksum of the downloaded file does not match.\n");
            window->OnLogText("Expected: 5d41402abc4b2a76b9719d911017c592\n");
            window->OnLogText("Deleting the downloaded file.\n");
            window->OnFinished(3);
        });
        Save(*window, "finished_failed.png");
    }
    {
        auto window = CreateDialog();
        Download(*window);
        tern_test::FromWorker([&] {
            window->OnLogText("The download ended early; it will resume at the next start.\n");
            window->OnFinished(4);
        });
        Save(*window, "finished_incomplete.png");
    }
}

}  // namespace
