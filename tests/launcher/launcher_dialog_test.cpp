// The launcher's update host and its window in this process (dialog_test_support.h).
#include <gtest/gtest.h>

#include <QClipboard>
#include <QFileInfo>
#include <QLibraryInfo>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

#include "tests/launcher/dialog_test_support.h"
#include "tests/support/http_test_server.h"
#include "updatelib/service/update_service_client.h"

namespace {

using tern_test::DrivenHost;

const char* const kInfoPath = "/MatchMakingConfig.aspx";

template <typename Widget = QWidget>
Widget* ControlOf(const QWidget& window, int id) {
    return window.findChild<Widget*>(QString::number(id));
}
std::string TextOf(const QWidget& window, int id) {
    return ControlOf(window, id)->property("text").toString().toStdString();
}
void Click(const QWidget& window, int id) { ControlOf<QPushButton>(window, id)->click(); }

using LauncherDialog = tern_test::LauncherDialogTest;

// The window with its real update run against a local server.
class LauncherRun : public LauncherDialog {
protected:
    LauncherRun() : server_(env_.Root() + "/server"), proxy_(server_) {}
    tern_test::HttpTestServer server_;
    tern_test::ProxyEnvironment proxy_;
};

TEST_F(LauncherDialog, DownloadShowsTheWindowPast21BytesAndTheLatestFigures) {
    auto dialog = CreateHost<DrivenHost>();
    FromWorker([&] { dialog->OnProgress(0.0, 0.0, 100.0, 21.0); });
    dialog->ServeMainThreadCalls();
    EXPECT_EQ(Window(), nullptr);  // not even made: no toolkit for a start without update

    FromWorker([&] { dialog->OnProgress(0.0, 0.0, 100.0, 22.0); });
    EXPECT_TRUE(ServeUntil([&] { return WindowShows(); }));

    std::string shownWhenAsked;
    whileBoxOpen_ = [&] {
        shownWhenAsked = TextOf(*Window(), 1001) + " " + TextOf(*Window(), 1011);
    };
    FromWorker([&] {
        dialog->OnDownloadStarted("http://cdn.example/p.exe", "100% of %s, %d files", 1, 1);
        for (int received = 23; received <= 996; ++received) {
            dialog->OnProgress(0.0, 0.0, 1000.0, received);
        }
        dialog->ConfirmRunUpdates();
        dialog->OnLogText("a\n");
        dialog->OnLogText("b\n");
    });
    // No refresh tick needed: the question's blocking call showed the last figures first, the bar
    // truncated and the text rounded. The server's description shows as is, not as a format.
    EXPECT_EQ(shownWhenAsked, "996/1000 bytes received (100%) 99%");
    EXPECT_EQ(TextOf(*Window(), 1012), "0/0 bytes received (0%)");
    EXPECT_EQ(TextOf(*Window(), 1002), "100% of %s, %d files");

    EXPECT_EQ(dialog->LogContent(), "a\r\nb");
    Click(*Window(), 1006);
    EXPECT_EQ(QGuiApplication::clipboard()->text().toStdString(), "a\nb");
}

TEST_F(LauncherDialog, AbortStartsTheGameAtOnceAndTheEndDoesNotStartItAgain) {
    auto dialog = CreateHost<DrivenHost>();
    FromWorker([&] { dialog->OnProgress(0.0, 0.0, 100.0, 50.0); });
    ASSERT_TRUE(ServeUntil([&] { return WindowShows(); }));
    Click(*Window(), 2);
    EXPECT_EQ(TextOf(*Window(), 1002), "Aborting...");
    EXPECT_TRUE(TakeGameStart());
    EXPECT_FALSE(dialog->QuitPosted());
    // The next progress report of a transfer answers "stop".
    EXPECT_FALSE(dialog->Observer().OnProgress(10.0, 1.0, 10.0, 1.0));

    FromWorker([&] { dialog->OnFinished(5); });
    EXPECT_TRUE(dialog->QuitPosted());
    EXPECT_FALSE(TakeGameStart());
}

TEST_F(LauncherDialog, FailedGameStartIsReportedOnceAndNeverRetried) {
    launcher::Settings().executableName = "missing_game.exe";
    auto dialog = CreateHost<DrivenHost>();
    dialog->OnAbortButton();
    ASSERT_EQ(boxes_.size(), 1u);
    EXPECT_EQ(boxes_[0].text,
              "Could not start missing_game.exe (error 2)\nThe game executable was not "
              "found or could not be run.");

    FromWorker([&] { dialog->OnFinished(4); });
    // Closing the window is button 2: the launcher ends without a second try.
    EXPECT_FALSE(Window()->close());
    EXPECT_TRUE(dialog->QuitPosted());
    EXPECT_EQ(boxes_.size(), 1u);
    EXPECT_FALSE(TakeGameStart());
}

TEST_F(LauncherDialog, StartUpRefusalsAndTheStartWithoutUpdateCheck) {
    const std::string missing =
        "The game could not be started. A registry value of the game installation is "
        "missing.\r\n";
    const std::string reinstall = "Re-installing the game may fix this problem.";
    const struct {
        std::function<void()> change;
        std::string box;  // empty: none
    } cases[] = {
        {[] { RemoveValue(platform::Hive::LocalMachine, launcher::GameKeyPath(), "Language"); },
         missing + "\n" + reinstall + "\r\n"},
        {[] { RemoveValue(platform::Hive::LocalMachine, launcher::UpdateKeyPath(), "info"); },
         missing + "Configuration error: the game id is missing.\r\n\n" + reinstall + "\r\n"},
        // Last, since Install does not undo them. "fr-FR" does not fit the launcher's four-byte
        // buffer, which reads as no value: the texts of "us".
        {[] {
             launcher::Settings().checkForUpdates = false;
             SetMachineValue(launcher::UpdateKeyPath(), "language", "fr-FR");
         },
         ""},
    };
    for (const auto& expected : cases) {
        SCOPED_TRACE(expected.box);
        Install();
        expected.change();
        boxes_.clear();
        auto dialog = CreateHost();
        EXPECT_EQ(Tern::CurrentHost(), nullptr);  // no update run
        EXPECT_TRUE(dialog->QuitPosted());
        EXPECT_FALSE(WindowShows());
        EXPECT_LE(boxes_.size(), 1u);
        EXPECT_EQ(boxes_.empty() ? "" : boxes_[0].text, expected.box);
        EXPECT_EQ(TakeGameStart(), expected.box.empty());  // only the start without update check
    }
}

// The toolkit's own buttons speak the launcher's language while its window exists.
TEST_F(LauncherDialog, BoxButtonsSpeakTheLaunchersLanguage) {
    const QString translations = QLibraryInfo::path(QLibraryInfo::TranslationsPath);
    if (!QFileInfo::exists(translations + "/qtbase_de.qm")) GTEST_SKIP() << "no qtbase_de.qm";
    auto host = CreateHost<DrivenHost>();
    for (const auto& [language, buttons] : {std::pair("de", "&Ja|&Nein"), {"us", "&Yes|&No"}}) {
        launcher::WindowTexts texts;
        texts.language = language;
        const std::unique_ptr<launcher::LauncherWindow> window(
            CreateLauncherWindow(host.get(), &texts));
        std::string shown;
        QCoreApplication::processEvents();  // an earlier test's quit may wait in the queue
        QTimer::singleShot(0, [&] {
            QTimer::singleShot(0, [&] {
                auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
                shown = box->button(QMessageBox::Yes)->text().toStdString() + "|" +
                        box->button(QMessageBox::No)->text().toStdString();
                box->button(QMessageBox::No)->click();
            });
            EXPECT_FALSE(window->AskMessageBox(
                {"Run?", "", launcher::MessageIcon::None, launcher::MessageButtons::YesNo}));
            window->Quit();
        });
        window->RunEventLoop();  // as the launcher runs it
        EXPECT_EQ(shown, buttons);
    }
}

// A failed run waits for the player until the local update service's stop arrives on its thread:
// the game starts and the window ends, stopping that very service from inside its call.
TEST_F(LauncherRun, FailedRunWaitsUntilTheServiceStopsIt) {
    server_.Fail(kInfoPath, 500);
    auto dialog = CreateHost();
    ASSERT_TRUE(ServeUntil([&] { return Window() && TextOf(*Window(), 2) == "Start Game"; }));
    EXPECT_TRUE(Window()->isVisible());
    // The technical log is open: the window reaches below the separator.
    EXPECT_GT(Window()->height(), ControlOf(*Window(), 1007)->geometry().bottom() + 1);
    EXPECT_EQ(TextOf(*Window(), 1002),
              "An error occurred while updating the game. Please contact " TERN_COMPANY_NAME
              " technical support and add the technical log to your message.");
    EXPECT_FALSE(TakeGameStart());

    FromWorker([] { Tern::UpdateServiceClient().RequestStop(); });
    EXPECT_TRUE(dialog->QuitPosted());
    EXPECT_TRUE(TakeGameStart());
}

// Ending the launcher while reports are under way must neither destroy the host under the worker
// nor deadlock. This host holds the run's end until let go; then the worker makes no further
// virtual call, so destroying it while the worker waits inside the base's OnFinished is safe.
class HeldHost : public launcher::LauncherHost {
public:
    using LauncherHost::LauncherHost;
    void OnFinished(int32_t result) override {
        finishing = true;
        while (!released) std::this_thread::yield();
        LauncherHost::OnFinished(result);
    }
    std::atomic<bool> finishing{false};
    std::atomic<bool> released{false};
};

TEST_F(LauncherRun, DestroyingTheWindowWhileTheWorkerWaitsInsideOnFinished) {
    server_.Serve(kInfoPath, "<RESPONSE></RESPONSE>");
    auto dialog = CreateHost<HeldHost>();
    ASSERT_TRUE(ServeUntil([&] { return dialog->finishing.load(); }));
    // This thread serves nothing from here: the worker hands OnFinished to it and waits. (Had
    // the pause been too short, the report would find the window closing: as correct.)
    dialog->released = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    dialog.reset();
    EXPECT_FALSE(TakeGameStart());
    EXPECT_TRUE(boxes_.empty());
}

TEST_F(LauncherRun, DestroyingTheWindowDuringATransfer) {
    tern_test::RouteOptions slow;
    slow.chunkBytes = 16;
    slow.intervalMs = 5;
    server_.Serve(kInfoPath, std::string(256, ' '), slow);
    auto dialog = CreateHost();
    ASSERT_TRUE(ServeUntil([&] { return WindowShows(); }));
    dialog.reset();
    EXPECT_FALSE(TakeGameStart());
    EXPECT_TRUE(boxes_.empty());
}

TEST_F(LauncherDialog, RunEndsWhileTheQuestionBoxIsOpen) {
    auto dialog = CreateHost<DrivenHost>();
    // While the worker's question is open, the local update service asks the finished run to
    // end from a thread of its own: the box's own event loop serves that report.
    whileBoxOpen_ = [&] { FromWorker([&] { dialog->OnFinished(6); }); };
    bool runThem = false;
    FromWorker([&] { runThem = dialog->ConfirmRunUpdates(); });
    EXPECT_TRUE(runThem);
    ASSERT_EQ(boxes_.size(), 1u);
    EXPECT_EQ(boxes_[0].text,
              "One or more files were found and downloaded!\r\nDo you wish to run them now?");
    EXPECT_EQ(boxes_[0].buttons, launcher::MessageButtons::YesNo);
    EXPECT_TRUE(dialog->QuitPosted());
    EXPECT_TRUE(TakeGameStart());

    // Reports after the quit request return at once: no second question, no new layout.
    whileBoxOpen_ = nullptr;
    FromWorker([&] { runThem = dialog->ConfirmRunUpdates(); });
    EXPECT_FALSE(runThem);
    FromWorker([&] { dialog->OnFinished(3); });
    EXPECT_EQ(boxes_.size(), 1u);
    EXPECT_FALSE(WindowShows());
    EXPECT_FALSE(TakeGameStart());
}

}  // namespace
