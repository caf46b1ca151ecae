#include "updatelib/state/update_state_store.h"

#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "platform/registry/registry.h"
#include "platform/registry/registry_values.h"
#include "tests/support/isolated_env.h"
#include "tests/updatelib/update_test_support.h"
#include "updatelib/base/file_functions.h"

namespace {

using platform::Hive;
using platform::RegistryKey;
using platform::RegistryValue;
using Tern::TargetId;
using Tern::UpdateFileState;
using Tern::UpdateStateStore;
using tern_test::FileExists;
using tern_test::ReadFileBytes;
using tern_test::WriteFileBytes;

const char kKeyPath[] = "Software\\Norland\\Skyreach";
const char kFilesKeyPath[] = "Software\\Norland\\Skyreach\\UpdateFiles";

void SetString(Hive hive, const std::string& keyPath, const std::string& name,
               const std::string& text) {
    ASSERT_EQ(platform::WriteRegistryString(hive, keyPath, name, text), platform::kRegSuccess);
}

// Names of the values of the UpdateFiles key, in order.
std::vector<std::string> StoredNames() {
    std::vector<std::string> names;
    RegistryKey key;
    if (RegistryKey::Open(Hive::CurrentUser, kFilesKeyPath, &key) != platform::kRegSuccess) {
        return names;
    }
    std::string name;
    RegistryValue value;
    for (size_t i = 0; key.EnumValue(i, &name, &value, 256, 1 << 16) == platform::kRegSuccess;
         ++i) {
        names.push_back(name);
    }
    return names;
}

std::string StoredText(const std::string& name) {
    return platform::ReadRegistryText(Hive::CurrentUser, kFilesKeyPath, name, 1 << 16)
        .value_or("<missing>");
}

// How often the user's hive file was replaced while `action` ran.
int HiveReplacements(const std::string& configHome, const std::function<void()>& action) {
    const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    inotify_add_watch(watch, (configHome + "/tern/registry").c_str(), IN_MOVED_TO);
    action();
    int replacements = 0;
    alignas(inotify_event) char buffer[4096];
    for (ssize_t got; (got = read(watch, buffer, sizeof buffer)) > 0;) {
        for (char* p = buffer; p < buffer + got;) {
            const auto* event = reinterpret_cast<inotify_event*>(p);
            if (event->len && std::string(event->name) == "user.reg") ++replacements;
            p += sizeof(inotify_event) + event->len;
        }
    }
    close(watch);
    return replacements;
}

::testing::AssertionResult IsRecord(const UpdateFileState& record, const TargetId& target,
                                    const std::string& path, int32_t state) {
    if (record.target == target && record.path == path && record.state == state) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure()
           << record.target.ToText() << " '" << record.path << "' state " << record.state;
}

class UpdateStateStoreTest : public tern_test::IsolatedTest {
protected:
    // A download file, as this library names them, in the temporary directory.
    std::string Download(const std::string& name) {
        const std::string path = Temp() + "vex" + name + ".exe";
        WriteFileBytes(path, "patch bytes");
        return path;
    }
    std::string Temp() const { return Tern::GetTempDirectory(); }

    std::vector<UpdateFileState> Load() {
        UpdateStateStore store;
        store.Open(kKeyPath);
        return store.Records();
    }

    tern_test::CapturedDiagnostics diagnostics_;
};

// Stored records are hostile input: only the library's own downloads are ever acted on, and a
// walk over thousands of values is one change of the hive. The temporary directory is deeper
// than the desktop's path limit, as Linux allows.
TEST_F(UpdateStateStoreTest, LoadKeepsOnlyWellFormedRecordsOfOwnDownloads) {
    setenv("TMPDIR", tern_test::LongDirectory(env_.Root(), 600).c_str(), 1);
    const std::string upper = Download("upper");
    const std::string lower = Download("lower");
    const std::string partial = Download("partial");
    const std::string notes = env_.Root() + "/notes.txt";
    WriteFileBytes(notes, "the player's notes");
    const std::string link = Temp() + "vexlink.exe";
    ASSERT_EQ(symlink(notes.c_str(), link.c_str()), 0);
    ASSERT_EQ(mkdir((Temp() + "vexdir.exe").c_str(), 0700), 0);
    WriteFileBytes(Temp() + "sub/vexnested.exe", "x");
    WriteFileBytes(Temp() + "other.exe", "x");
    WriteFileBytes(Temp() + "vexinfo.tmp", "x");
    {
        RegistryKey key;
        ASSERT_EQ(RegistryKey::Create(Hive::CurrentUser, kFilesKeyPath, &key), 0);
        ASSERT_EQ(key.SetDword("Counter", 7), 0);
    }
    const struct {
        const char* name;
        std::string control;
    } values[] = {
        {"Outside", "R " + notes},
        {"Patch", "E " + upper},
        {"Link", "E " + link},
        {"Short", "E "},
        {"Directory", "R " + Temp() + "vexdir.exe"},
        {"Game_x", "e " + lower},
        {"Nested", "R " + Temp() + "sub/vexnested.exe"},
        {"Prefix", "D " + Temp() + "other.exe"},
        {"Ending", "D " + Temp() + "vexinfo.tmp"},
        {"Missing", "E " + Temp() + "vexgone.exe"},
        {"Unknown", "X " + partial},
        {"TooLong", "E " + std::string(5000, 'x')},
        {"a_b_c", "r " + partial},
        {"Dots", "R " + Temp() + "../tmp/vexpartial.exe"},
    };
    for (const auto& value : values) {
        SetString(Hive::CurrentUser, kFilesKeyPath, value.name, value.control);
    }

    std::vector<UpdateFileState> records;
    EXPECT_EQ(HiveReplacements(env_.ConfigHome(), [&] { records = Load(); }), 1);

    ASSERT_EQ(records.size(), 3u);
    EXPECT_TRUE(IsRecord(records[0], TargetId("Patch", "all", "all"), upper, 1));
    EXPECT_TRUE(IsRecord(records[1], TargetId("Game", "all", "x"), lower, 1));
    EXPECT_TRUE(IsRecord(records[2], TargetId("a", "b", "c"), partial, 2));
    EXPECT_EQ(StoredNames(), (std::vector<std::string>{"Counter", "Patch", "Short", "Game_x",
                                                       "Unknown", "TooLong", "a_b_c"}));
    EXPECT_EQ(ReadFileBytes(notes), "the player's notes");
    EXPECT_TRUE(FileExists(Temp() + "sub/vexnested.exe") && FileExists(Temp() + "other.exe"));
}

TEST_F(UpdateStateStoreTest, StartedUpdateRunsAgainOnlyWhileTheInstallationIdIsUnchanged) {
    SetString(Hive::CurrentUser, kFilesKeyPath, "Patch", "D " + Download("started"));
    const auto loadedState = [&] {
        const std::vector<UpdateFileState> records = Load();
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
    UpdateStateStore store;
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
    EXPECT_EQ(StoredText("Patch"), "E " + waiting);
    EXPECT_EQ(StoredText("E"), "/e");  // no prefix for an unknown state

    UpdateFileState found = Tern::PlaceholderFileState();
    ASSERT_TRUE(store.Lookup(patch, found));
    EXPECT_TRUE(IsRecord(found, patch, waiting, 1));
    UpdateFileState untouched = Tern::PlaceholderFileState();
    EXPECT_FALSE(store.Lookup(TargetId("Patch", "all", "x"), untouched));
    EXPECT_TRUE(IsRecord(untouched, TargetId("invalidproduct", "all", "all"), "", 0));

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
