#include "updatelib/engine/update_state_store.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/registry.h"
#include "tests/support/isolated_env.h"
#include "updatelib/host/diagnostic_channel.h"

namespace {

using platform::Hive;
using platform::RegistryKey;
using platform::RegistryValue;
using Tern::TargetId;
using Tern::UpdateFileState;
using Tern::UpdateStateStore;
using tern_test::FileExists;
using tern_test::WriteFileBytes;

const char kKeyPath[] = "Software\\Norland\\Skyreach";
const char kFilesKeyPath[] = "Software\\Norland\\Skyreach\\UpdateFiles";

class UpdateStateStoreTest : public tern_test::IsolatedTest {
protected:
    UpdateStateStoreTest() : savedDiagnostics_(&Tern::LibraryDiagnostics()) {
        Tern::LibraryChannel().SetDiagnosticStream(&diagnostics_);
    }
    ~UpdateStateStoreTest() override {
        Tern::LibraryChannel().SetDiagnosticStream(savedDiagnostics_);
    }

    // A file that exists, named after `name`, in the test's temporary directory.
    std::string ExistingFile(const std::string& name) {
        const std::string path = env_.TempDir() + name;
        WriteFileBytes(path, "patch bytes");
        return path;
    }
    std::string MissingFile(const std::string& name) { return env_.TempDir() + name; }

    static void SetString(Hive hive, const std::string& keyPath, const std::string& name,
                          const std::string& text) {
        RegistryKey key;
        ASSERT_EQ(RegistryKey::Create(hive, keyPath, &key), platform::kRegSuccess);
        ASSERT_EQ(key.SetString(name, text), platform::kRegSuccess);
    }
    static void SetFilesValue(const std::string& name, const std::string& text) {
        SetString(Hive::CurrentUser, kFilesKeyPath, name, text);
    }

    // Names of the values of the UpdateFiles key, in order; empty when the key is missing.
    static std::vector<std::string> StoredNames(const std::string& keyPath = kFilesKeyPath) {
        std::vector<std::string> names;
        RegistryKey key;
        if (RegistryKey::Open(Hive::CurrentUser, keyPath, &key) != platform::kRegSuccess) {
            return names;
        }
        std::string name;
        RegistryValue value;
        for (size_t i = 0; key.EnumValue(i, &name, &value, 256, 4096) == platform::kRegSuccess;
             ++i) {
            names.push_back(name);
        }
        return names;
    }
    static std::string StoredText(const std::string& name,
                                  const std::string& keyPath = kFilesKeyPath) {
        RegistryKey key;
        RegistryValue value;
        if (RegistryKey::Open(Hive::CurrentUser, keyPath, &key) != platform::kRegSuccess ||
            key.QueryValue(name, &value, 4096) != platform::kRegSuccess) {
            return "<missing>";
        }
        return value.data;
    }
    static bool FilesKeyExists() {
        RegistryKey key;
        return RegistryKey::Open(Hive::CurrentUser, kFilesKeyPath, &key) == platform::kRegSuccess;
    }

    std::vector<UpdateFileState> Load() {
        UpdateStateStore store;
        store.Open(kKeyPath);
        return store.Records();
    }

    std::ostringstream diagnostics_;

private:
    std::ostream* savedDiagnostics_;
};

::testing::AssertionResult IsRecord(const UpdateFileState& record, const TargetId& target,
                                    const std::string& path, int32_t state) {
    if (record.target == target && record.path == path && record.state == state) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure()
           << record.target.ToText() << " '" << record.path << "' state " << record.state;
}

// --- Load ---

TEST_F(UpdateStateStoreTest, LoadAcceptsKnownPrefixesInEitherCase) {
    const std::string upper = ExistingFile("upper.exe");
    const std::string lower = ExistingFile("lower.exe");
    const std::string partial = ExistingFile("partial.exe");
    SetFilesValue("Patch", "E " + upper);
    SetFilesValue("Game_x", "e " + lower);
    SetFilesValue("a_b_c", "r " + partial);

    const std::vector<UpdateFileState> records = Load();
    ASSERT_EQ(records.size(), 3u);
    EXPECT_TRUE(IsRecord(records[0], TargetId("Patch", "all", "all"), upper, 1));
    EXPECT_TRUE(IsRecord(records[1], TargetId("Game", "all", "x"), lower, 1));
    EXPECT_TRUE(IsRecord(records[2], TargetId("a", "b", "c"), partial, 2));
    EXPECT_EQ(diagnostics_.str(), "Found stored update file state: " + upper +
                                      " state: 1 target: (Patch, all, all)\n"
                                      "Found stored update file state: " +
                                      lower +
                                      " state: 1 target: (Game, all, x)\n"
                                      "Found stored update file state: " +
                                      partial +
                                      " state: 2 target: (a, b, c)\n"
                                      "Registry lastError: 259\n");
}

TEST_F(UpdateStateStoreTest, LoadDeletesValuesWhoseFileCannotBeOpened) {
    const std::string directory = env_.TempDir() + "folder.exe";
    ASSERT_EQ(mkdir(directory.c_str(), 0700), 0);
    SetFilesValue("Patch", "E " + MissingFile("gone.exe"));
    SetFilesValue("Folder", "R " + directory);

    EXPECT_TRUE(Load().empty());
    EXPECT_TRUE(StoredNames().empty());
    EXPECT_TRUE(FilesKeyExists());
    EXPECT_EQ(diagnostics_.str(), "Registry lastError: 259\n");
}

TEST_F(UpdateStateStoreTest, LoadDeletesValuesWhoseFileIsReadOnly) {
    if (geteuid() == 0) GTEST_SKIP() << "root opens read-only files for writing";
    const std::string path = ExistingFile("readonly.exe");
    ASSERT_EQ(chmod(path.c_str(), 0400), 0);
    SetFilesValue("Patch", "E " + path);
    EXPECT_TRUE(Load().empty());
    EXPECT_TRUE(StoredNames().empty());
}

TEST_F(UpdateStateStoreTest, LoadVisitsEveryValueOnceWhileDeleting) {
    const std::string first = ExistingFile("first.exe");
    const std::string second = ExistingFile("second.exe");
    SetFilesValue("Gone1", "E " + MissingFile("m1"));
    SetFilesValue("Keep1", "E " + first);
    SetFilesValue("Gone2", "R " + MissingFile("m2"));
    SetFilesValue("Gone3", "E " + MissingFile("m3"));
    SetFilesValue("Keep2", "R " + second);
    SetFilesValue("Gone4", "E " + MissingFile("m4"));

    const std::vector<UpdateFileState> records = Load();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_TRUE(IsRecord(records[0], TargetId("Keep1", "all", "all"), first, 1));
    EXPECT_TRUE(IsRecord(records[1], TargetId("Keep2", "all", "all"), second, 2));
    EXPECT_EQ(StoredNames(), (std::vector<std::string>{"Keep1", "Keep2"}));
}

TEST_F(UpdateStateStoreTest, MalformedValuesAreLoggedAndKept) {
    const std::string path = ExistingFile("patch.exe");
    {
        RegistryKey key;
        ASSERT_EQ(RegistryKey::Create(Hive::CurrentUser, kFilesKeyPath, &key),
                  platform::kRegSuccess);
        ASSERT_EQ(key.SetDword("Counter", 7), platform::kRegSuccess);
    }
    SetFilesValue("Short", "E ");
    SetFilesValue("Unknown", "X " + path);

    EXPECT_TRUE(Load().empty());
    EXPECT_EQ(diagnostics_.str(), std::string("Key ") + kFilesKeyPath +
                                      "Counteris not of string type.\n" +
                                      "Invalid control string E , string is too small.\n"
                                      "Invalid update state X \n"
                                      "Registry lastError: 259\n");
    EXPECT_EQ(StoredNames(), (std::vector<std::string>{"Counter", "Short", "Unknown"}));
}

TEST_F(UpdateStateStoreTest, StartedUpdateRunsAgainOnlyWhileTheInstallationIdIsUnchanged) {
    const std::string path = ExistingFile("started.exe");
    SetFilesValue("Patch", "D " + path);
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

TEST_F(UpdateStateStoreTest, EmptyKeyPathUsesUpdateFilesUnderTheHiveRoot) {
    const std::string path = ExistingFile("patch.exe");
    {
        UpdateStateStore store;
        store.Open("");
        store.Store(TargetId("Patch", "all", "all"), path, Tern::FlaggedForExecution);
    }
    EXPECT_EQ(StoredText("Patch", "UpdateFiles"), "E " + path);

    UpdateStateStore reloaded;
    reloaded.Open("");
    ASSERT_EQ(reloaded.Records().size(), 1u);
    reloaded.DropFilesKey();
    RegistryKey key;
    EXPECT_EQ(RegistryKey::Open(Hive::CurrentUser, "UpdateFiles", &key), platform::kRegNotFound);
}

// --- Store, Lookup and removal ---

TEST_F(UpdateStateStoreTest, StoreReplacesTheRecordOfTheSameTarget) {
    UpdateStateStore store;
    store.Open(kKeyPath);
    const TargetId patch("Patch", "all", "all");
    store.Store(patch, "/tmp/a.exe", Tern::PartialDownload);
    store.Store(TargetId("Other", "x", "y"), "/tmp/o.exe", 7);
    store.Store(patch, "/tmp/b.exe", Tern::FlaggedForExecution);

    ASSERT_EQ(store.Records().size(), 2u);
    EXPECT_TRUE(IsRecord(store.Records()[0], patch, "/tmp/b.exe", 1));
    EXPECT_EQ(StoredText("Patch"), "E /tmp/b.exe");
    EXPECT_EQ(StoredText("Other_x_y"), "/tmp/o.exe");  // no prefix for an unknown state

    UpdateFileState found = Tern::PlaceholderFileState();
    ASSERT_TRUE(store.Lookup(patch, found));
    EXPECT_TRUE(IsRecord(found, patch, "/tmp/b.exe", 1));
    UpdateFileState untouched = Tern::PlaceholderFileState();
    EXPECT_FALSE(store.Lookup(TargetId("Patch", "all", "x"), untouched));
    EXPECT_TRUE(IsRecord(untouched, TargetId("invalidproduct", "all", "all"), "", 0));
}

TEST_F(UpdateStateStoreTest, WriteFilesValueInsertsOneSeparator) {
    Tern::WriteFilesValue(std::string(kKeyPath) + "\\", "Patch", "R /tmp/p.exe");
    Tern::WriteFilesValue(kKeyPath, "Patch_x", "R /tmp/q.exe");
    EXPECT_EQ(StoredNames(), (std::vector<std::string>{"Patch", "Patch_x"}));
    EXPECT_EQ(StoredText("Patch"), "R /tmp/p.exe");
}

TEST_F(UpdateStateStoreTest, RemoveStateRemovesAdjacentRecordsOfThatState) {
    UpdateStateStore store;
    store.Open(kKeyPath);
    store.Store(TargetId("A", "all", "all"), "/tmp/a", Tern::FlaggedForExecution);
    store.Store(TargetId("B", "all", "all"), "/tmp/b", Tern::FlaggedForExecution);
    store.Store(TargetId("C", "all", "all"), "/tmp/c", Tern::PartialDownload);
    store.Store(TargetId("D", "all", "all"), "/tmp/d", Tern::FlaggedForExecution);

    store.RemoveState(Tern::FlaggedForExecution);
    ASSERT_EQ(store.Records().size(), 1u);
    EXPECT_EQ(store.Records()[0].target.product, "C");
    EXPECT_EQ(StoredNames(), std::vector<std::string>{"C"});
}

TEST_F(UpdateStateStoreTest, DropFilesKeyKeepsRecordsAndTheUpdateKeyValues) {
    UpdateStateStore store;
    store.Open(kKeyPath);
    store.WriteUserValue("previousCRC", "e56491da");
    store.Store(TargetId("Patch", "all", "all"), "/tmp/p", Tern::PartialDownload);
    store.DropFilesKey();
    EXPECT_FALSE(FilesKeyExists());
    EXPECT_EQ(store.Records().size(), 1u);
    EXPECT_EQ(store.ReadUserValue("previousCRC"), "e56491da");
}

TEST_F(UpdateStateStoreTest, ForgetAllDeletesWaitingAndPartialFilesOnly) {
    const std::string started = ExistingFile("started.exe");
    const std::string waiting = ExistingFile("waiting.exe");
    const std::string partial = ExistingFile("partial.exe");
    UpdateStateStore store;
    store.Open(kKeyPath);
    store.Store(TargetId("A", "all", "all"), started, Tern::FlaggedForDeletion);
    store.Store(TargetId("B", "all", "all"), waiting, Tern::FlaggedForExecution);
    store.Store(TargetId("C", "all", "all"), partial, Tern::PartialDownload);

    store.ForgetAll();
    EXPECT_TRUE(FileExists(started));
    EXPECT_FALSE(FileExists(waiting));
    EXPECT_FALSE(FileExists(partial));
    EXPECT_TRUE(store.Records().empty());
    EXPECT_FALSE(FilesKeyExists());
}

// --- Single values ---

TEST_F(UpdateStateStoreTest, SingleValuesReadEmptyWhenMissingOrTooLong) {
    UpdateStateStore store;
    store.Open(kKeyPath);
    EXPECT_EQ(store.ReadUserValue("lastinfo"), "");
    EXPECT_EQ(store.ReadInstalledInfo(), "");

    store.WriteUserValue("lastinfo", "game-41");
    SetString(Hive::LocalMachine, kKeyPath, "info", "game-42");
    EXPECT_EQ(store.ReadUserValue("lastinfo"), "game-41");
    EXPECT_EQ(store.ReadInstalledInfo(), "game-42");
    EXPECT_EQ(store.ReadUserValue("info"), "");  // the installed id lives in the other hive

    store.WriteUserValue("fits", std::string(255, 'x'));
    store.WriteUserValue("too_long", std::string(256, 'x'));
    EXPECT_EQ(store.ReadUserValue("fits"), std::string(255, 'x'));
    EXPECT_EQ(store.ReadUserValue("too_long"), "");
}

}  // namespace
