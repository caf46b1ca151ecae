#include "launcher/upgrade_launcher_app.h"

#include <QApplication>

#include "launcher/command_line.h"
#include "launcher/upgrade_launcher_dlg.h"
#include "updatelib/base/debugger_stream.h"

namespace launcher {
namespace {

const char* const kInstanceEventName = "UpgradeLauncherUniqueInstance";
constexpr unsigned kInstanceWaitMs = 10;

}  // namespace

CUpgradeLauncherApp::CUpgradeLauncherApp(int argc, char** argv)
    : arguments_(argv, argv + argc),
      qtArgc_(argc > 0 ? 1 : 0),
      qtArgv_{argc > 0 ? argv[0] : nullptr, nullptr} {}

CUpgradeLauncherApp::~CUpgradeLauncherApp() = default;

bool CUpgradeLauncherApp::InitInstance() {
    instanceLock_.Create(kInstanceEventName, true);
    // A failed wait counts as holding the lock: only a launcher that is seen running stops this
    // one.
    if (instanceLock_.Wait(kInstanceWaitMs) == platform::WaitResult::Timeout) return false;
    instanceLock_.Reset();

    application_ = std::make_unique<QApplication>(qtArgc_, qtArgv_);
    // The window is hidden for most of a run and message boxes come and go: only the window's
    // quit request ends the loop.
    application_->setQuitOnLastWindowClosed(false);
    dialog_ = std::make_unique<CUpgradeLauncherDlg>();
    ParseCommandLine(arguments_);
    dialog_->Create();
    dialog_->setEnabled(true);
    return true;
}

void CUpgradeLauncherApp::Run() { application_->exec(); }

int CUpgradeLauncherApp::ExitInstance() {
    instanceLock_.Close();
    dialog_.reset();
    // The technical log's copies wait in the debugger stream for its next writer; there is none
    // after this.
    Tern::GetDebuggerStream().flush();
    return 0;
}

}  // namespace launcher
