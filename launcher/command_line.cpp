#include "launcher/command_line.h"

#include "launcher/hardware_probe.h"
#include "launcher/launch_settings.h"
#include "launcher/string_table.h"
#include "platform/debug_output.h"

namespace launcher {
namespace {

struct CommandLineOptions {
    bool debug = false;
    bool release = false;
    bool retail = false;
    bool skipUpdateCheck = false;
    bool writeRegistry = false;
};

// The probe is loaded only while the executable name is decided.
class HardwareProbeSession {
public:
    HardwareProbeSession() { LoadHardwareProbe(); }
    ~HardwareProbeSession() { UnloadHardwareProbe(); }
    HardwareProbeSession(const HardwareProbeSession&) = delete;
    HardwareProbeSession& operator=(const HardwareProbeSession&) = delete;
};

// Records what `argument` asks for; true when it goes to the game.
bool ApplyArgument(const std::string& argument, CommandLineOptions& options) {
    if (argument == "-debug") {
        options.debug = true;
    } else if (argument == "-release") {
        options.release = true;
    } else if (argument == "-retail") {
        options.retail = true;
    } else if (argument == "-nopatch") {
        options.skipUpdateCheck = true;
    } else if (argument == "-offline") {
        options.skipUpdateCheck = true;
        return true;
    } else if (argument == "-write_registry") {
        options.writeRegistry = true;
    } else {
        return true;
    }
    return false;
}

const char* FlavourSuffix(const CommandLineOptions& options) {
    if (options.debug) return "_d";
    if (options.release) return "_r";
    if (options.retail) return "_rt";
    return "";
}

bool IsContinuationByte(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

size_t CountCharacters(const std::string& text) {
    size_t characters = 0;
    for (const char c : text) characters += IsContinuationByte(c) ? 0 : 1;
    return characters;
}

// Cuts `text` after `limit` characters, never inside a UTF-8 sequence.
void CutToCharacters(std::string& text, size_t limit) {
    size_t characters = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (IsContinuationByte(text[i])) continue;
        if (characters == limit) {
            text.resize(i);
            return;
        }
        ++characters;
    }
}

void LimitStartArguments(std::string& arguments) {
    const size_t characters = CountCharacters(arguments);
    if (characters <= kMaxStartArgumentChars) return;
    CutToCharacters(arguments, kMaxStartArgumentChars);
    platform::WriteDebugOutput("Command line: game arguments of " + std::to_string(characters) +
                               " characters cut to " + std::to_string(kMaxStartArgumentChars) +
                               "\n");
}

}  // namespace

void ParseCommandLine(const std::vector<std::string>& arguments) {
    const HardwareProbeSession probe;
    CommandLineOptions options;
    std::string forwarded;
    for (size_t i = 1; i < arguments.size(); ++i) {
        if (!ApplyArgument(arguments[i], options)) continue;
        if (i != 1) forwarded += ' ';
        forwarded += arguments[i];
    }
    LimitStartArguments(forwarded);

    // The profile is consulted only on hardware that could use the Direct3D 11 executable.
    const bool useD3D11 = HardwareSupportsD3D11() && ProfileAllowsD3D11();
    LaunchSettings& settings = Settings();
    settings.checkForUpdates = !options.skipUpdateCheck;
    settings.writeRegistry = options.writeRegistry;
    settings.executableName =
        GameExecutableBase() + FlavourSuffix(options) + (useD3D11 ? "_d3d11.exe" : ".exe");
    settings.startArguments = std::move(forwarded);
}

}  // namespace launcher
