#include <utility>

#include "launcher/upgrade_launcher_app.h"
#include "platform/debug_output.h"
#include "platform/process.h"

int main(int argc, char** argv) {
    platform::IgnoreBrokenPipes();
    launcher::CUpgradeLauncherApp app(platform::ProgramArguments(argc, argv));
    if (app.InitInstance()) app.Run();
    return app.ExitInstance();
}
