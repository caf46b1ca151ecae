// The facts behind the choice of the game's Direct3D 11 executable: the hardware probe library
// and the player's profile.
#pragma once

#include <string>

namespace launcher {

// Loads the probe library (libsysprobe.so, sysprobe.dll) by name and asks it for its probe object.
// A missing library, entry point or object leaves the launcher without a probe, which reads as a
// machine without Direct3D 11.
void LoadHardwareProbe();
// Unloads the library; the probe object goes with it.
void UnloadHardwareProbe();

// Whether the loaded probe reports Direct3D 11 or higher.
bool HardwareSupportsD3D11();

// "<documents folder>//My Games//<game name>//GamerProfile.xml"
std::string ProfilePath();

// Whether the player's profile allows Direct3D 11: attribute UseD3D11 of
// GamerProfile/RenderProfile, read as a decimal number like atoi, forbids it unless it is 1.
// A missing, unreadable, malformed, oversized or too deeply nested file, anything but a regular
// file (a FIFO is never waited for), a missing element or attribute and an empty text all allow
// it. A symbolic link there is the player's choice and is followed.
bool ProfileAllowsD3D11();

}  // namespace launcher
