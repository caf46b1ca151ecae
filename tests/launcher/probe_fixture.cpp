// A hardware probe library for tests, reporting Direct3D version TERN_PROBE_VERSION or lacking,
// as a foreign library might, the GetHardwareInstance export (TERN_PROBE_NO_ENTRY_POINT), the
// probe object (TERN_PROBE_NULL_OBJECT) or the capability record (TERN_PROBE_NULL_RECORD).
#include "tools/sysprobe/hardware_probe_abi.h"

#ifdef TERN_PROBE_NO_ENTRY_POINT
#define TERN_PROBE_EXPORT GetHardwareInterface
#else
#define TERN_PROBE_EXPORT GetHardwareInstance
#endif
#ifdef _WIN32
#define TERN_PROBE_VISIBLE __declspec(dllexport)
#else
#define TERN_PROBE_VISIBLE __attribute__((visibility("default")))
#endif

namespace {

class FixedProbe final : public sysprobe::HardwareProbe {
public:
    uint32_t InterfaceVersion() const override { return sysprobe::kInterfaceVersion; }
    const char* Name() const override { return "fixture probe"; }
    uint32_t ProcessorCount() const override { return record_.processorCount; }
    uint64_t PhysicalMemoryBytes() const override { return uint64_t{8192} << 20; }
    uint32_t GraphicsDriverCount() const override { return 1; }
    bool Refresh() override { return true; }
#ifdef TERN_PROBE_NULL_RECORD
    const sysprobe::HardwareCapabilities* Capabilities() const override { return nullptr; }
#else
    const sysprobe::HardwareCapabilities* Capabilities() const override { return &record_; }
#endif

private:
    sysprobe::HardwareCapabilities record_{sizeof(sysprobe::HardwareCapabilities),
                                           TERN_PROBE_VERSION, 4, 8192};
};

}  // namespace

extern "C" TERN_PROBE_VISIBLE sysprobe::HardwareProbe* TERN_PROBE_EXPORT() {
#ifdef TERN_PROBE_NULL_OBJECT
    return nullptr;
#else
    static FixedProbe probe;
    return &probe;
#endif
}
