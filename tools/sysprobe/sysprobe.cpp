// The hardware probe: a machine offers Direct3D 11 class graphics when a Vulkan driver is
// installed, since the game's Direct3D 11 renderer runs on top of Vulkan.
#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

#include "tools/sysprobe/hardware_probe_abi.h"

namespace sysprobe {
namespace {

const char* const kDriverManifestDirectories[] = {"/usr/share/vulkan/icd.d", "/etc/vulkan/icd.d"};
constexpr uint32_t kVersionWithVulkanDriver = 11;
constexpr uint32_t kVersionWithoutVulkanDriver = 10;

struct DirectoryCloser {
    void operator()(DIR* directory) const { closedir(directory); }
};

bool IsManifestName(const char* name) {
    const size_t length = std::strlen(name);
    return length > 5 && std::strcmp(name + length - 5, ".json") == 0;
}

uint32_t CountManifests(const char* directoryPath) {
    const std::unique_ptr<DIR, DirectoryCloser> directory(opendir(directoryPath));
    if (!directory) return 0;
    uint32_t count = 0;
    while (const dirent* entry = readdir(directory.get())) {
        if (entry->d_type != DT_DIR && IsManifestName(entry->d_name)) ++count;
    }
    return count;
}

class SystemProbe final : public HardwareProbe {
public:
    SystemProbe() { Refresh(); }

    uint32_t InterfaceVersion() const override { return kInterfaceVersion; }
    const char* Name() const override { return "sysprobe (Vulkan driver manifests)"; }
    uint32_t ProcessorCount() const override { return record_.processorCount; }
    uint64_t PhysicalMemoryBytes() const override { return memoryBytes_; }
    uint32_t GraphicsDriverCount() const override { return driverCount_; }

    bool Refresh() override {
        driverCount_ = 0;
        for (const char* directory : kDriverManifestDirectories) {
            driverCount_ += CountManifests(directory);
        }
        const long processors = sysconf(_SC_NPROCESSORS_ONLN);
        const long pages = sysconf(_SC_PHYS_PAGES);
        const long pageSize = sysconf(_SC_PAGE_SIZE);
        memoryBytes_ = pages > 0 && pageSize > 0
                           ? static_cast<uint64_t>(pages) * static_cast<uint64_t>(pageSize)
                           : 0;
        record_.recordSize = sizeof(HardwareCapabilities);
        record_.direct3DVersion =
            driverCount_ > 0 ? kVersionWithVulkanDriver : kVersionWithoutVulkanDriver;
        record_.processorCount = processors > 0 ? static_cast<uint32_t>(processors) : 1;
        record_.memoryMegabytes =
            static_cast<uint32_t>(std::min<uint64_t>(memoryBytes_ >> 20, UINT32_MAX));
        return processors > 0 && memoryBytes_ > 0;
    }

    const HardwareCapabilities* Capabilities() const override { return &record_; }

private:
    HardwareCapabilities record_{};
    uint64_t memoryBytes_ = 0;
    uint32_t driverCount_ = 0;
};

}  // namespace
}  // namespace sysprobe

extern "C" __attribute__((visibility("default"))) sysprobe::HardwareProbe* GetHardwareInstance() {
    static sysprobe::SystemProbe probe;
    return &probe;
}
