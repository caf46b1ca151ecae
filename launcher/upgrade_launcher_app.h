// The launcher application: the single-instance lock, start-up in its fixed order, the message
// loop, and the end of the process.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/named_event.h"

class QApplication;

namespace launcher {

class CUpgradeLauncherDlg;

class CUpgradeLauncherApp {
public:
    // Keeps the command line; nothing starts yet.
    CUpgradeLauncherApp(int argc, char** argv);
    ~CUpgradeLauncherApp();
    CUpgradeLauncherApp(const CUpgradeLauncherApp&) = delete;
    CUpgradeLauncherApp& operator=(const CUpgradeLauncherApp&) = delete;

    // Takes the lock, decides what to start and creates the hidden window, which starts the
    // update run or the game. False only when another launcher holds the lock.
    bool InitInstance();
    // The message loop, until the window posts its quit request.
    void Run();
    // Releases the lock and destroys the window with its update host. Always 0: the process's
    // exit code on every path.
    int ExitInstance();

private:
    std::vector<std::string> arguments_;
    // Qt gets the program name only: every other argument belongs to the launcher and the game.
    int qtArgc_ = 1;
    char* qtArgv_[2];
    platform::NamedEvent instanceLock_;
    std::unique_ptr<QApplication> application_;
    std::unique_ptr<CUpgradeLauncherDlg> dialog_;
};

}  // namespace launcher
