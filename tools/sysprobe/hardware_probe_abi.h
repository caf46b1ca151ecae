// The binary interface of a hardware probe library (libsysprobe.so, sysprobe.dll): the entry point
// GetHardwareInstance returns the library's one HardwareProbe object, which stays valid until
// the library is unloaded and is never deleted by its caller.
//
// The layout is fixed across compilers and versions: the virtual operations occupy the table
// slots in the order declared here (no virtual destructor takes a slot), and the capability
// record consists of 32-bit fields. New operations and fields may only be appended.
#pragma once

#include <cstddef>
#include <cstdint>

namespace sysprobe {

struct HardwareCapabilities {
    uint32_t recordSize;       // sizeof(HardwareCapabilities) of the library that filled it
    uint32_t direct3DVersion;  // highest Direct3D feature level the graphics stack offers
    uint32_t processorCount;
    uint32_t memoryMegabytes;
};
static_assert(offsetof(HardwareCapabilities, direct3DVersion) == 4,
              "the Direct3D version is the record's second 32-bit field");

class HardwareProbe {
public:
    virtual uint32_t InterfaceVersion() const = 0;
    virtual const char* Name() const = 0;
    virtual uint32_t ProcessorCount() const = 0;
    virtual uint64_t PhysicalMemoryBytes() const = 0;
    virtual uint32_t GraphicsDriverCount() const = 0;
    // Detects the hardware again; false when the detection failed.
    virtual bool Refresh() = 0;
    // The seventh operation, the one the launcher calls. Null when nothing was detected.
    virtual const HardwareCapabilities* Capabilities() const = 0;

protected:
    ~HardwareProbe() = default;
};

constexpr uint32_t kInterfaceVersion = 1;
// The library's name without the system's prefix and ending (libsysprobe.so, sysprobe.dll).
constexpr const char* kLibraryName = "sysprobe";
constexpr const char* kEntryPointName = "GetHardwareInstance";

extern "C" {
using GetHardwareInstanceFunction = HardwareProbe* (*)();
}

}  // namespace sysprobe
