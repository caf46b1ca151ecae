// The hardware probe on Windows: the Direct3D feature level is the highest one that Direct3D 11
// grants a device on the default adapter's hardware driver.
#include <windows.h>

#include <d3d11.h>

#include <algorithm>
#include <iterator>

#include "tools/sysprobe/hardware_probe_abi.h"

namespace sysprobe {
namespace {

// Highest first. A Direct3D 11.0 runtime refuses the whole list (E_INVALIDARG) when it holds
// levels it does not know, so the probe asks again from 11.0 down.
const D3D_FEATURE_LEVEL kFeatureLevels[] = {
    D3D_FEATURE_LEVEL_12_1, D3D_FEATURE_LEVEL_12_0, D3D_FEATURE_LEVEL_11_1,
    D3D_FEATURE_LEVEL_11_0, D3D_FEATURE_LEVEL_10_1, D3D_FEATURE_LEVEL_10_0,
    D3D_FEATURE_LEVEL_9_3,  D3D_FEATURE_LEVEL_9_2,  D3D_FEATURE_LEVEL_9_1,
};
constexpr size_t kFirstDirect3D110Level = 3;

// The feature level's major version (11 for 11_1); 0 when no hardware device can be made.
uint32_t HighestDirect3DVersion() {
    for (const size_t first : {size_t{0}, kFirstDirect3D110Level}) {
        D3D_FEATURE_LEVEL level{};
        // Without a device to return, the call only reports the level it would create.
        const HRESULT result =
            D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr, 0, kFeatureLevels + first,
                              static_cast<UINT>(std::size(kFeatureLevels) - first),
                              D3D11_SDK_VERSION, nullptr, &level, nullptr);
        if (SUCCEEDED(result)) return static_cast<uint32_t>(level) >> 12;
        if (result != E_INVALIDARG) return 0;
    }
    return 0;
}

class SystemProbe final : public HardwareProbe {
public:
    SystemProbe() { Refresh(); }

    uint32_t InterfaceVersion() const override { return kInterfaceVersion; }
    const char* Name() const override { return "sysprobe (Direct3D 11 device)"; }
    uint32_t ProcessorCount() const override { return record_.processorCount; }
    uint64_t PhysicalMemoryBytes() const override { return memoryBytes_; }
    uint32_t GraphicsDriverCount() const override { return record_.direct3DVersion > 0 ? 1 : 0; }

    bool Refresh() override {
        SYSTEM_INFO system{};
        GetNativeSystemInfo(&system);
        MEMORYSTATUSEX memory{};
        memory.dwLength = sizeof memory;
        memoryBytes_ = GlobalMemoryStatusEx(&memory) ? memory.ullTotalPhys : 0;
        record_.recordSize = sizeof(HardwareCapabilities);
        record_.direct3DVersion = HighestDirect3DVersion();
        record_.processorCount = std::max<DWORD>(system.dwNumberOfProcessors, 1);
        record_.memoryMegabytes =
            static_cast<uint32_t>(std::min<uint64_t>(memoryBytes_ >> 20, UINT32_MAX));
        return record_.direct3DVersion > 0 && memoryBytes_ > 0;
    }

    const HardwareCapabilities* Capabilities() const override { return &record_; }

private:
    HardwareCapabilities record_{};
    uint64_t memoryBytes_ = 0;
};

}  // namespace
}  // namespace sysprobe

extern "C" __declspec(dllexport) sysprobe::HardwareProbe* GetHardwareInstance() {
    static sysprobe::SystemProbe probe;
    return &probe;
}
