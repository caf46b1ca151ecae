#include "launcher/hardware_probe.h"

#include <tinyxml.h>

#include <cstdlib>
#include <optional>

#include "launcher/string_table.h"
#include "platform/dynamic_library.h"
#include "platform/files.h"
#include "tools/sysprobe/hardware_probe_abi.h"
#include "updatelib/base/shallow_xml.h"

namespace launcher {
namespace {

constexpr uint32_t kDirect3D11 = 11;

struct LoadedProbe {
    platform::DynamicLibrary library;
    sysprobe::HardwareProbe* probe = nullptr;
};

// Start-up runs on the main thread only, so the one probe needs no guard.
LoadedProbe& TheProbe() {
    static LoadedProbe loaded;
    return loaded;
}

}  // namespace

void LoadHardwareProbe() {
    LoadedProbe& loaded = TheProbe();
    loaded.probe = nullptr;
    if (!loaded.library.Load(platform::LibraryFileName(sysprobe::kLibraryName))) return;
    const auto entryPoint = reinterpret_cast<sysprobe::GetHardwareInstanceFunction>(
        loaded.library.Symbol(sysprobe::kEntryPointName));
    if (entryPoint) loaded.probe = entryPoint();
}

void UnloadHardwareProbe() {
    LoadedProbe& loaded = TheProbe();
    loaded.probe = nullptr;
    loaded.library.Unload();
}

bool HardwareSupportsD3D11() {
    const sysprobe::HardwareProbe* probe = TheProbe().probe;
    if (!probe) return false;
    const sysprobe::HardwareCapabilities* capabilities = probe->Capabilities();
    return capabilities && capabilities->direct3DVersion >= kDirect3D11;
}

std::string ProfilePath() {
    return platform::DocumentsDirectory() + "//My Games//" + LoadResourceString(IDS_GAME_NAME) +
           "//GamerProfile.xml";
}

bool ProfileAllowsD3D11() {
    const std::string path = ProfilePath();
    const std::optional<std::string> text = Tern::ReadShallowXml(path, Tern::kProfileXmlLimits);
    if (!text) return true;
    TiXmlDocument document;
    document.Parse(text->c_str(), nullptr, TIXML_DEFAULT_ENCODING);
    if (document.Error()) return true;
    const TiXmlElement* gamerProfile = document.FirstChildElement("GamerProfile");
    const TiXmlElement* renderProfile =
        gamerProfile ? gamerProfile->FirstChildElement("RenderProfile") : nullptr;
    const char* useD3D11 = renderProfile ? renderProfile->Attribute("UseD3D11") : nullptr;
    if (!useD3D11 || *useD3D11 == '\0') return true;
    // strtol reads the text as atoi does, without atoi's undefined result for numbers out of
    // range; such a number is never 1.
    return std::strtol(useD3D11, nullptr, 10) == 1;
}

}  // namespace launcher
