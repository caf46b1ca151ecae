// The launcher's window in this process, on the offscreen platform. Host reports come from a
// thread of their own, as the engine's worker makes them, so that every blocking call into the
// window's thread is exercised. The game is the fixture game, installed beside this test.
#include "launcher/upgrade_launcher_dlg.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include <QApplication>
#include <QClipboard>
#include <QKeyEvent>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>

#include "launcher/game_start.h"
#include "launcher/launch_settings.h"
#include "launcher/launcher_config.h"
#include "platform/registry/registry_values.h"
#include "tests/launcher/dialog_test_support.h"

namespace {

using launcher::MessageButtons;
using launcher::MessageIcon;
using platform::Hive;
using tern_test::ControlOf;
using tern_test::TextOf;

int BarOf(const QWidget& window, int id) { return ControlOf<QProgressBar>(window, id)->value(); }

void Click(const QWidget& window, int id) { ControlOf<QPushButton>(window, id)->click(); }

int SeparatorBottom(const QWidget& window) {
    const QRect line = ControlOf(window, 1007)->geometry();
    return line.y() + line.height();
}

using LauncherDialog = tern_test::LauncherDialogTest;

TEST_F(LauncherDialog, StartsHiddenDisabledCollapsedAndLocalized) {
    auto dialog = std::make_unique<tern_test::DrivenDialog>();
    dialog->messageBox = boxes_.Seam();
    dialog->Create();
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_FALSE(dialog->isEnabled());
    EXPECT_EQ(dialog->runsStarted, 1);
    EXPECT_EQ(dialog->windowTitle().toStdString(), "Skyreach Updater");
    EXPECT_EQ(launcher::Settings().startArguments, " -language=english");

    for (int id : {2, 1004, 1006}) EXPECT_NE(ControlOf<QPushButton>(*dialog, id), nullptr) << id;
    for (int id : {1000, 1011}) EXPECT_NE(ControlOf<QProgressBar>(*dialog, id), nullptr) << id;
    for (int id : {1001, 1002, 1012, 1013, 1014, 1015}) {
        EXPECT_NE(ControlOf<QLabel>(*dialog, id), nullptr) << id;
    }
    EXPECT_NE(ControlOf<QPlainTextEdit>(*dialog, 1003), nullptr);

    EXPECT_EQ(TextOf(*dialog, 2), "Quit");
    EXPECT_EQ(TextOf(*dialog, 1004), "Advanced");
    EXPECT_EQ(TextOf(*dialog, 1006), "Copy to Clipboard");
    EXPECT_EQ(TextOf(*dialog, 1013), "This file:");
    EXPECT_EQ(TextOf(*dialog, 1014), "Total:");
    EXPECT_EQ(TextOf(*dialog, 1015), "Technical log");
    EXPECT_EQ(TextOf(*dialog, 1002), "Status text");
    EXPECT_EQ(dialog->height(), SeparatorBottom(*dialog));
    EXPECT_TRUE(boxes_.shown.empty());
}

TEST_F(LauncherDialog, WindowAppearsOnceTheFileHasMoreThan21Bytes) {
    auto dialog = CreateDialog();
    tern_test::FromWorker([&] { dialog->OnProgress(100.0, 21.0, 100.0, 21.0); });
    tern_test::ServeEvents();
    EXPECT_FALSE(dialog->isVisible());

    tern_test::FromWorker([&] { dialog->OnProgress(100.0, 22.0, 100.0, 22.0); });
    EXPECT_TRUE(tern_test::ServeEventsUntil([&] { return dialog->isVisible(); }));
    EXPECT_EQ(TextOf(*dialog, 1001), "22/100 bytes received (22%)");
}

TEST_F(LauncherDialog, ProgressShowsBothPairsWithTruncatedBars) {
    auto dialog = CreateDialog();
    tern_test::FromWorker([&] { dialog->OnProgress(0.0, 0.0, 0.0, 0.0); });
    EXPECT_TRUE(tern_test::ServeEventsUntil(
        [&] { return TextOf(*dialog, 1001) == "0/0 bytes received (0%)"; }));
    EXPECT_EQ(TextOf(*dialog, 1012), "0/0 bytes received (0%)");
    EXPECT_EQ(BarOf(*dialog, 1011), 0);
    EXPECT_EQ(BarOf(*dialog, 1000), 0);

    // 99.6 %: the bar truncates, the text rounds with the text's own precision.
    tern_test::FromWorker([&] { dialog->OnProgress(2000.0, 1000.0, 1000.0, 996.0); });
    EXPECT_TRUE(tern_test::ServeEventsUntil(
        [&] { return TextOf(*dialog, 1001) == "996/1000 bytes received (100%)"; }));
    EXPECT_EQ(BarOf(*dialog, 1011), 99);
    EXPECT_EQ(TextOf(*dialog, 1012), "1000/2000 bytes received (50%)");
    EXPECT_EQ(BarOf(*dialog, 1000), 50);
}

TEST_F(LauncherDialog, BlockingReportShowsTheLatestFiguresFirst) {
    auto dialog = CreateDialog();
    tern_test::FromWorker([&] {
        for (int received = 1; received <= 5000; ++received) {
            dialog->OnProgress(5000.0, received, 5000.0, received);
        }
        dialog->OnLogText("done\n");
    });
    // No refresh tick needed: the log report's blocking call showed the last figures first.
    EXPECT_EQ(TextOf(*dialog, 1001), "5000/5000 bytes received (100%)");
    EXPECT_EQ(BarOf(*dialog, 1011), 100);
    EXPECT_EQ(dialog->LogContent(), "done");
}

TEST_F(LauncherDialog, DownloadStartShowsTheDescriptionOrTheFileName) {
    auto dialog = CreateDialog();
    const auto statusAfter = [&](const std::string& url, const std::string& description) {
        tern_test::FromWorker([&] { dialog->OnDownloadStarted(url, description, 1, 1); });
        return TextOf(*dialog, 1002);
    };
    EXPECT_EQ(statusAfter("http://cdn.example/patches/skyreach_1.0.4.exe", ""),
              "Downloading skyreach_1.0.4.exe...");
    EXPECT_EQ(statusAfter("http://cdn.example/patches/", ""), "Downloading ...");
    EXPECT_EQ(statusAfter("patch.exe", ""), "Downloading patch.exe...");
    EXPECT_EQ(statusAfter("http://cdn.example/p.exe", "100% of %s, %d files"),
              "100% of %s, %d files");
}

TEST_F(LauncherDialog, LogPiecesAreJoinedWithCrLfAndCopiedWhole) {
    auto dialog = CreateDialog();
    tern_test::FromWorker([&] {
        dialog->OnLogText("a\n");
        dialog->OnLogText("b\n");
    });
    EXPECT_EQ(dialog->LogContent(), "a\r\nb");
    auto* box = ControlOf<QPlainTextEdit>(*dialog, 1003);
    EXPECT_EQ(box->toPlainText().toStdString(), "a\nb");

    QGuiApplication::clipboard()->clear();
    Click(*dialog, 1006);
    EXPECT_EQ(QGuiApplication::clipboard()->text().toStdString(), "a\nb");
    EXPECT_FALSE(box->textCursor().hasSelection());
    EXPECT_TRUE(box->textCursor().atEnd());
}

TEST_F(LauncherDialog, AdvancedTwiceReturnsToTheFirstHeight) {
    auto dialog = CreateDialog();
    const int collapsed = dialog->height();
    Click(*dialog, 1004);
    const int expanded = dialog->height();
    EXPECT_GT(expanded, collapsed);
    EXPECT_GT(expanded, ControlOf(*dialog, 1006)->geometry().bottom());
    Click(*dialog, 1004);
    EXPECT_EQ(dialog->height(), collapsed);
}

TEST_F(LauncherDialog, FailedRunExpandsTheLogAndWaitsForThePlayer) {
    auto dialog = CreateDialog();
    const int collapsed = dialog->height();
    tern_test::FromWorker([&] { dialog->OnFinished(3); });

    EXPECT_TRUE(dialog->isVisible());
    EXPECT_GT(dialog->height(), collapsed);
    EXPECT_EQ(TextOf(*dialog, 1002),
              "An error occurred while updating the game. Please contact Norland technical "
              "support and add the technical log to your message.");
    for (int id : {1011, 1001, 1000, 1012, 1013, 1014}) {
        EXPECT_FALSE(ControlOf(*dialog, id)->isVisible()) << id;
    }
    // The status text now reaches down to the bottom of the hidden file bar.
    const QRect status = ControlOf(*dialog, 1002)->geometry();
    const QRect bar = ControlOf(*dialog, 1011)->geometry();
    EXPECT_EQ(status.width(), bar.width());
    EXPECT_EQ(status.bottom(), bar.bottom());
    EXPECT_EQ(TextOf(*dialog, 2), "Start Game");
    EXPECT_FALSE(dialog->QuitPosted());
    EXPECT_TRUE(GameStarts().empty());

    Click(*dialog, 2);
    EXPECT_TRUE(dialog->QuitPosted());
    EXPECT_EQ(GameStarts().size(), 1u);
}

TEST_F(LauncherDialog, IncompleteErrorAndUnknownResultsWaitCollapsed) {
    const struct {
        int result;
        const char* status;
    } cases[] = {
        {4, "The new version download could not be completed."},
        {7,
         "An error occurred while updating the game. Please contact Norland technical support "
         "and add the technical log to your message."},
        {9, "Status text"},
    };
    for (const auto& expected : cases) {
        auto dialog = CreateDialog();
        const int collapsed = dialog->height();
        tern_test::FromWorker([&] { dialog->OnFinished(expected.result); });
        EXPECT_TRUE(dialog->isVisible()) << expected.result;
        EXPECT_EQ(dialog->height(), collapsed) << expected.result;
        EXPECT_EQ(TextOf(*dialog, 1002), expected.status);
        EXPECT_EQ(TextOf(*dialog, 2), "Start Game");
        EXPECT_FALSE(ControlOf(*dialog, 1011)->isVisible());
        EXPECT_FALSE(dialog->QuitPosted());
    }
    EXPECT_TRUE(GameStarts().empty());
}

TEST_F(LauncherDialog, ResultsThatEndTheLauncher) {
    const struct {
        int result;
        bool startsGame;
    } cases[] = {{0, true}, {1, false}, {2, true}, {5, true}, {6, true}};
    size_t starts = 0;
    for (const auto& expected : cases) {
        auto dialog = CreateDialog();
        tern_test::FromWorker([&] { dialog->OnFinished(expected.result); });
        EXPECT_TRUE(dialog->QuitPosted()) << expected.result;
        EXPECT_FALSE(dialog->isVisible()) << expected.result;
        if (expected.result == 2) {
            EXPECT_EQ(TextOf(*dialog, 1002), "No update found.");
        }
        if (expected.startsGame) ++starts;
        EXPECT_EQ(GameStarts().size(), starts) << expected.result;
    }
    EXPECT_TRUE(boxes_.shown.empty());

    const std::vector<tern_test::FixtureStart> games = GameStarts();
    ASSERT_FALSE(games.empty());
    EXPECT_EQ(games[0].workingDirectory, QCoreApplication::applicationDirPath().toStdString());
    EXPECT_EQ(games[0].argv.back(), "-language=english");
}

TEST_F(LauncherDialog, AbortStartsTheGameAtOnceAndTheEndDoesNotStartItAgain) {
    auto dialog = CreateDialog();
    Click(*dialog, 2);
    EXPECT_EQ(TextOf(*dialog, 1002), "Aborting...");
    EXPECT_EQ(GameStarts().size(), 1u);
    EXPECT_FALSE(dialog->QuitPosted());
    // The next progress report of a transfer answers "stop".
    EXPECT_FALSE(dialog->Observer().OnProgress(10.0, 1.0, 10.0, 1.0));

    tern_test::FromWorker([&] { dialog->OnFinished(5); });
    EXPECT_TRUE(dialog->QuitPosted());
    EXPECT_EQ(GameStarts().size(), 1u);
    EXPECT_TRUE(boxes_.shown.empty());
}

TEST_F(LauncherDialog, EscapeAndClosingTheWindowActAsButtonTwo) {
    {
        auto dialog = CreateDialog();
        tern_test::FromWorker([&] { dialog->OnFinished(4); });
        QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
        QCoreApplication::sendEvent(dialog.get(), &escape);
        EXPECT_TRUE(dialog->QuitPosted());
        EXPECT_EQ(GameStarts().size(), 1u);
    }
    {
        auto dialog = CreateDialog();
        tern_test::FromWorker([&] { dialog->OnFinished(4); });
        EXPECT_FALSE(dialog->close());
        EXPECT_TRUE(dialog->QuitPosted());
        EXPECT_EQ(GameStarts().size(), 2u);
    }
    {
        // During the run, closing the window aborts it and starts the game.
        auto dialog = CreateDialog();
        tern_test::FromWorker([&] { dialog->OnProgress(100.0, 50.0, 100.0, 50.0); });
        ASSERT_TRUE(tern_test::ServeEventsUntil([&] { return dialog->isVisible(); }));
        EXPECT_FALSE(dialog->close());
        EXPECT_EQ(TextOf(*dialog, 1002), "Aborting...");
        EXPECT_FALSE(dialog->QuitPosted());
        EXPECT_EQ(GameStarts().size(), 3u);
    }
}

TEST_F(LauncherDialog, FailedGameStartIsReportedOnceAndNeverRetried) {
    launcher::Settings().executableName = "skyreach_missing.exe";
    launcher::Settings().writeRegistry = true;
    auto dialog = CreateDialog();
    Click(*dialog, 2);
    ASSERT_EQ(boxes_.shown.size(), 1u);
    EXPECT_EQ(boxes_.shown[0].text,
              "Could not start skyreach_missing.exe (error 2)\nThe game executable was not "
              "found or could not be run.");
    EXPECT_EQ(boxes_.shown[0].caption, "Skyreach Updater");
    EXPECT_EQ(boxes_.shown[0].icon, MessageIcon::None);
    EXPECT_EQ(boxes_.shown[0].buttons, MessageButtons::Ok);

    tern_test::FromWorker([&] { dialog->OnFinished(4); });
    Click(*dialog, 2);
    EXPECT_TRUE(dialog->QuitPosted());
    EXPECT_EQ(boxes_.shown.size(), 1u);
    EXPECT_FALSE(platform::ReadRegistryText(Hive::CurrentUser, launcher::GameKeyPath(),
                                            "ExecutableName", 4096));
}

TEST_F(LauncherDialog, EmptyExecutableNameEndsTheLauncher) {
    launcher::Settings().executableName.clear();
    auto dialog = CreateDialog();
    tern_test::FromWorker([&] { dialog->OnFinished(0); });
    ASSERT_EQ(boxes_.shown.size(), 1u);
    EXPECT_EQ(boxes_.shown[0].text, "Missing executable path\r\n");
    EXPECT_EQ(boxes_.shown[0].caption, "Aborting...");
    EXPECT_EQ(boxes_.shown[0].icon, MessageIcon::None);
    EXPECT_TRUE(dialog->QuitPosted());
    EXPECT_TRUE(GameStarts().empty());
}

TEST_F(LauncherDialog, RunningUpdatesFollowsThePlayersAnswer) {
    auto dialog = CreateDialog();
    for (bool answer : {true, false}) {
        boxes_.answer = answer;
        bool confirmed = !answer;
        tern_test::FromWorker([&] { confirmed = dialog->ConfirmRunUpdates(); });
        EXPECT_EQ(confirmed, answer);
    }
    ASSERT_EQ(boxes_.shown.size(), 2u);
    EXPECT_EQ(boxes_.shown[0].text,
              "One or more files were found and downloaded!\r\nDo you wish to run them now?");
    EXPECT_EQ(boxes_.shown[0].caption, "New version found!");
    EXPECT_EQ(boxes_.shown[0].buttons, MessageButtons::YesNo);
    EXPECT_EQ(boxes_.shown[0].icon, MessageIcon::None);
}

TEST_F(LauncherDialog, WithoutUpdateCheckTheGameStartsAndNothingShows) {
    launcher::Settings().checkForUpdates = false;
    auto dialog = CreateDialog();
    EXPECT_EQ(dialog->runsStarted, 0);
    EXPECT_TRUE(dialog->QuitPosted());
    EXPECT_FALSE(dialog->isVisible());
    const std::vector<tern_test::FixtureStart> games = GameStarts();
    ASSERT_EQ(games.size(), 1u);
    EXPECT_EQ(games[0].argv.back(), "-language=english");
}

TEST_F(LauncherDialog, ConfigurationFailuresShowTheirMessageAndStartNothing) {
    {
        // No text file for the configured language.
        SetMachineValue(launcher::UpdateKeyPath(), "language", "zz");
        auto dialog = CreateDialog();
        ASSERT_EQ(boxes_.shown.size(), 1u);
        EXPECT_EQ(boxes_.shown[0].text,
                  "Cannot load resource files. Re-installing the game may fix this problem.");
        EXPECT_EQ(boxes_.shown[0].caption, "Skyreach Updater");
        EXPECT_EQ(boxes_.shown[0].icon, MessageIcon::Stop);
        EXPECT_TRUE(dialog->QuitPosted());
        EXPECT_EQ(dialog->runsStarted, 0);
        SetMachineValue(launcher::UpdateKeyPath(), "language", "us");
    }
    {
        // No game language.
        boxes_.shown.clear();
        RemoveMachineValue(launcher::GameKeyPath(), "Language");
        auto dialog = CreateDialog();
        ASSERT_EQ(boxes_.shown.size(), 1u);
        EXPECT_EQ(boxes_.shown[0].text,
                  "The game could not be started. A registry value of the game installation is "
                  "missing.\r\n\nRe-installing the game may fix this problem.\r\n");
        EXPECT_EQ(boxes_.shown[0].icon, MessageIcon::Stop);
        EXPECT_TRUE(dialog->QuitPosted());
        EXPECT_EQ(dialog->runsStarted, 0);
        SetMachineValue(launcher::GameKeyPath(), "Language", "english");
    }
    {
        // No game id: the real run start refuses.
        boxes_.shown.clear();
        RemoveMachineValue(launcher::UpdateKeyPath(), "info");
        auto dialog = CreateDialog<launcher::CUpgradeLauncherDlg>();
        ASSERT_EQ(boxes_.shown.size(), 1u);
        EXPECT_EQ(boxes_.shown[0].text,
                  "The game could not be started. A registry value of the game installation is "
                  "missing.\r\nConfiguration error: the game id is missing.\r\n\nRe-installing "
                  "the game may fix this problem.\r\n");
        EXPECT_EQ(boxes_.shown[0].caption, "Skyreach Updater");
        EXPECT_EQ(boxes_.shown[0].icon, MessageIcon::Stop);
        EXPECT_TRUE(dialog->QuitPosted());
    }
    EXPECT_TRUE(GameStarts().empty());
}

}  // namespace
