// Support for tests of the launcher's window: one QApplication per test process on the
// offscreen platform, a "worker thread" that makes host reports the way the engine's worker
// does, waiting while the window's thread serves events, message boxes answered without a
// person, and a fixture with the installation's registry values and the fixture game.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "launcher/message_box.h"
#include "launcher/upgrade_launcher_dlg.h"
#include "tests/launcher/fixture_record.h"
#include "tests/support/isolated_env.h"

namespace tern_test {

// Creates the process's QApplication (offscreen) before the first test and destroys it after
// the last; registered for every test program that links this support.
class QtApplicationEnvironment : public ::testing::Environment {
public:
    void SetUp() override;
    void TearDown() override;
};

// Runs `report` on a thread of its own, as the engine's worker makes its reports, and serves
// the window's events on this thread until it has returned.
void FromWorker(const std::function<void()>& report);

// Serves events until `condition` holds or a generous limit has passed; returns `condition()`.
bool ServeEventsUntil(const std::function<bool()>& condition);

// Serves the events that are waiting now.
void ServeEvents();

// Message boxes a window showed, answered with `answer` without a person.
struct RecordedBoxes {
    std::vector<launcher::MessageBoxRequest> shown;
    bool answer = true;
    // Runs inside the box, while it is "open", before it answers.
    std::function<void()> whileOpen;

    std::function<bool(const launcher::MessageBoxRequest&)> Seam();
};

// The window with the update run left to the test, which makes the host's reports itself.
class DrivenDialog : public launcher::CUpgradeLauncherDlg {
public:
    void StartUpdateRun() override { ++runsStarted; }
    int runsStarted = 0;
};

// The control with numeric id `id` of `window`, or null.
template <typename Widget = QWidget>
Widget* ControlOf(const QWidget& window, int id) {
    return window.findChild<Widget*>(QString::number(id));
}

// The text of a label or button.
std::string TextOf(const QWidget& window, int id);

// An installation for the window: the machine hive holds the game id "skyreach-eu" and the
// game language "english", the settings name the fixture game (installed beside the test as
// skyreach.exe), and every game start is recorded.
class LauncherDialogTest : public IsolatedTest {
protected:
    LauncherDialogTest();
    ~LauncherDialogTest() override;

    static void SetMachineValue(const std::string& path, const std::string& name,
                                const std::string& text);
    static void RemoveMachineValue(const std::string& path, const std::string& name);

    // A window whose boxes boxes_ answers, created and then enabled as the application does.
    template <typename Dialog = DrivenDialog>
    std::unique_ptr<Dialog> CreateDialog() {
        auto dialog = std::make_unique<Dialog>();
        dialog->messageBox = boxes_.Seam();
        dialog->Create();
        dialog->setEnabled(true);
        return dialog;
    }

    // Every game this process started, once each has ended and written its record. Waits for
    // every child process: only for tests that start no other children.
    std::vector<FixtureStart> GameStarts();

    std::string recordPath_;
    RecordedBoxes boxes_;
};

}  // namespace tern_test
