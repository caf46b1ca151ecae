#include "launcher/launch_settings.h"

namespace launcher {

LaunchSettings& Settings() {
    static LaunchSettings settings;
    return settings;
}

}  // namespace launcher
