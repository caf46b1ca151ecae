// The launcher's start-up decision from command line, hardware probe and the player's profile, one
// process per row, since the probe is found along the search path a process reads at its start.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <filesystem>
#include <optional>
#include <vector>

#include "launcher/launcher_config.h"
#include "platform/registry/registry_values.h"
#include "tests/support/child_process.h"
#include "tests/support/isolated_env.h"

namespace {

#ifdef _WIN32
const char kLibrarySearchPath[] = "PATH";
#else
const char kLibrarySearchPath[] = "LD_LIBRARY_PATH";
#endif

enum class Placed { File, Link, Fifo };

struct Case {
    const char* probe;  // directory below TERN_PROBE_DIR; "none" holds no probe
    std::optional<std::string> profile;
    std::vector<std::string> arguments;
    std::string decision;          // as parse_command_line_child prints it
    Placed placed = Placed::File;  // Link: the profile is a link to the file; Fifo: a FIFO
};

const std::string kPlain = TERN_GAME_BASE ".exe||1|";
const std::string kD3D11 = TERN_GAME_BASE "_d3d11.exe||1|";

std::string Gamer(const std::string& inside) {
    return "<GamerProfile>" + inside + "</GamerProfile>";
}
std::string UseD3D11(const std::string& value) {
    return Gamer("<RenderProfile UseD3D11=\"" + value + "\"/>");
}

std::vector<Case> Cases() {
    // Game arguments are cut after 1023 characters, never inside a UTF-8 sequence.
    const std::string a = std::string(1020, 'a') + " \xC3\xA9\xC3\xA9";
    const std::string b = std::string(1022, 'b') + "\xF0\x9F\x98\x80";
    const std::string game = TERN_GAME_BASE;  // the string table's
    const std::string cutA = game + ".exe|" + a + "|1|";
    std::vector<Case> cases = {
        {"none", {}, {}, kPlain},
        {"none", {}, {"-debug", "-foo"}, game + "_d.exe| -foo|1|"},
        {"none", {}, {"-offline"}, game + ".exe|-offline|0|"},
        {"none", {}, {"-nopatch", "My Games", "-x"}, game + ".exe| My Games -x|0|"},
        {"none", {}, {"-a", "-write_registry", "-b"}, game + ".exe|-a -b|1|bin\\" + game + ".exe"},
        {"none", {}, {"-release", "-debug"}, game + "_d.exe||1|"},
        {"none", {}, {"-retail", "-release"}, game + "_r.exe||1|"},
        {"none", {}, {"-retail"}, game + "_rt.exe||1|"},
        {"none", {}, {"-Debug"}, game + ".exe|-Debug|1|"},
        {"none", {}, {a.substr(0, 1020), a.substr(1021)}, cutA},
        {"none", {}, {a.substr(0, 1020), a.substr(1021) + "\xC3\xA9", "-x"}, cutA},
        {"none", {}, {b + "\xF0\x9F\x98\x80"}, game + ".exe|" + b + "|1|"},
        {"v10", {}, {}, kPlain},
        {"v11", {}, {}, kD3D11},
        {"v12", {}, {}, kD3D11},
        {"v11", {}, {"-retail"}, game + "_rt_d3d11.exe||1|"},
        {"v11", {}, {"-debug", "-retail"}, game + "_d_d3d11.exe||1|"},
        {"v11", UseD3D11("0"), {"-retail"}, game + "_rt.exe||1|"},
#ifndef _WIN32  // Wine makes no symbolic links, Windows no FIFOs
        {"v11", UseD3D11("0"), {}, kPlain, Placed::Link},
        {"v11", {}, {}, kD3D11, Placed::Fifo},  // opened for reading, it waits for a writer
#endif
        {"no_entry_point", {}, {}, kPlain},
        {"null_object", {}, {}, kPlain},
        {"null_record", {}, {}, kPlain},
    };
    // UseD3D11 reads as a number the way atoi does (4294967297 must not wrap to 1); only 1
    // allows. Missing or misplaced items allow, and so does a file that is not used at all:
    // malformed, or nested deep enough to overflow the stack of a recursive parser (here behind
    // what only looks like a declaration).
    const std::string render0 = "<RenderProfile UseD3D11=\"0\"/>";
    std::string deep;
    for (int i = 0; i < 349000; ++i) deep += "<a>";
    for (const std::string& profile :
         {UseD3D11("1"), UseD3D11("01"), UseD3D11("1x"), UseD3D11(" 1"), UseD3D11("+1"),
          UseD3D11("1.9"), UseD3D11(""), "<Profile>" + render0 + "</Profile>", Gamer(""),
          Gamer("<Audio UseD3D11=\"0\"/>"), Gamer("<RenderProfile Quality=\"0\"/>"),
          Gamer("<RenderProfile/>" + render0), Gamer("<Group>" + render0 + "</Group>"),
          "<GamerProfile>" + render0, std::string(), Gamer(render0 + "<?x>" + deep + "?>")}) {
        cases.push_back({"v11", profile, {}, kD3D11});
    }
    for (const std::string& profile :
         {UseD3D11("2"), UseD3D11("yes"), UseD3D11("-1"), UseD3D11("x1"), UseD3D11("0x1"),
          UseD3D11("4294967297"), Gamer("<Audio/>" + render0)}) {
        cases.push_back({"v11", profile, {}, kPlain});
    }
    return cases;
}

using CommandLineTest = tern_test::IsolatedTest;

TEST_F(CommandLineTest, DecisionTable) {
#ifdef _WIN32
    // The shell's folder follows no variable: the real one (Wine's prefix's), where no other
    // test writes.
    const std::string documents = platform::DocumentsDirectory();
#else
    // A documents folder far deeper than the desktop's 260-byte paths allowed.
    const std::string documents = tern_test::LongDirectory(env_.Root(), 1000);
    tern_test::WriteFileBytes(env_.ConfigHome() + "/user-dirs.dirs",
                              "XDG_DOCUMENTS_DIR=\"" + documents + "\"\n");
#endif
    const std::string profile = documents + "/My Games/" TERN_GAME_NAME "/GamerProfile.xml";
    for (const Case& expected : Cases()) {
        SCOPED_TRACE(std::string(expected.probe) + " " +
                     expected.profile.value_or("").substr(0, 90));
        std::filesystem::remove(profile);
        platform::WriteRegistryString(platform::Hive::CurrentUser, launcher::GameKeyPath(),
                                      "ExecutableName", "");
        const std::string written = expected.placed == Placed::Link ? env_.Root() + "/p" : profile;
        if (expected.profile) tern_test::WriteFileBytes(written, *expected.profile);
        if (expected.placed == Placed::Link) std::filesystem::create_symlink(written, profile);
#ifndef _WIN32
        ASSERT_TRUE(expected.placed != Placed::Fifo || mkfifo(profile.c_str(), 0600) == 0);
#endif
        std::vector<std::string> argv{TERN_PARSE_CHILD};
        argv.insert(argv.end(), expected.arguments.begin(), expected.arguments.end());
        const tern_test::ChildResult child = tern_test::RunChild(
            argv, {{{kLibrarySearchPath, std::string(TERN_PROBE_DIR) + "/" + expected.probe}}});
        EXPECT_EQ(child.exitCode, 0) << child.standardError;
        EXPECT_EQ(child.standardOutput, expected.decision);
    }
    std::filesystem::remove(profile);
}

}  // namespace
