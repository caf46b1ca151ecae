#include "updatelib/state/update_state_store.h"

#include <algorithm>
#include <filesystem>

#ifndef _WIN32
#include <unistd.h>
#endif

#include "tests/updatelib/update_test_support.h"
#include "updatelib/base/file_functions.h"

namespace tern_test {
namespace {

using platform::Hive;
using Tern::TargetId;

const char kKeyPath[] = "Software\\Norland\\Skyreach";
const char kFilesKeyPath[] = "Software\\Norland\\Skyreach\\UpdateFiles";

void SetString(Hive hive, const std::string& keyPath, const std::string& name,
               const std::string& text) {
    ASSERT_EQ(platform::WriteRegistryString(hive, keyPath, name, text), platform::kRegSuccess);
}

// Names of the values of the UpdateFiles key, sorted: Windows enumerates in an order of its own,
// and so the store loads.
std::vector<std::string> StoredNames() {
    std::vector<std::string> names;
    platform::RegistryKey key;
    platform::RegistryKey::Open(Hive::CurrentUser, kFilesKeyPath, &key);
    std::string name;
    platform::RegistryValue value;
    for (size_t i = 0; key.IsOpen() && key.EnumValue(i, &name, &value, 256, 1 << 16) == 0; ++i) {
        names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::string> Described(const std::vector<Tern::UpdateFileState>& records) {
    std::vector<std::string> texts;
    for (const Tern::UpdateFileState& record : records) {
        texts.push_back(record.target.ToText() + " " + std::to_string(record.state) + " " +
                        record.path);
    }
    std::sort(texts.begin(), texts.end());
    return texts;
}

// A target (a, b, "all") writes the same value name as (a, "all", b) and reads back as the latter.
TEST(TargetIdKeys, KeysAreWrittenAndReadBack) {
    const TargetId none("", "", "");
    const struct {
        TargetId target;
        std::string key;
        TargetId readBack;
    } cases[] = {
        {TargetId("Patch", "all", "all"), "Patch", TargetId("Patch", "all", "all")},
        {TargetId("a", "all", "c"), "a_c", TargetId("a", "all", "c")},
        {TargetId("a", "b", "c"), "a_b_c", TargetId("a", "b", "c")},
        {TargetId("a", "b", "all"), "a_b", TargetId("a", "all", "b")},
        {none, "a__b", TargetId("a", "all", "b")},
        {none, "_a_b_", TargetId("a", "all", "b")},
        {none, "a_b_c_d", none},
        {none, "___", none},
        {none, "", none},
    };
    for (const auto& c : cases) {
        EXPECT_TRUE(c.target == none || c.target.ToKey() == c.key) << c.key;
        EXPECT_EQ(TargetId::FromKey(c.key), c.readBack) << c.key;
    }
    EXPECT_NE(TargetId("Patch", "all", "all"), TargetId("patch", "all", "all"));
}

class UpdateStateStoreTest : public IsolatedTest {
protected:
    // A download file, as this library names them, in the temporary directory.
    std::string Download(const std::string& name) {
        const std::string path = Temp() + "vex" + name + ".exe";
        WriteFileBytes(path, "patch bytes");
        return path;
    }
    std::string Temp() const { return Tern::GetTempDirectory(); }

    std::vector<Tern::UpdateFileState> Load() {
        Tern::UpdateStateStore store;
        store.Open(kKeyPath);
        return store.Records();
    }

    CapturedDiagnostics diagnostics_;
};

// Stored records are hostile input: only the library's own downloads are ever acted on. On Linux
// the temporary directory is deeper than the desktop's path limit, and a link is planted (Wine
// makes none: there the link's record names a missing file).
TEST_F(UpdateStateStoreTest, LoadKeepsOnlyWellFormedRecordsOfOwnDownloads) {
#ifndef _WIN32
    SetVariable("TMPDIR", LongDirectory(env_.Root(), 600));
#endif
    const std::string upper = Download("upper");
    const std::string lower = Download("lower");
    const std::string partial = Download("partial");
    const std::string notes = env_.Root() + "/notes.txt";
    WriteFileBytes(notes, "the player's notes");
#ifndef _WIN32
    ASSERT_EQ(symlink(notes.c_str(), (Temp() + "vexlink.exe").c_str()), 0);
#endif
    ASSERT_TRUE(std::filesystem::create_directory(Temp() + "vexdir.exe"));
    const std::string nested = std::string("vexsub") + platform::kPathSeparator + "nested.exe";
    for (const std::string& name : {nested, std::string("other.exe"), std::string("vexinfo.tmp")}) {
        WriteFileBytes(Temp() + name, "x");
    }
    {
        platform::RegistryKey key;
        ASSERT_EQ(platform::RegistryKey::Create(Hive::CurrentUser, kFilesKeyPath, &key), 0);
        ASSERT_EQ(key.SetDword("Counter", 7), 0);
    }
    const std::pair<const char*, std::string> values[] = {
        {"Outside", "R " + notes},
        {"Patch", "E " + upper},
        {"Link", "E " + Temp() + "vexlink.exe"},
        {"Short", "E "},
        {"Directory", "R " + Temp() + "vexdir.exe"},
        {"Game_x", "e " + lower},
        {"Nested", "R " + Temp() + nested},
        {"Prefix", "D " + Temp() + "other.exe"},
        {"Ending", "D " + Temp() + "vexinfo.tmp"},
        {"Missing", "E " + Temp() + "vexgone.exe"},
        {"Unknown", "X " + partial},
        {"TooLong", "E " + std::string(5000, 'x')},
        {"a_b_c", "r " + partial},
        {"Dots", "R " + Temp() + "../tmp/vexpartial.exe"},
    };
    for (const auto& [name, control] : values) {
        SetString(Hive::CurrentUser, kFilesKeyPath, name, control);
    }

    EXPECT_EQ(Described(Load()),
              (std::vector<std::string>{"(Game, all, x) 1 " + lower, "(Patch, all, all) 1 " + upper,
                                        "(a, b, c) 2 " + partial}));
    EXPECT_EQ(StoredNames(), (std::vector<std::string>{"Counter", "Game_x", "Patch", "Short",
                                                       "TooLong", "Unknown", "a_b_c"}));
    EXPECT_EQ(ReadFileBytes(notes), "the player's notes");
    EXPECT_TRUE(FileExists(Temp() + nested) && FileExists(Temp() + "other.exe"));
}

TEST_F(UpdateStateStoreTest, StartedUpdateRunsAgainOnlyWhileTheInstallationIdIsUnchanged) {
    SetString(Hive::CurrentUser, kFilesKeyPath, "Patch", "D " + Download("started"));
    const auto loadedState = [&] {
        const std::vector<Tern::UpdateFileState> records = Load();
        return records.size() == 1 ? records[0].state : -1;
    };
    EXPECT_EQ(loadedState(), Tern::FlaggedForExecution) << "both values missing";
    SetString(Hive::LocalMachine, kKeyPath, "info", "game-41");
    EXPECT_EQ(loadedState(), Tern::FlaggedForDeletion) << "lastinfo missing";
    SetString(Hive::CurrentUser, kKeyPath, "lastinfo", "game-41");
    EXPECT_EQ(loadedState(), Tern::FlaggedForExecution) << "equal";
    SetString(Hive::LocalMachine, kKeyPath, "info", "game-42");
    EXPECT_EQ(loadedState(), Tern::FlaggedForDeletion) << "different";
}

TEST_F(UpdateStateStoreTest, RecordsAreStoredReplacedRemovedAndForgotten) {
    Tern::UpdateStateStore store;
    store.Open(kKeyPath);
    const TargetId patch("Patch", "all", "all");
    const std::string started = Download("started");
    const std::string waiting = Download("waiting");
    const std::string partial = Download("partial");
    store.Store(patch, "/old/path", Tern::PartialDownload);
    store.Store(patch, waiting, Tern::FlaggedForExecution);
    store.Store(TargetId("D", "all", "all"), "/d", Tern::FlaggedForExecution);
    store.Store(TargetId("B", "all", "all"), started, Tern::FlaggedForDeletion);
    store.Store(TargetId("C", "x", "y"), partial, Tern::PartialDownload);
    store.Store(TargetId("E", "all", "all"), "/e", 7);
    EXPECT_EQ(platform::ReadRegistryText(Hive::CurrentUser, kFilesKeyPath, "Patch", 4096),
              "E " + waiting);
    // No prefix for an unknown state.
    EXPECT_EQ(platform::ReadRegistryText(Hive::CurrentUser, kFilesKeyPath, "E", 4096), "/e");

    std::vector<Tern::UpdateFileState> found(2, Tern::PlaceholderFileState());
    ASSERT_TRUE(store.Lookup(patch, found[0]));
    EXPECT_FALSE(store.Lookup(TargetId("Patch", "all", "x"), found[1]));
    EXPECT_EQ(Described(found), (std::vector<std::string>{"(Patch, all, all) 1 " + waiting,
                                                          "(invalidproduct, all, all) 0 "}));

    // Adjacent records of the removed state both go.
    store.RemoveState(Tern::FlaggedForExecution);
    EXPECT_EQ(store.Records().size(), 3u);
    EXPECT_EQ(StoredNames(), (std::vector<std::string>{"B", "C_x_y", "E"}));

    store.Store(patch, waiting, Tern::FlaggedForExecution);
    store.ForgetAll();
    EXPECT_TRUE(FileExists(started));
    EXPECT_FALSE(FileExists(waiting) || FileExists(partial));
    EXPECT_TRUE(store.Records().empty());
    EXPECT_TRUE(StoredNames().empty());
}

}  // namespace
}  // namespace tern_test
