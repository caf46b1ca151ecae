#include "launcher/upgrade_launcher_app.h"

int main(int argc, char** argv) {
    launcher::CUpgradeLauncherApp app(argc, argv);
    if (app.InitInstance()) app.Run();
    return app.ExitInstance();
}
