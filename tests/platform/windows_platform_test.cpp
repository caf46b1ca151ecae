// The Windows realisation against the system itself; the cross build runs it under Wine.
#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include "platform/file.h"
#include "platform/files.h"
#include "platform/module_strings.h"
#include "platform/named_event.h"
#include "platform/process.h"
#include "platform/test_seams.h"
#include "platform/trust/trust_provider.h"
#include "tests/support/child_process.h"
#include "tests/support/isolated_env.h"

namespace {

namespace fs = std::filesystem;

class WindowsPlatform : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = platform::TempDirectory() + "tern-" + std::to_string(GetCurrentProcessId()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name();
        ASSERT_TRUE(platform::MakeDirectories(root_ + "\\sub\\dir"));
    }
    void TearDown() override { fs::remove_all(root_); }

    std::string Path(const std::string& name) const { return root_ + "\\" + name; }
    std::string Write(const std::string& name, const std::string& bytes) const {
        std::ofstream(Path(name), std::ios::binary) << bytes;
        return Path(name);
    }
    std::string InstallPeer(const std::string& name) const {
        fs::copy_file(platform::ExecutableDirectory() + "\\windows_peer.exe", Path(name));
        return Path(name);
    }

    std::string root_;
};

// windows_platform_test.rc gives id 7, in UTF-16 as every string resource.
TEST(WindowsModuleStrings, TextsComeInUtf8AndOnlyTheProgramsIds) {
    EXPECT_EQ(platform::LoadModuleString(7),
              "Gr\xc3\xb6\xc3\x9f"
              "e 5 \xe2\x82\xac");
    EXPECT_EQ(platform::LoadModuleString(8), "");
}

TEST_F(WindowsPlatform, FailuresKeepTheShellNumbers) {
    Write("text.exe", "not a program\r\n");
    const platform::File writer = platform::File::OpenForReadingAndWriting(InstallPeer("busy.exe"));
    ASSERT_TRUE(writer.Valid());
    const struct {
        const char* file;
        std::string directory;
        long result;
    } cases[] = {
        {"missing.exe", root_, platform::kOpenFileNotFound},
        {"missing.exe", root_ + "\\missing", platform::kOpenPathNotFound},
        {"bin\\missing.exe", root_, platform::kOpenPathNotFound},
        {"text.exe", root_, platform::kOpenBadFormat},
        {"busy.exe", root_, platform::kOpenSharingViolation},
    };
    for (const auto& expected : cases) {
        EXPECT_EQ(platform::OpenProgram(expected.file, "", expected.directory), expected.result)
            << expected.file;
    }
    EXPECT_EQ(platform::OpenProgramFile(writer, Path("busy.exe"), "", root_),
              platform::kOpenSharingViolation);
}

// The event's name travels through the parameters, blank and backslash included. Programs start
// in the test program's folder, which outlives the test (unlike its temporary folder): Wine lets
// go of a started program's working directory only a moment after the program ended.
TEST_F(WindowsPlatform, StartedProgramSharesTheEventAndHandsBackItsExitCode) {
    const std::string name = "tern test\\" + std::to_string(GetCurrentProcessId());
    platform::NamedEvent event;
    ASSERT_TRUE(event.Create(name, false));
    platform::Process started;
    ASSERT_EQ(platform::OpenProgram("windows_peer.exe", "set \"" + name + "\" 7",
                                    platform::ExecutableDirectory(), &started),
              platform::kOpenStarted);
    EXPECT_EQ(started.Wait(), 7);
    EXPECT_EQ(started.Wait(), -1);
    EXPECT_EQ(event.Wait(0), platform::WaitResult::Signaled);
    EXPECT_TRUE(platform::NamedEventExists(name));
    event.Close();
    EXPECT_FALSE(platform::NamedEventExists(name));
}

// The tests' own children get every argument as given, quotes and backslashes included.
TEST_F(WindowsPlatform, TestChildrenGetTheirArgumentsAndHandBackTheirExitCode) {
    const std::string name = "tern \\\"child\\\" \\" + std::to_string(GetCurrentProcessId());
    platform::NamedEvent event;
    ASSERT_TRUE(event.Create(name, false));
    tern_test::ChildProcess child(
        {platform::ExecutableDirectory() + "\\windows_peer.exe", "set", name, "7"});
    EXPECT_EQ(child.Wait(), 7);
    EXPECT_EQ(event.Wait(0), platform::WaitResult::Signaled);
}

// What follows the part a signature covers never runs, and while the checked file is open no
// other writer gets in.
TEST_F(WindowsPlatform, CheckedFileDeniesOtherWritersAndItsPrefixRuns) {
    const std::string program = InstallPeer("update.exe");
    const uint64_t size = fs::file_size(program);
    std::ofstream(program, std::ios::binary | std::ios::app) << "appended signature";
    platform::File file = platform::File::OpenForReadingAndWriting(program);
    ASSERT_TRUE(file.Valid());
    EXPECT_FALSE(platform::File::OpenForReadingAndWriting(program).Valid());
    EXPECT_FALSE(platform::File::OpenForWriting(program, true).Valid());
    platform::Process started;
    EXPECT_EQ(platform::OpenProgramFilePrefix(std::move(file), size, program, "set prefix 3",
                                              platform::ExecutableDirectory(), &started),
              platform::kOpenStarted);
    EXPECT_EQ(started.Wait(), 3);
    EXPECT_EQ(platform::FileSize(program), size);
}

TEST_F(WindowsPlatform, SystemFoldersAreUsableAndTempFilesUnique) {
    const std::string temp = platform::TempDirectory();
    ASSERT_FALSE(temp.empty());
    EXPECT_EQ(temp.back(), '\\');
    for (const std::string& directory :
         {temp, platform::RuntimeDirectory(), platform::ExecutableDirectory()}) {
        EXPECT_TRUE(platform::IsSafeUserDirectory(directory)) << directory;
    }
    EXPECT_EQ(platform::DocumentsDirectory().substr(1, 2), ":\\");
    EXPECT_TRUE(platform::AvailableDiskSpace(temp).has_value());
    std::set<std::string> paths;
    for (const std::string ending : {".exe", ".tmp", ".exe"}) {
        const std::string path = platform::CreateUniqueTempFile("vex", root_ + "\\", ending);
        ASSERT_EQ(path.rfind(root_ + "\\vex", 0), 0u) << path;
        EXPECT_EQ(path.substr(path.size() - 4), ending);
        EXPECT_EQ(platform::FileSize(path), 0u);
        paths.insert(path);
    }
    EXPECT_EQ(paths.size(), 3u);
}

TEST_F(WindowsPlatform, NoOpenFollowsALink) {
    const std::string target = Write("target", "untouched");
    const std::string link = Path("link");
    // Wine answers success without making one.
    if (!CreateSymbolicLinkA(link.c_str(), target.c_str(), 0) ||
        GetFileAttributesA(link.c_str()) == INVALID_FILE_ATTRIBUTES) {
        GTEST_SKIP() << "no symbolic links here";
    }
    EXPECT_FALSE(platform::File::OpenForReading(link).Valid());
    EXPECT_FALSE(platform::CanOpenForReadingAndWriting(link));
    EXPECT_FALSE(platform::File::OpenForWriting(link, false).Valid());
    EXPECT_EQ(platform::ReadRegularFile(link, 100, false), std::nullopt);
    EXPECT_EQ(platform::ReadRegularFile(link, 100, true), "untouched");
    EXPECT_EQ(platform::ReadRegularFile(target, 100, false), "untouched");
}

// Verifies `path` through an open file: the answer, its reason (part of the detail), the bytes
// to run, the release stamped for product Skyreach (0: none), and the position, which stays for
// the start of the very file checked.
void ExpectTrust(const std::string& path, const platform::TrustAnchors& anchors, uint32_t code,
                 const char* reason, uint32_t release) {
    SCOPED_TRACE(path);
    const platform::File file = platform::File::OpenForReadingAndWriting(path);
    char head[4] = {};
    ASSERT_EQ(file.Read(head, 2), 2);
    std::string detail;
    uint64_t payloadSize = 0;
    platform::ReleaseStamp stamp;
    EXPECT_EQ(platform::VerifyFileTrust(file, anchors, &detail, &payloadSize, &stamp), code)
        << detail;
    EXPECT_NE(detail.find(reason), std::string::npos) << detail;
    EXPECT_EQ(payloadSize, code == platform::kTrustOk ? fs::file_size(path) : 0);
    EXPECT_EQ(stamp.product, release ? "Skyreach" : "");
    EXPECT_EQ(stamp.release, release);
    ASSERT_EQ(file.Read(head + 2, 2), 2);
    std::string expected(4, '\0');
    std::ifstream(path, std::ios::binary).read(&expected[0], 4);
    EXPECT_EQ(std::string(head, 4), expected);
}

std::string SignedPrograms() { return platform::ExecutableDirectory() + "\\signed_programs\\"; }

// Copies of windows_peer signed at build time (make_signed_programs.sh), pinned to its test root
// unless said otherwise; releaseN.exe signed by tern-publish as a publisher does. Wine's provider
// does not check roots, so the pin alone shows that check.
TEST_F(WindowsPlatform, OnlyAStrictSignatureThroughThePinIsTrusted) {
    const std::string signedPrograms = SignedPrograms();
    const platform::TrustAnchors pin = platform::ReadPinnedAnchors(signedPrograms + "root.pem");
    ASSERT_EQ(pin.pinProblem, "");
    const std::string foreign =
        platform::ReadPinnedAnchors(signedPrograms + "foreign.pem").pinnedPem;
    const std::string damaged = "-----BEGIN CERTIFICATE-----\nAAAA\n-----END CERTIFICATE-----\n";
    const platform::TrustAnchors none = platform::OptionalPinAnchors(Path("missing.pem"));
    const platform::TrustAnchors empty = platform::ReadPinnedAnchors(Write("empty.pem", ""));
    const platform::TrustAnchors text = platform::ReadPinnedAnchors(Write("text.pem", "MZ"));
    const platform::TrustAnchors two =
        platform::ReadPinnedAnchors(Write("two.pem", foreign + pin.pinnedPem));
    const platform::TrustAnchors broken =
        platform::ReadPinnedAnchors(Write("broken.pem", pin.pinnedPem + damaged));
    const struct {
        const char* program;
        const platform::TrustAnchors& anchors;
        uint32_t code;
        const char* reason;    // part of the detail
        uint32_t release = 0;  // of the stamp
    } cases[] = {
        {"signed.exe", pin, platform::kTrustOk, ""},
        {"release1.exe", pin, platform::kTrustOk, "", 1},
        {"release2.exe", pin, platform::kTrustOk, "", 2},
        // TRUST_E_CERT_SIGNATURE: the signer's signature does not cover its attributes.
        {"stamp_changed.exe", pin, 0x80096004, "provider answered"},
        {"tampered.exe", pin, platform::kTrustBadDigest, "provider answered"},
        {"tampered.exe", none, platform::kTrustBadDigest, "provider answered"},
        {"unsigned.exe", none, platform::kTrustNoSignature, "not signed"},
        {"foreign_root.exe", pin, platform::kTrustUntrustedRoot, "no pinned"},
        {"wrong_usage.exe", pin, platform::kTrustWrongUsage, "code signing"},
        {"restricted_issuer.exe", pin, platform::kTrustWrongUsage, "other purposes"},
        {"expired.exe", pin, platform::kTrustExpired, "validity"},
        {"unauthenticated_attribute.exe", pin, platform::kTrustNoSignature, "unsigned attr"},
        {"stray_certificate.exe", pin, platform::kTrustNoSignature, "not on the signer's path"},
        {"sha1_digest.exe", pin, platform::kTrustNoSignature, "not SHA-256"},
        {"after_table.exe", pin, platform::kTrustNoSignature, "does not end the file"},
        {"inside_table.exe", pin, platform::kTrustNoSignature, "more than the signature"},
        {"signed.exe", two, platform::kTrustOk, ""},
        {"signed.exe", empty, platform::kTrustUntrustedRoot, "trust nothing"},
        {"signed.exe", text, platform::kTrustUntrustedRoot, "trust nothing"},
        {"signed.exe", broken, platform::kTrustUntrustedRoot, "trust nothing"},
    };
    for (const auto& c : cases) {
        ExpectTrust(signedPrograms + c.program, c.anchors, c.code, c.reason, c.release);
    }
    EXPECT_EQ(platform::VerifyFileTrust(Path("missing.exe"), pin), platform::kTrustFileNotFound);
    platform::ReleaseStamp stamp;
    EXPECT_EQ(platform::VerifyFileTrust(signedPrograms + "release2.exe", pin, nullptr, &stamp),
              platform::kTrustOk);
    EXPECT_EQ(stamp.release, 2u);
    // update_start_test starts the stamped ones through the update chain.
}

// Each test's isolated environment moves both hives below a key of its own.
class RegistryContract : public tern_test::IsolatedTest {
protected:
    void TearDown() override { platform::testing::AvoidRegDeleteKeyEx(false); }
};

}  // namespace

#include "tests/platform/registry_contract_tests.inc"

TEST_F(RegistryContract, KeysGoWithoutRegDeleteKeyExToo) {
    platform::testing::AvoidRegDeleteKeyEx(true);
    ExpectDeletedKeysAnswerSoAndKeysWithSubKeysStay();
}
