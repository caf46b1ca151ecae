#include "platform/registry/registry.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/isolated_env.h"

extern char** environ;

namespace {

using platform::Hive;
using platform::RegistryKey;
using platform::RegistryValue;
using platform::ValueType;
using tern_test::ReadFileBytes;

const char kFilesKey[] = "Software\\Norland\\Skyreach\\GameUpdate\\UpdateFiles";
const char kHeader[] = "Windows Registry Editor Version 5.00\n";

// Same as in registry_child.
std::string LoopData(long i) { return "R /tmp/vex" + std::to_string(i) + std::string(64, 'x'); }

std::string UserHive() { return platform::HiveFilePath(Hive::CurrentUser); }

// Replaces the file by a new one (new inode), the way an editor or another tool would.
void ReplaceFile(const std::string& path, const std::string& bytes) {
    unlink(path.c_str());
    tern_test::WriteFileBytes(path, bytes);
}

struct stat StatOf(const std::string& path) {
    struct stat info {};
    EXPECT_EQ(stat(path.c_str(), &info), 0) << path;
    return info;
}

int64_t MtimeNs(const struct stat& info) {
    return static_cast<int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
}

std::string QueryString(const RegistryKey& key, const std::string& name) {
    RegistryValue value;
    const long result = key.QueryValue(name, &value, 4096);
    if (result != platform::kRegSuccess) return "<error " + std::to_string(result) + ">";
    if (value.type != ValueType::String) return "<not a string>";
    return value.data;
}

std::vector<std::string> ValueNames(const RegistryKey& key) {
    std::vector<std::string> names;
    std::string name;
    RegistryValue value;
    for (size_t i = 0; key.EnumValue(i, &name, &value, 256, 4096) == platform::kRegSuccess; ++i) {
        names.push_back(name);
    }
    return names;
}

// Starts the child helper; its stdout goes to `stdoutFd` when given.
pid_t SpawnChild(const std::vector<std::string>& arguments, int stdoutFd = -1) {
    std::vector<std::string> all{TERN_REGISTRY_CHILD};
    all.insert(all.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& argument : all) argv.push_back(argument.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (stdoutFd >= 0) posix_spawn_file_actions_adddup2(&actions, stdoutFd, STDOUT_FILENO);
    pid_t pid = -1;
    EXPECT_EQ(posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

int WaitForExit(pid_t pid) {
    int status = 0;
    EXPECT_EQ(waitpid(pid, &status, 0), pid);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Redirects standard error into a file for its lifetime; Text() answers what was written.
class StderrCapture {
public:
    explicit StderrCapture(const std::string& path) : path_(path) {
        saved_ = dup(STDERR_FILENO);
        const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(fd, STDERR_FILENO);
        close(fd);
    }
    ~StderrCapture() { Restore(); }
    std::string Text() {
        Restore();
        return ReadFileBytes(path_);
    }

private:
    void Restore() {
        if (saved_ < 0) return;
        dup2(saved_, STDERR_FILENO);
        close(saved_);
        saved_ = -1;
    }
    std::string path_;
    int saved_ = -1;
};

class RegistryTest : public tern_test::IsolatedTest {};

TEST_F(RegistryTest, HivesAreSeparateFilesUnderTheConfigDirectory) {
    const std::string directory = env_.ConfigHome() + "/tern/registry";
    EXPECT_EQ(UserHive(), directory + "/user.reg");
    EXPECT_EQ(platform::HiveFilePath(Hive::LocalMachine), directory + "/system.reg");

    RegistryKey machine, user;
    ASSERT_EQ(RegistryKey::Create(Hive::LocalMachine, "Software\\Norland", &machine), 0);
    ASSERT_EQ(RegistryKey::Create(Hive::CurrentUser, "Software\\Norland", &user), 0);
    ASSERT_EQ(machine.SetString("info", "machine"), 0);
    ASSERT_EQ(user.SetString("info", "user"), 0);
    EXPECT_EQ(QueryString(machine, "info"), "machine");
    EXPECT_EQ(QueryString(user, "info"), "user");
    EXPECT_EQ(ReadFileBytes(directory + "/system.reg"),
              std::string(kHeader) + "\n[HKEY_LOCAL_MACHINE\\Software]\n" +
                  "\n[HKEY_LOCAL_MACHINE\\Software\\Norland]\n\"info\"=\"machine\"\n");
    EXPECT_EQ(StatOf(directory).st_mode & 0777, 0700u);

    RegistryKey root;
    EXPECT_EQ(RegistryKey::Open(Hive::CurrentUser, "", &root), 0);
    EXPECT_EQ(RegistryKey::Open(Hive::CurrentUser, "Software\\Other", &root), 2);
    EXPECT_FALSE(root.IsOpen());
}

TEST_F(RegistryTest, OnlyRealChangesReplaceTheFile) {
    RegistryKey key;
    ASSERT_EQ(RegistryKey::Create(Hive::CurrentUser, kFilesKey, &key), 0);
    ASSERT_EQ(key.SetString("Patch", "R /tmp/vex1.tmp"), 0);
    ASSERT_EQ(key.SetDword("Count", 3), 0);
    const struct stat before = StatOf(UserHive());
    EXPECT_EQ(before.st_mode & 0777, 0600u);

    RegistryKey again;
    EXPECT_EQ(RegistryKey::Create(Hive::CurrentUser, kFilesKey, &again), 0);
    EXPECT_EQ(again.SetString("patch", "R /tmp/vex1.tmp"), 0);
    EXPECT_EQ(again.SetDword("Count", 3), 0);
    EXPECT_EQ(again.DeleteValue("Missing"), 2);
    EXPECT_EQ(again.DeleteSubKey("Missing"), 2);
    const struct stat unchanged = StatOf(UserHive());
    EXPECT_EQ(unchanged.st_ino, before.st_ino);
    EXPECT_EQ(MtimeNs(unchanged), MtimeNs(before));

    // The same text with another type is a change.
    ASSERT_EQ(again.SetBinary("Patch", "R /tmp/vex1.tmp"), 0);
    const struct stat changed = StatOf(UserHive());
    EXPECT_NE(changed.st_ino, before.st_ino);
    EXPECT_EQ(changed.st_mode & 0777, 0600u);
    RegistryValue value;
    ASSERT_EQ(key.QueryValue("Patch", &value, 100), 0);
    EXPECT_EQ(value.type, ValueType::Binary);
    EXPECT_FALSE(tern_test::FileExists(UserHive() + ".tmp"));
}

TEST_F(RegistryTest, NamesIgnoreCaseAndKeepTheCaseTheyWereCreatedWith) {
    RegistryKey key;
    ASSERT_EQ(RegistryKey::Create(Hive::CurrentUser, "Software\\Norland\\Skyreach", &key), 0);
    ASSERT_EQ(key.SetString("ExecutableName", "bin\\game"), 0);
    ASSERT_EQ(key.SetString("StartArguments", "-x"), 0);
    ASSERT_EQ(key.SetString("EXECUTABLENAME", "bin\\skyreach_d3d11.exe"), 0);

    RegistryKey other;
    ASSERT_EQ(
        RegistryKey::Create(Hive::CurrentUser, "SOFTWARE\\norland\\SKYREACH\\GameUpdate", &other),
        0);
    ASSERT_EQ(RegistryKey::Open(Hive::CurrentUser, "software\\NORLAND\\skyreach", &other), 0);
    EXPECT_EQ(QueryString(other, "executablename"), "bin\\skyreach_d3d11.exe");
    EXPECT_EQ(ValueNames(other), (std::vector<std::string>{"ExecutableName", "StartArguments"}));
    EXPECT_EQ(ReadFileBytes(UserHive()),
              std::string(kHeader) + "\n[HKEY_CURRENT_USER\\Software]\n" +
                  "\n[HKEY_CURRENT_USER\\Software\\Norland]\n" +
                  "\n[HKEY_CURRENT_USER\\Software\\Norland\\Skyreach]\n" +
                  "\"ExecutableName\"=\"bin\\\\skyreach_d3d11.exe\"\n" +
                  "\"StartArguments\"=\"-x\"\n" +
                  "\n[HKEY_CURRENT_USER\\Software\\Norland\\Skyreach\\GameUpdate]\n");
}

// What the hand-written file below holds, checked after reading it and after reading the file
// this code wrote back.
void ExpectHandWrittenValues() {
    RegistryKey key;
    ASSERT_EQ(RegistryKey::Open(Hive::CurrentUser, "Software\\Norland\\Skyreach\\GameUpdate", &key),
              0);
    EXPECT_EQ(ValueNames(key), (std::vector<std::string>{"", "Quote\"Back\\slash", "Count", "Blob",
                                                         "Expand", "Lines", "Long"}));
    EXPECT_EQ(QueryString(key, ""), "default");
    EXPECT_EQ(QueryString(key, "quote\"back\\SLASH"), "say \"hi\" C:\\games\\ \xC3\xA9");
    EXPECT_EQ(QueryString(key, "Lines"), "a\r\n\xC3\xA9\xF0\x9F\x8E\xAE");
    RegistryValue value;
    ASSERT_EQ(key.QueryValue("Count", &value, 4), 0);
    EXPECT_EQ(value.type, ValueType::Dword);
    EXPECT_EQ(value.data, std::string("\x2a\0\0\0", 4));
    ASSERT_EQ(key.QueryValue("Blob", &value, 100), 0);
    EXPECT_EQ(value.type, ValueType::Binary);
    EXPECT_EQ(value.data, std::string("\x00\x01\x02\x03\x04\x05\xfe\xff", 8));
    ASSERT_EQ(key.QueryValue("Expand", &value, 100), 0);
    EXPECT_EQ(static_cast<uint32_t>(value.type), 2u);
    EXPECT_EQ(value.data, std::string("%\0", 2));
    ASSERT_EQ(key.QueryValue("Long", &value, 100), 0);
    EXPECT_EQ(value.data, std::string(30, '\x11'));

    RegistryKey parent;
    ASSERT_EQ(RegistryKey::Open(Hive::CurrentUser, "Software\\Norland", &parent), 0);
    EXPECT_EQ(QueryString(parent, "Top"), "level");
}

TEST_F(RegistryTest, HandWrittenFileIsReadAndWrittenBackInTheSameFormat) {
    std::string longHex = "\"Long\"=hex:";
    for (int i = 0; i < 30; ++i) longHex += i == 15 ? "11,\\\r\n    " : i < 29 ? "11," : "11";
    tern_test::WriteFileBytes(
        UserHive(),
        "\xEF\xBB\xBFWindows Registry Editor Version 5.00\r\n"
        "\r\n"
        "; exported by hand\r\n"
        "[HKEY_CURRENT_USER\\Software\\Norland\\Skyreach\\GameUpdate]\r\n"
        "@=\"default\"\r\n"
        "\"Quote\\\"Back\\\\slash\"=\"say \\\"hi\\\" C:\\\\games\\\\ \xC3\xA9\"\r\n"
        "\"Count\"=dword:0000002A\r\n"
        "\"Blob\"=hex:00,01,02,03,\\\r\n"
        "  04,05,fe,FF\r\n"
        "\"Expand\"=hex(2):25,00\r\n"
        "\"Lines\"=hex(1):61,00,0d,00,0a,00,e9,00,3c,d8,ae,df,00,00\r\n" +
            longHex +
            "\r\n"
            "\r\n"
            "[hkey_current_user\\Software\\Norland]\r\n"
            "\"Top\"=\"level\"\r\n");
    ExpectHandWrittenValues();

    RegistryKey key;
    ASSERT_EQ(RegistryKey::Create(Hive::CurrentUser, "Software\\Norland", &key), 0);
    ASSERT_EQ(key.SetString("New", "x"), 0);
    const std::string written = ReadFileBytes(UserHive());
    EXPECT_EQ(written,
              "Windows Registry Editor Version 5.00\n"
              "\n"
              "[HKEY_CURRENT_USER\\Software]\n"
              "\n"
              "[HKEY_CURRENT_USER\\Software\\Norland]\n"
              "\"Top\"=\"level\"\n"
              "\"New\"=\"x\"\n"
              "\n"
              "[HKEY_CURRENT_USER\\Software\\Norland\\Skyreach]\n"
              "\n"
              "[HKEY_CURRENT_USER\\Software\\Norland\\Skyreach\\GameUpdate]\n"
              "@=\"default\"\n"
              "\"Quote\\\"Back\\\\slash\"=\"say \\\"hi\\\" C:\\\\games\\\\ \xC3\xA9\"\n"
              "\"Count\"=dword:0000002a\n"
              "\"Blob\"=hex:00,01,02,03,04,05,fe,ff\n"
              "\"Expand\"=hex(2):25,00\n"
              "\"Lines\"=hex(1):61,00,0d,00,0a,00,e9,00,3c,d8,ae,df,00,00\n"
              "\"Long\"=hex:11,11,11,11,11,11,11,11,11,11,11,11,11,11,11,11,11,11,11,11,11,11,\\\n"
              "  11,11,11,11,11,11,11,11\n");

    ReplaceFile(UserHive(), written);
    ExpectHandWrittenValues();

    // Bytes that are not UTF-8 survive the UTF-16 form strings with line breaks take.
    const std::string raw("\xff\0\n\xC3", 4);
    ASSERT_EQ(key.SetString("Raw", raw), 0);
    ReplaceFile(UserHive(), ReadFileBytes(UserHive()));
    EXPECT_EQ(QueryString(key, "Raw"), raw);
}

TEST_F(RegistryTest, BuffersMustHoldTheValueAndStringsCountTheirTerminator) {
    RegistryKey key;
    ASSERT_EQ(RegistryKey::Create(Hive::CurrentUser, kFilesKey, &key), 0);
    ASSERT_EQ(key.SetString("s", "abc"), 0);
    ASSERT_EQ(key.SetDword("d", 7), 0);
    ASSERT_EQ(key.SetBinary("b", "\x01\x02"), 0);
    ASSERT_EQ(key.SetString("e", ""), 0);

    RegistryValue value{ValueType::Binary, "untouched"};
    EXPECT_EQ(key.QueryValue("s", &value, 3), platform::kRegMoreData);
    EXPECT_EQ(value.data, "untouched");
    ASSERT_EQ(key.QueryValue("s", &value, 4), 0);
    EXPECT_EQ(value.type, ValueType::String);
    EXPECT_EQ(value.data, "abc");
    EXPECT_EQ(key.QueryValue("d", &value, 3), platform::kRegMoreData);
    EXPECT_EQ(key.QueryValue("d", &value, 4), 0);
    EXPECT_EQ(key.QueryValue("b", &value, 1), platform::kRegMoreData);
    EXPECT_EQ(key.QueryValue("b", &value, 2), 0);
    EXPECT_EQ(key.QueryValue("e", &value, 0), platform::kRegMoreData);
    EXPECT_EQ(key.QueryValue("e", &value, 1), 0);
    EXPECT_EQ(key.QueryValue("missing", &value, 100), platform::kRegNotFound);

    std::string name = "untouched";
    EXPECT_EQ(key.EnumValue(0, &name, &value, 1, 100), platform::kRegMoreData);
    EXPECT_EQ(key.EnumValue(0, &name, &value, 2, 3), platform::kRegMoreData);
    EXPECT_EQ(name, "untouched");
    ASSERT_EQ(key.EnumValue(0, &name, &value, 2, 4), 0);
    EXPECT_EQ(name, "s");
    EXPECT_EQ(value.data, "abc");
    EXPECT_EQ(key.EnumValue(3, &name, &value, 2, 1), 0);
    EXPECT_EQ(key.EnumValue(4, &name, &value, 256, 256), platform::kRegNoMoreItems);
}

// The walk of the update state loader: after deleting the value at an index it reads the same
// index again.
TEST_F(RegistryTest, EnumerationThatDeletesVisitsEveryValueOnce) {
    RegistryKey key;
    ASSERT_EQ(RegistryKey::Create(Hive::CurrentUser, kFilesKey, &key), 0);
    std::vector<std::string> created;
    for (int i = 0; i < 10; ++i) {
        created.push_back("v" + std::to_string(i));
        ASSERT_EQ(key.SetDword(created.back(), i), 0);
    }
    ASSERT_EQ(key.SetDword("v0", 4), 0);  // overwritten values keep their place

    std::vector<std::string> visited;
    size_t index = 0;
    std::string name;
    RegistryValue value;
    long result;
    while ((result = key.EnumValue(index, &name, &value, 256, 260)) == platform::kRegSuccess) {
        visited.push_back(name);
        if (value.data[0] % 2 == 0) {
            ASSERT_EQ(key.DeleteValue(name), 0);
        } else {
            ++index;
        }
    }
    EXPECT_EQ(result, platform::kRegNoMoreItems);
    EXPECT_EQ(visited, created);
    EXPECT_EQ(ValueNames(key), (std::vector<std::string>{"v1", "v3", "v5", "v7", "v9"}));
}

TEST_F(RegistryTest, DeletingKeys) {
    RegistryKey a, c, b;
    ASSERT_EQ(RegistryKey::Create(Hive::CurrentUser, "A\\B\\C", &c), 0);
    ASSERT_EQ(c.SetString("x", "1"), 0);
    ASSERT_EQ(RegistryKey::Open(Hive::CurrentUser, "A", &a), 0);
    ASSERT_EQ(RegistryKey::Open(Hive::CurrentUser, "A\\B", &b), 0);

    EXPECT_EQ(a.DeleteSubKey("B"), platform::kRegAccessDenied);
    EXPECT_EQ(a.DeleteSubKey("b\\c"), 0);
    EXPECT_EQ(c.QueryValue("x", nullptr, 0), platform::kRegInvalidParameter);
    RegistryValue value;
    EXPECT_EQ(c.QueryValue("x", &value, 100), platform::kRegKeyDeleted);
    EXPECT_EQ(c.SetString("x", "2"), platform::kRegKeyDeleted);
    RegistryKey reopened;
    EXPECT_EQ(RegistryKey::Open(Hive::CurrentUser, "A\\B\\C", &reopened), 2);
    EXPECT_EQ(a.DeleteSubKey("B"), 0);
    EXPECT_EQ(a.DeleteSubKey("B"), platform::kRegNotFound);

    // A key created again under the same name is not the deleted one.
    ASSERT_EQ(RegistryKey::Create(Hive::CurrentUser, "A\\B", &reopened), 0);
    EXPECT_EQ(b.SetString("y", "1"), platform::kRegKeyDeleted);
    EXPECT_EQ(reopened.SetString("y", "1"), 0);

    // Deleted by another process.
    const pid_t child = SpawnChild({"delete", "A", "B"});
    EXPECT_EQ(WaitForExit(child), 0);
    EXPECT_EQ(reopened.QueryValue("y", &value, 100), platform::kRegKeyDeleted);

    for (const char* bad : {"A\\\\B", "\\A", "A\\"}) {
        EXPECT_EQ(RegistryKey::Open(Hive::CurrentUser, bad, &reopened), 87) << bad;
        EXPECT_EQ(RegistryKey::Create(Hive::CurrentUser, bad, &reopened), 87) << bad;
    }
    EXPECT_EQ(a.DeleteSubKey(""), platform::kRegInvalidParameter);
    a.Close();
    a.Close();
    EXPECT_EQ(a.SetString("x", "1"), platform::kRegInvalidHandle);
    EXPECT_EQ(a.QueryValue("x", &value, 100), platform::kRegInvalidHandle);
}

TEST_F(RegistryTest, UnparsableHiveIsNeverOverwrittenAndReportedOncePerVersion) {
    const std::string header = "Windows Registry Editor Version 5.00\n\n";
    const struct {
        std::string text;
        int line;
    } bad[] = {
        {"REGEDIT4\n\n[HKEY_CURRENT_USER\\Software]\n", 1},
        {header + "[HKEY_LOCAL_MACHINE\\Software]\n", 3},
        {header + "[HKEY_CURRENT_USER\\Software]\n\"a\"=\"b\"\nnot a value\n", 5},
        {header + "[-HKEY_CURRENT_USER\\Software]\n", 3},
        {header + "[HKEY_CURRENT_USER\\Software]\n\n\"x\"=-\n", 5},
        {header + "[HKEY_CURRENT_USER\\Software]\n\"x\"=hex:01,zz\n", 4},
        {header + "[HKEY_CURRENT_USER\\Software]\n\"x\"=\"open\n", 4},
    };
    RegistryKey held;
    ASSERT_EQ(RegistryKey::Create(Hive::CurrentUser, "Software", &held), 0);
    ASSERT_EQ(held.SetString("kept", "yes"), 0);
    const std::string good = ReadFileBytes(UserHive());

    for (const auto& file : bad) {
        SCOPED_TRACE(file.text);
        ReplaceFile(UserHive(), file.text);
        StderrCapture capture(env_.Root() + "/stderr.txt");
        RegistryKey key;
        EXPECT_EQ(RegistryKey::Open(Hive::CurrentUser, "Software", &key), 2);
        EXPECT_EQ(RegistryKey::Create(Hive::CurrentUser, "Software", &key), 1015);
        EXPECT_EQ(RegistryKey::Create(Hive::CurrentUser, "Other", &key), 1015);
        RegistryValue value;
        EXPECT_EQ(held.QueryValue("kept", &value, 100), 2);
        EXPECT_EQ(held.SetString("a", "c"), 1015);
        EXPECT_EQ(held.DeleteValue("a"), 1015);
        EXPECT_EQ(held.DeleteSubKey("x"), 1015);
        const std::string text = capture.Text();
        EXPECT_EQ(ReadFileBytes(UserHive()), file.text);
        EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << text;
        EXPECT_NE(text.find(UserHive()), std::string::npos) << text;
        EXPECT_NE(text.find("line " + std::to_string(file.line)), std::string::npos) << text;
    }

    // Once repaired, the hive and the handles opened before are usable again.
    ReplaceFile(UserHive(), good);
    EXPECT_EQ(QueryString(held, "kept"), "yes");
    EXPECT_EQ(held.SetString("kept", "again"), 0);
}

TEST_F(RegistryTest, TwoProcessesWritingAtOnceLoseNothing) {
    const pid_t first = SpawnChild({"write", "a", "500"});
    const pid_t second = SpawnChild({"write", "b", "500"});
    EXPECT_EQ(WaitForExit(first), 0);
    EXPECT_EQ(WaitForExit(second), 0);

    RegistryKey key;
    ASSERT_EQ(RegistryKey::Open(Hive::CurrentUser, kFilesKey, &key), 0);
    EXPECT_EQ(ValueNames(key).size(), 1000u);
    for (const char* prefix : {"a", "b"}) {
        for (int i = 0; i < 500; ++i) {
            const std::string name = prefix + std::to_string(i);
            EXPECT_EQ(QueryString(key, name), std::string(prefix) + " data " + std::to_string(i));
        }
    }
}

TEST_F(RegistryTest, WriterKilledAtAnyMomentLeavesACompleteHive) {
    std::random_device seeder;
    const unsigned seed = seeder();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    std::set<long> acknowledged;
    long next = 0;
    for (int round = 0; round < 20; ++round) {
        int fds[2];
        ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
        const pid_t child = SpawnChild({"write-loop", std::to_string(next)}, fds[1]);
        close(fds[1]);
        FILE* reports = fdopen(fds[0], "r");
        const size_t wanted = 1 + random() % 20;
        long written = 0;
        for (size_t seen = 0; seen < wanted && fscanf(reports, "%ld", &written) == 1; ++seen) {
            acknowledged.insert(written);
        }
        usleep(random() % 3000);
        kill(child, SIGKILL);
        EXPECT_EQ(WaitForExit(child), -1);
        while (fscanf(reports, "%ld", &written) == 1) acknowledged.insert(written);
        fclose(reports);
        ASSERT_FALSE(acknowledged.empty());
        next = *acknowledged.rbegin() + 1;

        RegistryKey key;
        ASSERT_EQ(RegistryKey::Open(Hive::CurrentUser, kFilesKey, &key), 0) << "round " << round;
        for (long i : acknowledged)
            ASSERT_EQ(QueryString(key, "v" + std::to_string(i)), LoopData(i));
    }
}

TEST_F(RegistryTest, ThreadsShareAHive) {
    auto writer = [](const std::string& prefix) {
        for (int i = 0; i < 100; ++i) {
            RegistryKey key;
            ASSERT_EQ(RegistryKey::Create(Hive::CurrentUser, kFilesKey, &key), 0);
            ASSERT_EQ(key.SetString(prefix + std::to_string(i), prefix), 0);
            ASSERT_EQ(QueryString(key, prefix + std::to_string(i)), prefix);
        }
    };
    std::thread first(writer, "a");
    std::thread second(writer, "b");
    first.join();
    second.join();
    RegistryKey key;
    ASSERT_EQ(RegistryKey::Open(Hive::CurrentUser, kFilesKey, &key), 0);
    EXPECT_EQ(ValueNames(key).size(), 200u);
}

}  // namespace
