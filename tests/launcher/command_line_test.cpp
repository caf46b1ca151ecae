#include "launcher/command_line.h"

#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <sstream>

#include "launcher/hardware_probe.h"
#include "platform/process.h"
#include "platform/unique_fd.h"
#include "tests/launcher/child_run.h"
#include "tests/support/isolated_env.h"

namespace {

// Probe libraries built for the tests, one directory each (see CMakeLists.txt).
const std::string kProbes = TERN_PROBE_DIR;
const std::string kVersion10 = kProbes + "/v10";
const std::string kVersion11 = kProbes + "/v11";
const std::string kVersion12 = kProbes + "/v12";
const std::string kNoEntryPoint = kProbes + "/no_entry_point";
const std::string kNullObject = kProbes + "/null_object";
const std::string kNullRecord = kProbes + "/null_record";
const std::string kNoProbe = kProbes + "/none";

struct Decision {
    std::string executableName;
    std::string startArguments;
    bool checkForUpdates = false;
    bool writeRegistry = false;
    std::string diagnostics;
};

class CommandLineTest : public tern_test::IsolatedTest {
protected:
    // The decision of a launcher started with `arguments` on a machine whose library search
    // path holds `probeDirectory`.
    Decision Decide(const std::vector<std::string>& arguments,
                    const std::string& probeDirectory = kNoProbe) {
        const tern_test::ChildOutput output = tern_test::RunChild(
            TERN_PARSE_CHILD, arguments, {{"LD_LIBRARY_PATH", probeDirectory}}, env_.Root());
        EXPECT_EQ(output.exitCode, 0) << output.standardError;
        Decision decision;
        std::istringstream lines(output.standardOutput);
        std::string check;
        std::string write;
        std::getline(lines, decision.executableName);
        std::getline(lines, decision.startArguments);
        std::getline(lines, check);
        std::getline(lines, write);
        decision.checkForUpdates = check == "1";
        decision.writeRegistry = write == "1";
        decision.diagnostics = output.standardError;
        return decision;
    }

    void WriteProfile(const std::string& useD3D11) {
        tern_test::WriteFileBytes(
            launcher::ProfilePath(),
            "<GamerProfile><RenderProfile UseD3D11=\"" + useD3D11 + "\"/></GamerProfile>");
    }
};

TEST_F(CommandLineTest, NoArgumentsStartThePlainGameAfterAnUpdateCheck) {
    const Decision decision = Decide({});
    EXPECT_EQ(decision.executableName, "skyreach.exe");
    EXPECT_EQ(decision.startArguments, "");
    EXPECT_TRUE(decision.checkForUpdates);
    EXPECT_FALSE(decision.writeRegistry);
}

TEST_F(CommandLineTest, ForwardedArgumentsGetASpaceUnlessTheyCameFirst) {
    Decision decision = Decide({"-debug", "-foo"});
    EXPECT_EQ(decision.executableName, "skyreach_d.exe");
    EXPECT_EQ(decision.startArguments, " -foo");
    EXPECT_TRUE(decision.checkForUpdates);

    decision = Decide({"-offline"});
    EXPECT_EQ(decision.executableName, "skyreach.exe");
    EXPECT_EQ(decision.startArguments, "-offline");
    EXPECT_FALSE(decision.checkForUpdates);

    decision = Decide({"-nopatch", "-x"});
    EXPECT_EQ(decision.startArguments, " -x");
    EXPECT_FALSE(decision.checkForUpdates);

    decision = Decide({"-a", "-write_registry", "-b"});
    EXPECT_EQ(decision.startArguments, "-a -b");
    EXPECT_TRUE(decision.writeRegistry);
}

TEST_F(CommandLineTest, FlavourOptionsAreExactAndRankedWhateverTheirOrder) {
    EXPECT_EQ(Decide({"-release", "-debug"}).executableName, "skyreach_d.exe");
    EXPECT_EQ(Decide({"-retail", "-release"}).executableName, "skyreach_r.exe");
    EXPECT_EQ(Decide({"-retail"}).executableName, "skyreach_rt.exe");

    const Decision decision = Decide({"-Debug"});
    EXPECT_EQ(decision.executableName, "skyreach.exe");
    EXPECT_EQ(decision.startArguments, "-Debug");
}

TEST_F(CommandLineTest, ArgumentWithABlankReachesTheGameAsTwoWords) {
    const Decision decision = Decide({"-nopatch", "My Games", "-x"});
    EXPECT_EQ(decision.startArguments, " My Games -x");
    EXPECT_EQ(platform::SplitCommandLine(decision.startArguments),
              (std::vector<std::string>{"My", "Games", "-x"}));
}

TEST_F(CommandLineTest, GameArgumentsAreCutAtTheLimitOnACharacterBoundary) {
    // 1020 + 1 + 2 characters fit, although the two accented letters take four bytes.
    const std::string fitting = std::string(1020, 'a') + " \xC3\xA9\xC3\xA9";
    Decision decision = Decide({std::string(1020, 'a'), "\xC3\xA9\xC3\xA9"});
    EXPECT_EQ(decision.startArguments, fitting);
    EXPECT_EQ(decision.diagnostics, "");

    decision = Decide({std::string(1020, 'a'), "\xC3\xA9\xC3\xA9\xC3\xA9", "-more"});
    EXPECT_EQ(decision.startArguments, fitting);
    EXPECT_EQ(decision.diagnostics,
              "Command line: game arguments of 1030 characters cut to 1023\n");

    // A four-byte sequence across the limit goes as a whole.
    const std::string emoji = "\xF0\x9F\x98\x80";
    decision = Decide({std::string(1022, 'b') + emoji + emoji});
    EXPECT_EQ(decision.startArguments, std::string(1022, 'b') + emoji);
}

TEST_F(CommandLineTest, Direct3D11VariantNeedsVersion11AndAnAllowingProfile) {
    EXPECT_EQ(Decide({}, kVersion11).executableName, "skyreach_d3d11.exe");
    EXPECT_EQ(Decide({}, kVersion12).executableName, "skyreach_d3d11.exe");
    EXPECT_EQ(Decide({"-retail"}, kVersion11).executableName, "skyreach_rt_d3d11.exe");
    EXPECT_EQ(Decide({"-debug", "-retail"}, kVersion11).executableName, "skyreach_d_d3d11.exe");

    WriteProfile("0");
    EXPECT_EQ(Decide({"-retail"}, kVersion11).executableName, "skyreach_rt.exe");
    WriteProfile("1");
    EXPECT_EQ(Decide({"-retail"}, kVersion11).executableName, "skyreach_rt_d3d11.exe");
}

TEST_F(CommandLineTest, ProfileIsNotOpenedOnADirect3D10Machine) {
    WriteProfile("1");
    const platform::UniqueFd watcher(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    ASSERT_TRUE(watcher.Valid());
    ASSERT_GE(inotify_add_watch(watcher.Get(), launcher::ProfilePath().c_str(), IN_OPEN), 0);
    const auto opened = [&] {
        alignas(inotify_event) char events[4096];
        return read(watcher.Get(), events, sizeof events) > 0;
    };

    EXPECT_EQ(Decide({}, kVersion10).executableName, "skyreach.exe");
    EXPECT_FALSE(opened());
    EXPECT_EQ(Decide({}, kVersion11).executableName, "skyreach_d3d11.exe");
    EXPECT_TRUE(opened());
}

TEST_F(CommandLineTest, UnusableProbeLibrariesMeanNoDirect3D11) {
    for (const std::string& probe : {kNoProbe, kNoEntryPoint, kNullObject, kNullRecord}) {
        EXPECT_EQ(Decide({"-release"}, probe).executableName, "skyreach_r.exe") << probe;
    }
}

}  // namespace
