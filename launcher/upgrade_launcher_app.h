// The launcher application: the single-instance lock, start-up in its fixed order, the main loop,
// and the end of the process.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/named_event.h"

namespace launcher {

class LauncherHost;

class CUpgradeLauncherApp {
public:
    // Keeps the command line (the launcher first, UTF-8); nothing starts yet.
    explicit CUpgradeLauncherApp(std::vector<std::string> arguments);
    ~CUpgradeLauncherApp();
    CUpgradeLauncherApp(const CUpgradeLauncherApp&) = delete;
    CUpgradeLauncherApp& operator=(const CUpgradeLauncherApp&) = delete;

    // Takes the lock, decides what to start and makes the update host, which starts the update
    // run or the game. False only when another launcher holds the lock.
    bool InitInstance();
    // The main loop, until the launcher asks for its end.
    void Run();
    // Releases the lock and destroys the update host (and a window it made). Always 0: the
    // process's exit code on every path.
    int ExitInstance();

private:
    std::vector<std::string> arguments_;
    platform::NamedEvent instanceLock_;
    std::unique_ptr<LauncherHost> host_;
};

}  // namespace launcher
