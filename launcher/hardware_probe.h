// The facts behind the choice of the game's Direct3D 11 executable: the hardware probe library
// and the player's profile.
#pragma once

#include <cstddef>
#include <string>

namespace launcher {

// The longest profile path the launcher reads, in bytes; a longer one counts as no profile.
constexpr size_t kMaxProfilePathBytes = 259;

// Loads libsysprobe.so by name and asks it for its probe object. A missing library, entry point
// or object leaves the launcher without a probe, which reads as a machine without Direct3D 11.
void LoadHardwareProbe();
// Unloads the library; the probe object goes with it.
void UnloadHardwareProbe();

// Whether the loaded probe reports Direct3D 11 or higher.
bool HardwareSupportsD3D11();

// "<documents folder>//My Games//Skyreach//GamerProfile.xml"
std::string ProfilePath();

// Whether the player's profile allows Direct3D 11: attribute UseD3D11 of
// GamerProfile/RenderProfile, read as a decimal number like atoi, forbids it unless it is 1.
// A missing, unreadable or malformed file, a missing element or attribute, an empty text and a
// path longer than kMaxProfilePathBytes all allow it.
bool ProfileAllowsD3D11();

}  // namespace launcher
