#include "launcher/hardware_probe.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "platform/dynamic_library.h"
#include "tests/launcher/child_run.h"
#include "tests/support/isolated_env.h"
#include "tools/sysprobe/hardware_probe_abi.h"

namespace {

class ProfileTest : public tern_test::IsolatedTest {
protected:
    void WriteProfile(const std::string& xml) {
        tern_test::WriteFileBytes(launcher::ProfilePath(), xml);
    }
    bool AllowsWith(const std::string& useD3D11) {
        WriteProfile("<?xml version=\"1.0\"?>\n<GamerProfile>\n  <RenderProfile UseD3D11=\"" +
                     useD3D11 + "\" Quality=\"high\"/>\n</GamerProfile>\n");
        return launcher::ProfileAllowsD3D11();
    }
};

TEST_F(ProfileTest, LivesInTheDocumentsFolder) {
    EXPECT_EQ(launcher::ProfilePath(),
              std::string(getenv("HOME")) + "/Documents//My Games//Skyreach//GamerProfile.xml");
}

TEST_F(ProfileTest, UseD3D11AllowsOnlyANumberReadingAsOne) {
    for (const char* text : {"1", "01", "1x", " 1", "+1", "1.9", ""}) {
        EXPECT_TRUE(AllowsWith(text)) << '"' << text << '"';
    }
    // 4294967297 would wrap to 1 in a 32-bit reading without the saturation of atoi.
    for (const char* text : {"0", "2", "yes", "-1", "x1", "0x1", "4294967297"}) {
        EXPECT_FALSE(AllowsWith(text)) << '"' << text << '"';
    }
}

TEST_F(ProfileTest, MissingOrMisplacedItemsAllow) {
    EXPECT_TRUE(launcher::ProfileAllowsD3D11());  // no file

    const char* allowing[] = {
        "<Profile><RenderProfile UseD3D11=\"0\"/></Profile>",
        "<GamerProfile/>",
        "<GamerProfile><Audio UseD3D11=\"0\"/></GamerProfile>",
        "<GamerProfile><RenderProfile Quality=\"0\"/></GamerProfile>",
        "<GamerProfile><Group><RenderProfile UseD3D11=\"0\"/></Group></GamerProfile>",
        "<GamerProfile><RenderProfile/><RenderProfile UseD3D11=\"0\"/></GamerProfile>",
        "<GamerProfile><RenderProfile UseD3D11=\"0\"/>",  // malformed: not used at all
        "",
    };
    for (const char* xml : allowing) {
        WriteProfile(xml);
        EXPECT_TRUE(launcher::ProfileAllowsD3D11()) << xml;
    }

    WriteProfile("<GamerProfile><Audio/><RenderProfile UseD3D11=\"0\"/></GamerProfile>");
    EXPECT_FALSE(launcher::ProfileAllowsD3D11());
}

TEST_F(ProfileTest, DeepPathsAreReadAndDeepNestingIsRefusedUnparsed) {
    const std::string documents = tern_test::LongDirectory(env_.Root(), 1000);
    tern_test::WriteFileBytes(env_.ConfigHome() + "/user-dirs.dirs",
                              "XDG_DOCUMENTS_DIR=\"" + documents + "\"\n");
    WriteProfile("<GamerProfile><RenderProfile UseD3D11=\"0\"/></GamerProfile>");
    EXPECT_FALSE(launcher::ProfileAllowsD3D11());

    // Nesting like this overflows the stack of a recursive parser.
    std::string deep;
    for (int i = 0; i < 100000; ++i) deep += "<a>";
    WriteProfile("<GamerProfile><RenderProfile UseD3D11=\"0\"/>" + deep + "</GamerProfile>");
    EXPECT_TRUE(launcher::ProfileAllowsD3D11());
}

TEST(DynamicLibrary, LoadsLooksUpAndUnloads) {
    platform::DynamicLibrary library;
    EXPECT_FALSE(library.Load("libsysprobe-missing.so"));
    EXPECT_EQ(library.Symbol(sysprobe::kEntryPointName), nullptr);

    ASSERT_TRUE(library.Load(TERN_SYSPROBE_PATH));
    EXPECT_NE(library.Symbol(sysprobe::kEntryPointName), nullptr);
    EXPECT_EQ(library.Symbol("GetHardwareInterface"), nullptr);

    platform::DynamicLibrary moved(std::move(library));
    EXPECT_FALSE(library.Loaded());
    EXPECT_NE(moved.Symbol(sysprobe::kEntryPointName), nullptr);
    moved.Unload();
    EXPECT_FALSE(moved.Loaded());
    EXPECT_EQ(moved.Symbol(sysprobe::kEntryPointName), nullptr);
}

bool VulkanDriverInstalled() {
    for (const char* directory : {"/usr/share/vulkan/icd.d", "/etc/vulkan/icd.d"}) {
        std::error_code error;
        for (const auto& entry : std::filesystem::directory_iterator(directory, error)) {
            if (entry.path().extension() == ".json") return true;
        }
    }
    return false;
}

class SystemProbeTest : public tern_test::IsolatedTest {};

TEST_F(SystemProbeTest, ReportsDirect3D11WhenAVulkanDriverIsInstalled) {
    platform::DynamicLibrary library;
    ASSERT_TRUE(library.Load(TERN_SYSPROBE_PATH));
    const auto entryPoint = reinterpret_cast<sysprobe::GetHardwareInstanceFunction>(
        library.Symbol(sysprobe::kEntryPointName));
    ASSERT_NE(entryPoint, nullptr);
    sysprobe::HardwareProbe* probe = entryPoint();
    ASSERT_NE(probe, nullptr);
    EXPECT_TRUE(probe->Refresh());
    const sysprobe::HardwareCapabilities* record = probe->Capabilities();
    ASSERT_NE(record, nullptr);

    const bool vulkan = VulkanDriverInstalled();
    EXPECT_EQ(record->recordSize, sizeof(sysprobe::HardwareCapabilities));
    EXPECT_EQ(record->direct3DVersion, vulkan ? 11u : 10u);
    EXPECT_EQ(probe->GraphicsDriverCount() > 0, vulkan);
    EXPECT_EQ(probe->InterfaceVersion(), sysprobe::kInterfaceVersion);
    EXPECT_GE(record->processorCount, 1u);
    EXPECT_EQ(probe->ProcessorCount(), record->processorCount);
    EXPECT_EQ(probe->PhysicalMemoryBytes() >> 20, record->memoryMegabytes);

    // The launcher finds the library by its bare name along the library search path.
    const tern_test::ChildOutput output = tern_test::RunChild(
        TERN_PARSE_CHILD, {}, {{"LD_LIBRARY_PATH", TERN_SYSPROBE_DIR}}, env_.Root());
    EXPECT_EQ(output.standardOutput.substr(0, output.standardOutput.find('\n')),
              vulkan ? "skyreach_d3d11.exe" : "skyreach.exe");
}

}  // namespace
