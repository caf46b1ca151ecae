#include "launcher/upgrade_launcher_app.h"

#include <utility>

#include "launcher/command_line.h"
#include "launcher/launcher_host.h"
#include "launcher/window_library.h"
#include "updatelib/base/debugger_stream.h"

namespace launcher {
namespace {

const char* const kInstanceEventName = "UpgradeLauncherUniqueInstance";
constexpr unsigned kInstanceWaitMs = 10;

}  // namespace

CUpgradeLauncherApp::CUpgradeLauncherApp(std::vector<std::string> arguments)
    : arguments_(std::move(arguments)) {}

CUpgradeLauncherApp::~CUpgradeLauncherApp() = default;

bool CUpgradeLauncherApp::InitInstance() {
    instanceLock_.Create(kInstanceEventName, true);
    // A failed wait counts as holding the lock: only a launcher that is seen running stops this
    // one.
    if (instanceLock_.Wait(kInstanceWaitMs) == platform::WaitResult::Timeout) return false;
    instanceLock_.Reset();

    host_ = std::make_unique<LauncherHost>(WindowLibraryFactory());
    ParseCommandLine(arguments_);
    host_->Create();
    return true;
}

void CUpgradeLauncherApp::Run() { host_->RunMainLoop(); }

int CUpgradeLauncherApp::ExitInstance() {
    instanceLock_.Close();
    host_.reset();
    ReleaseWindowLibrary();
    // The technical log's copies wait in the debugger stream for its next writer; there is none
    // after this.
    Tern::GetDebuggerStream().flush();
    return 0;
}

}  // namespace launcher
