// The launcher's update host with its real window in the test program, offscreen, with the
// fixture game and the texts beside it. Reports come from threads of their own, as the engine's
// worker and the local update service make them, while this thread serves the host's calls and
// the window's events. A game start records itself at once.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <QApplication>
#include <QWidget>

#include "launcher/launch_settings.h"
#include "launcher/launcher_config.h"
#include "launcher/launcher_host.h"
#include "platform/registry/registry_values.h"
#include "tests/support/isolated_env.h"

namespace tern_test {

class QtEnvironment : public ::testing::Environment {
    void SetUp() override {
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
        application_ = std::make_unique<QApplication>(argc_, argv_);
    }
    void TearDown() override { application_.reset(); }
    int argc_ = 1;
    char name_[5] = "test";
    char* argv_[2] = {name_, nullptr};
    std::unique_ptr<QApplication> application_;
};
inline const auto* const qtEnvironment = ::testing::AddGlobalTestEnvironment(new QtEnvironment);

// The host with its update run left to the test, which makes the reports itself.
class DrivenHost : public launcher::LauncherHost {
public:
    using LauncherHost::LauncherHost;
    void StartUpdateRun() override {}
};

class LauncherDialogTest : public IsolatedTest {
protected:
    LauncherDialogTest() { Install(); }

    static void Install() {
        launcher::Settings() = launcher::LaunchSettings();
        launcher::Settings().executableName = TERN_GAME_BASE ".exe";
        launcher::Settings().writeRegistry = true;
        SetMachineValue(launcher::UpdateKeyPath(), "info", "game-eu");
        SetMachineValue(launcher::GameKeyPath(), "Language", "english");
    }
    static void SetMachineValue(const std::string& path, const std::string& name,
                                const std::string& text) {
        ASSERT_EQ(platform::WriteRegistryString(platform::Hive::LocalMachine, path, name, text), 0);
    }
    static bool RemoveValue(platform::Hive hive, const std::string& path, const std::string& name) {
        platform::RegistryKey key;
        return platform::RegistryKey::Open(hive, path, &key) == 0 && key.DeleteValue(name) == 0;
    }
    // Whether a game was started since the previous call.
    static bool TakeGameStart() {
        return RemoveValue(platform::Hive::CurrentUser, launcher::GameKeyPath(), "ExecutableName");
    }

    // A host with the window library linked in, whose boxes are recorded and answered "yes",
    // created as the application creates it.
    template <typename Host = launcher::LauncherHost>
    std::unique_ptr<Host> CreateHost() {
        auto host = std::make_unique<Host>([](launcher::WindowOwner& owner,
                                              const launcher::WindowTexts& texts) {
            return std::unique_ptr<launcher::LauncherWindow>(CreateLauncherWindow(&owner, &texts));
        });
        host->messageBox = [this](const launcher::MessageBoxRequest& request) {
            boxes_.push_back(request);
            if (whileBoxOpen_) whileBoxOpen_();
            return true;
        };
        host_ = host.get();
        host->Create();
        return host;
    }

    // The window, once the host made one.
    QWidget* Window() const { return dynamic_cast<QWidget*>(host_->Window()); }
    bool WindowShows() const { return Window() && Window()->isVisible(); }

    // Serves the host's calls and the window's events until `condition` holds (at most 30 s).
    bool ServeUntil(const std::function<bool()>& condition) {
        const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (!condition()) {
            if (std::chrono::steady_clock::now() > limit) return false;
            QCoreApplication::processEvents();
            host_->ServeMainThreadCalls();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return true;
    }

    // Runs `report` on a thread of its own and serves this thread until it has returned.
    void FromWorker(const std::function<void()>& report) {
        std::atomic<bool> done{false};
        std::thread worker([&] {
            report();
            done = true;
        });
        // A report that never returns would hang the join: end with a clear failure instead.
        if (!ServeUntil([&] { return done.load(); })) std::abort();
        worker.join();
    }

    launcher::LauncherHost* host_ = nullptr;
    std::vector<launcher::MessageBoxRequest> boxes_;
    std::function<void()> whileBoxOpen_;
};

}  // namespace tern_test
