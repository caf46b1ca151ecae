#include "platform/registry/registry.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/isolated_env.h"

namespace {

using namespace std::string_literals;
using platform::RegistryKey;
using platform::RegistryValue;
using tern_test::ReadFileBytes;

constexpr platform::Hive kUser = platform::Hive::CurrentUser;
const char kFilesKey[] = "Software\\Norland\\Skyreach\\GameUpdate\\UpdateFiles";

// What peer_process writes under `name`.
std::string DataOf(const std::string& name) { return "R /tmp/" + name + std::string(64, 'x'); }

std::string UserHive() { return platform::HiveFilePath(kUser); }

// A new file (new inode) in place of the hive, the way an editor or another tool writes one.
void ReplaceHive(const std::string& bytes) {
    unlink(UserHive().c_str());
    tern_test::WriteFileBytes(UserHive(), bytes);
}

// Inode, modification time and permissions: a replaced or rewritten file differs.
std::tuple<ino_t, time_t, long, mode_t> HiveVersion() {
    struct stat info {};
    EXPECT_EQ(stat(UserHive().c_str(), &info), 0);
    return {info.st_ino, info.st_mtim.tv_sec, info.st_mtim.tv_nsec, info.st_mode & 0777};
}

// Every value of the key in order as "<name>=<type>:<data>\n", or why the key did not open.
std::string Dump(const std::string& path) {
    RegistryKey key;
    const long opened = RegistryKey::Open(kUser, path, &key);
    std::string dump = opened == platform::kRegSuccess ? "" : "error " + std::to_string(opened);
    std::string name;
    RegistryValue value;
    for (size_t i = 0; key.EnumValue(i, &name, &value, 256, 4096) == platform::kRegSuccess; ++i) {
        dump += name + "=" + std::to_string(static_cast<int>(value.type)) + ":" + value.data + "\n";
    }
    return dump;
}

class RegistryTest : public tern_test::IsolatedTest {};
using RegistryContract = RegistryTest;

TEST_F(RegistryTest, OnlyRealChangesReplaceTheFile) {
    RegistryKey key, again;
    ASSERT_EQ(RegistryKey::Create(kUser, kFilesKey, &key), 0);
    ASSERT_EQ(key.SetString("Patch", "R /tmp/vex1.tmp"), 0);
    ASSERT_EQ(key.SetDword("Count", 3), 0);
    const auto before = HiveVersion();
    EXPECT_EQ(RegistryKey::Create(kUser, kFilesKey, &again), 0);
    EXPECT_EQ(again.SetString("patch", "R /tmp/vex1.tmp"), 0);
    EXPECT_EQ(again.SetDword("Count", 3), 0);
    EXPECT_EQ(again.DeleteValue("Missing"), platform::kRegNotFound);
    EXPECT_EQ(again.DeleteSubKey("Missing"), platform::kRegNotFound);
    EXPECT_EQ(HiveVersion(), before);

    // The same text with another type is a change.
    ASSERT_EQ(again.SetBinary("Patch", "R /tmp/vex1.tmp"), 0);
    EXPECT_NE(HiveVersion(), before);
    EXPECT_EQ(std::get<3>(HiveVersion()), 0600u);
    EXPECT_EQ(Dump(kFilesKey), "Patch=3:R /tmp/vex1.tmp\nCount=4:\3\0\0\0\n"s);
}

TEST_F(RegistryTest, HandWrittenFileIsReadAndWrittenBackInTheSameFormat) {
    tern_test::WriteFileBytes(
        UserHive(),
        "\xEF\xBB\xBFWindows Registry Editor Version 5.00\r\n"
        "\r\n"
        "; exported by hand\r\n"
        "[hkey_current_user\\Software\\Norland\\Skyreach\\GameUpdate]\r\n"
        "@=\"default\"\r\n"
        "\"Quote\\\"Back\\\\slash\"=\"say \\\"hi\\\" C:\\\\games\\\\ \xC3\xA9\"\r\n"
        "\"Count\"=dword:0000002A\r\n"
        "\"Blob\"=hex:00,01,02,03,\\\r\n"
        "  04,05,fe,FF\r\n"
        "\"Expand\"=hex(2):25,00\r\n"
        "\"Lines\"=hex(1):61,00,0d,00,0a,00,e9,00,3c,d8,ae,df,00,00\r\n"
        "\"Long\"=hex:11,11,11,11,11,11,11,11,11,11,11,11,11,11,11,11,\\\r\n"
        "    11,11,11,11,11,11,11,11,11,11,11,11,11,11\r\n");
    const std::string game = "software\\NORLAND\\skyreach\\GameUpdate";
    const std::string values =
        "=1:default\n"
        "Quote\"Back\\slash=1:say \"hi\" C:\\games\\ \xC3\xA9\n"
        "Count=4:*\0\0\0\n"
        "Blob=3:\0\1\2\3\4\5\xfe\xff\n"
        "Expand=2:%\0\n"
        "Lines=1:a\r\n\xC3\xA9\xF0\x9F\x8E\xAE\n"
        "Long=3:"s +
        std::string(30, '\x11') + "\nNew=1:x\n";
    RegistryKey key;
    ASSERT_EQ(RegistryKey::Create(kUser, game, &key), 0);
    ASSERT_EQ(key.SetString("New", "x"), 0);
    EXPECT_EQ(Dump(game), values);
    EXPECT_EQ(ReadFileBytes(UserHive()),
              "Windows Registry Editor Version 5.00\n"
              "\n"
              "[HKEY_CURRENT_USER\\Software]\n"
              "\n"
              "[HKEY_CURRENT_USER\\Software\\Norland]\n"
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
              "  11,11,11,11,11,11,11,11\n"
              "\"New\"=\"x\"\n");

    // Read back, with bytes that are not UTF-8 in the UTF-16 form strings with line breaks take.
    ASSERT_EQ(key.SetString("Raw", "\xff\0\n\xC3"s), 0);
    ReplaceHive(ReadFileBytes(UserHive()));
    EXPECT_EQ(Dump(game), values + "Raw=1:\xff\0\n\xC3\n"s);
}

TEST_F(RegistryTest, UnparsableHiveIsNeverOverwritten) {
    const std::string header = "Windows Registry Editor Version 5.00\n\n";
    const std::string section = header + "[HKEY_CURRENT_USER\\Software]\n";
    // Each with the line its diagnostic names.
    const std::pair<std::string, std::string> bad[] = {
        {"[HKEY_CURRENT_USER\\Software]\n",
         "line 1: the first line is not \"Windows Registry Editor Version 5.00\""},
        {"REGEDIT4\n\n[HKEY_CURRENT_USER\\Software]\n", "line 1: "},
        {header + "[HKEY_LOCAL_MACHINE\\Software]\n", "line 3: "},
        {section + "\"a\"=\"b\"\nnot a value\n", "line 5: "},
        {section + "\"x\"=hex:01,zz\n", "line 4: "},
    };
    RegistryKey held;
    ASSERT_EQ(RegistryKey::Create(kUser, "Software", &held), 0);
    ASSERT_EQ(held.SetString("kept", "yes"), 0);
    const std::string good = ReadFileBytes(UserHive());
    for (const auto& [file, line] : bad) {
        SCOPED_TRACE(file);
        ReplaceHive(file);
        EXPECT_EQ(Dump("Software"), "error 2");
        EXPECT_EQ(held.SetString("a", "c"), platform::kRegCorrupt);
        EXPECT_EQ(held.DeleteValue("kept"), platform::kRegCorrupt);
        const tern_test::ChildResult writer =
            tern_test::RunChild({TERN_PEER_PROCESS, "write", "x", "0", "1"});
        EXPECT_EQ(writer.exitCode, 1);
        EXPECT_NE(writer.standardError.find("Registry hive " + UserHive() + ": " + line),
                  std::string::npos)
            << writer.standardError;
        EXPECT_EQ(ReadFileBytes(UserHive()), file);
    }
    // Once repaired, the hive and the handles opened before are usable again.
    ReplaceHive(good);
    EXPECT_EQ(held.SetString("kept", "again"), 0);
    EXPECT_EQ(Dump("Software"), "kept=1:again\n");
}

TEST_F(RegistryTest, ProcessesAndThreadsWritingAtOnceLoseNothing) {
    tern_test::ChildProcess first({TERN_PEER_PROCESS, "write", "a", "0", "100"});
    tern_test::ChildProcess second({TERN_PEER_PROCESS, "write", "b", "0", "100"});
    auto writer = [](const std::string& prefix) {
        for (int i = 0; i < 100; ++i) {
            const std::string name = prefix + std::to_string(i);
            RegistryKey key;
            ASSERT_EQ(RegistryKey::Create(kUser, kFilesKey, &key), 0);
            ASSERT_EQ(key.SetString(name, DataOf(name)), 0);
        }
    };
    std::thread third(writer, "c"), fourth(writer, "d");
    third.join();
    fourth.join();
    EXPECT_EQ(first.Wait(), 0);
    EXPECT_EQ(second.Wait(), 0);
    const std::string dump = Dump(kFilesKey);
    EXPECT_EQ(std::count(dump.begin(), dump.end(), '\n'), 400);
}

TEST_F(RegistryTest, WriterKilledAtAnyMomentLeavesACompleteHive) {
    const unsigned seed = std::random_device()();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    std::set<long> acknowledged;
    for (int round = 0; round < 20; ++round) {
        const long next = acknowledged.empty() ? 0 : *acknowledged.rbegin() + 1;
        tern_test::ChildProcess writer(
            {TERN_PEER_PROCESS, "write", "v", std::to_string(next), "0"});
        for (size_t wanted = 1 + random() % 20; wanted > 0; --wanted) {
            if (const auto line = writer.ReadLine()) acknowledged.insert(std::stol(*line));
        }
        usleep(random() % 3000);
        writer.Kill();
        while (const auto line = writer.ReadLine()) acknowledged.insert(std::stol(*line));

        const std::string dump = Dump(kFilesKey);
        for (const long i : acknowledged) {
            const std::string name = "v" + std::to_string(i);
            ASSERT_NE(dump.find(name + "=1:" + DataOf(name) + "\n"), std::string::npos) << round;
        }
    }
}

}  // namespace

#include "tests/platform/registry_contract_tests.inc"
