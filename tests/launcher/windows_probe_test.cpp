// The Windows hardware probe (sysprobe.dll) through the interface the launcher uses.
#include <gtest/gtest.h>
#include <windows.h>

#include "platform/dynamic_library.h"
#include "tools/sysprobe/hardware_probe_abi.h"

namespace {

TEST(WindowsHardwareProbe, ReportsTheDirect3DFeatureLevelAndTheMachine) {
    platform::DynamicLibrary library;
    ASSERT_TRUE(library.Load("sysprobe.dll"));
    const auto entryPoint = reinterpret_cast<sysprobe::GetHardwareInstanceFunction>(
        library.Symbol(sysprobe::kEntryPointName));
    ASSERT_NE(entryPoint, nullptr);
    sysprobe::HardwareProbe* const probe = entryPoint();
    ASSERT_NE(probe, nullptr);
    EXPECT_EQ(probe->InterfaceVersion(), sysprobe::kInterfaceVersion);
    const bool detected = probe->Refresh();
    const sysprobe::HardwareCapabilities* const record = probe->Capabilities();
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record->recordSize, sizeof(sysprobe::HardwareCapabilities));
    // Without a display Wine's Direct3D has no device to offer: no level at all.
    const uint32_t level = record->direct3DVersion;
    EXPECT_TRUE(level == 0 || (level >= 9 && level <= 12)) << level;
    EXPECT_EQ(detected, level > 0);
    EXPECT_EQ(probe->GraphicsDriverCount(), level > 0 ? 1u : 0u);
    SYSTEM_INFO system;
    GetNativeSystemInfo(&system);
    MEMORYSTATUSEX memory{};
    memory.dwLength = sizeof memory;
    ASSERT_TRUE(GlobalMemoryStatusEx(&memory));
    EXPECT_EQ(record->processorCount, system.dwNumberOfProcessors);
    EXPECT_EQ(record->memoryMegabytes, memory.ullTotalPhys >> 20);
    EXPECT_EQ(probe->PhysicalMemoryBytes(), memory.ullTotalPhys);
}

}  // namespace
