#include "tests/launcher/dialog_test_support.h"

#include <sys/wait.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include <QApplication>
#include <QLabel>
#include <QPushButton>

#include "launcher/launch_settings.h"
#include "launcher/launcher_config.h"
#include "platform/registry/registry.h"
#include "platform/registry/registry_values.h"

namespace tern_test {
namespace {

constexpr std::chrono::seconds kPatience(30);

int applicationArgc = 1;
char applicationName[] = "launcher_dialog_test";
char* applicationArgv[] = {applicationName, nullptr};
std::unique_ptr<QApplication> application;

// Every test program that links this file runs its tests with the application.
const ::testing::Environment* const qtEnvironment =
    ::testing::AddGlobalTestEnvironment(new QtApplicationEnvironment);

}  // namespace

void QtApplicationEnvironment::SetUp() {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    application = std::make_unique<QApplication>(applicationArgc, applicationArgv);
    application->setQuitOnLastWindowClosed(false);
}

void QtApplicationEnvironment::TearDown() { application.reset(); }

void ServeEvents() { QCoreApplication::processEvents(); }

bool ServeEventsUntil(const std::function<bool()>& condition) {
    const auto limit = std::chrono::steady_clock::now() + kPatience;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > limit) return false;
        QCoreApplication::processEvents();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

void FromWorker(const std::function<void()>& report) {
    std::atomic<bool> done{false};
    std::thread worker([&] {
        report();
        done = true;
    });
    if (!ServeEventsUntil([&] { return done.load(); })) {
        std::fprintf(stderr, "A report never returned: the window's thread did not serve it.\n");
        std::abort();
    }
    worker.join();
}

std::function<bool(const launcher::MessageBoxRequest&)> RecordedBoxes::Seam() {
    return [this](const launcher::MessageBoxRequest& request) {
        shown.push_back(request);
        if (whileOpen) whileOpen();
        return answer;
    };
}

std::string TextOf(const QWidget& window, int id) {
    if (auto* label = ControlOf<QLabel>(window, id)) return label->text().toStdString();
    if (auto* button = ControlOf<QPushButton>(window, id)) return button->text().toStdString();
    return "<no text control " + std::to_string(id) + ">";
}

LauncherDialogTest::LauncherDialogTest() {
    launcher::Settings() = launcher::LaunchSettings();
    launcher::Settings().executableName = "skyreach.exe";
    recordPath_ = env_.Root() + "/game_starts";
    setenv("TERN_FIXTURE_RECORD", recordPath_.c_str(), 1);
    SetMachineValue(launcher::UpdateKeyPath(), "info", "skyreach-eu");
    SetMachineValue(launcher::GameKeyPath(), "Language", "english");
}

LauncherDialogTest::~LauncherDialogTest() { unsetenv("TERN_FIXTURE_RECORD"); }

void LauncherDialogTest::SetMachineValue(const std::string& path, const std::string& name,
                                         const std::string& text) {
    ASSERT_EQ(platform::WriteRegistryString(platform::Hive::LocalMachine, path, name, text), 0);
}

void LauncherDialogTest::RemoveMachineValue(const std::string& path, const std::string& name) {
    platform::RegistryKey key;
    ASSERT_EQ(platform::RegistryKey::Open(platform::Hive::LocalMachine, path, &key), 0);
    ASSERT_EQ(key.DeleteValue(name), 0);
}

std::vector<FixtureStart> LauncherDialogTest::GameStarts() {
    while (waitpid(-1, nullptr, 0) > 0) {
    }
    return ParseFixtureRecords(ReadFileBytes(recordPath_));
}

}  // namespace tern_test
