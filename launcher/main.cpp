#include "launcher/upgrade_launcher_app.h"
#include "platform/debug_output.h"

int main(int argc, char** argv) {
    platform::IgnoreBrokenPipes();
    launcher::CUpgradeLauncherApp app(argc, argv);
    if (app.InitInstance()) app.Run();
    return app.ExitInstance();
}
