// Starting downloaded updates: only a file of a trusted publisher runs, the very file that was
// checked, and it is waited for, recorded and cleaned up.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "platform/unique_fd.h"
#include "tests/support/child_process.h"
#include "tests/support/test_host.h"
#include "tests/support/test_pki.h"
#include "tests/updatelib/update_test_support.h"
#include "updatelib/base/adaptive_stream.h"
#include "updatelib/base/file_functions.h"
#include "updatelib/base/library_texts.h"
#include "updatelib/chain/update.h"
#include "updatelib/state/update_state_store.h"
#include "updatelib/transfer/trust_check.h"

namespace tern_test {
namespace {

using platform::Hive;

const Tern::TargetId kPatch("Patch", "all", "all");

// A patch that appends what it saw, its directory and its own size, to the file
// $TERN_PATCH_RECORD names; longer than one read of the signature check, so that its bytes stream
// in many pieces. No `exit` keeps the shell from the signature: only the payload may run.
std::string PatchScript(const std::string& name) {
    return "#!/bin/sh\n# " + std::string(70000, 'x') + "\necho \"" + name +
           " ran in $PWD from $(wc -c < \"$0\") bytes\" >> \"$TERN_PATCH_RECORD\"\n";
}

std::string Ran(const std::string& name) {
    return name + " ran in " + Tern::GetExecutableDirectory() + " from " +
           std::to_string(PatchScript(name).size()) + " bytes\n";
}

using TrustSink = std::function<void(const std::string&)>;

class UpdateStartTest : public IsolatedTest {
protected:
    void SetUp() override {
        std::optional<TestPki> pki = CreateTestPki(env_.Root());
        ASSERT_TRUE(pki);
        pki_ = *pki;
        setenv("SSL_CERT_FILE", pki_.root.c_str(), 1);
        setenv("SSL_CERT_DIR", env_.Root().c_str(), 1);  // keeps the machine's roots out
        setenv("TERN_PATCH_RECORD", record_.c_str(), 1);
        Tern::TrustChannel().SetDiagnosticStream(&trust_);
    }
    ~UpdateStartTest() override {
        Tern::TrustChannel().SetDiagnosticStream(&std::cerr);
        unlink(pinnedFile_.c_str());
    }

    // `payload`, signed by the test publisher or not, as a download file: private and without
    // execute permission.
    std::string Download(const std::string& payload, bool sign = true) {
        const std::string path = Tern::MakeDownloadFile();
        WriteFileBytes(path, sign ? SignWithoutChecks(payload, pki_.codeSigning) : payload);
        return path;
    }

    TestPki pki_;
    const std::string record_ = env_.Root() + "/patch_record";
    // Publishers are pinned by this file beside the program, hence the test's own directory.
    const std::string pinnedFile_ = Tern::GetExecutableDirectory() + "/Resources/trust.pem";
    CapturedDiagnostics diagnostics_;
    TrustSink onTrustLine_ = [](const std::string&) {};
    Tern::AdaptiveStream<TrustSink> trust_{[this](const std::string& line) { onTrustLine_(line); }};
};

TEST_F(UpdateStartTest, OnlySignaturesOfTrustedPublishersAreApproved) {
    const std::string script = PatchScript("any");
    const std::string good = SignWithoutChecks(script, pki_.codeSigning);
    // The layout of the kernel's module signatures: a descriptor of id type 2, then the marker.
    EXPECT_EQ(good.substr(good.size() - 40, 8), std::string("\0\0\2\0\0\0\0\0", 8));
    EXPECT_EQ(good.substr(good.size() - 28), "~Module signature appended~\n");
    std::string payloadChanged = good, oversizedLength = good, garbledCms = good;
    payloadChanged[script.size() / 2] ^= 1;
    oversizedLength[good.size() - 32] = 0x7f;
    garbledCms[script.size()] ^= 0x40;
    struct Case {
        const char* what;
        std::optional<std::string> file;  // nullopt: no file
        // Resources/trust.pem beside the program; null: none. The system's store holds the
        // other root then.
        std::string TestPki::*pinned;
        const char* error;  // null: trusted
    };
    const Case cases[] = {
        {"trusted", good, nullptr, nullptr},
        {"unsigned", script, nullptr, "0x800b0100"},
        {"payload changed", payloadChanged, nullptr, "0x80096010"},
        {"truncated", good.substr(0, good.size() - 1), nullptr, "0x800b0100"},
        {"length beyond the file", oversizedLength, nullptr, "0x800b0100"},
        {"garbled CMS", garbledCms, nullptr, "0x800b0100"},
        {"unknown CA", SignWithoutChecks(script, pki_.otherCodeSigning), nullptr, "0x800b0109"},
        {"expired", SignWithoutChecks(script, pki_.expired), nullptr, "0x800b0101"},
        {"not yet valid", SignWithoutChecks(script, pki_.notYetValid), nullptr, "0x800b0101"},
        {"no code-signing usage", SignWithoutChecks(script, pki_.noCodeSigning), nullptr,
         "0x800b0110"},
        {"missing file", std::nullopt, nullptr, "0x80070002"},
        {"pinned root", good, &TestPki::root, nullptr},
        {"pinned other CA", good, &TestPki::otherRoot, "0x800b0109"},
    };
    std::string line;
    onTrustLine_ = [&line](const std::string& text) { line += text; };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string path = env_.Root() + "/checked";
        unlink(path.c_str());
        if (c.file) WriteFileBytes(path, *c.file);
        setenv("SSL_CERT_FILE", (c.pinned == &TestPki::root ? pki_.otherRoot : pki_.root).c_str(),
               1);
        unlink(pinnedFile_.c_str());
        if (c.pinned) WriteFileBytes(pinnedFile_, ReadFileBytes(pki_.*c.pinned));
        // Through a descriptor the caller keeps: its offset must not move.
        const platform::UniqueFd file(open(path.c_str(), O_RDONLY | O_CLOEXEC));
        lseek(file.Get(), 17, SEEK_SET);
        line.clear();

        EXPECT_EQ(Tern::verifyFileTrust(path, file.Get()), c.error == nullptr);

        EXPECT_EQ(line, "File location:" + path + "verifying file signature... " +
                            (c.error ? "content has not been approved by trust provider. Win32 "
                                       "Hresult=" +
                                           std::string(c.error) + "\n"
                                     : "content approoved.\n"));
        EXPECT_EQ(lseek(file.Get(), 0, SEEK_CUR), file.Valid() ? 17 : -1);
    }
}

TEST_F(UpdateStartTest, OnlyTheCheckedFileRunsAndFailuresNameTheirCause) {
    struct Case {
        const char* what;
        std::function<std::string()> prepare;  // the stored path, or "" for no record
        int32_t result;                        // Result after the start (4 before it)
        std::string log;                       // a line the technical log must hold
        std::string ran;                       // what the patch record must say
        bool fileStays;
    };
    std::unique_ptr<ChildProcess> busy;
    const Case cases[] = {
        {"no record", [] { return std::string(); }, 3,
         Tern::LibText("IDS_LIB_ERR_LOCAL_TARGET") + "(Patch, all, all)\n", "", true},
        {"unsigned", [&] { return Download(PatchScript("unsigned"), false); }, 3,
         Tern::LibText("IDS_LIB_ERR_UPDATE_NOT_TRUSTED") + "\n", "", false},
        {"swapped after the check",
         [&] {
             const std::string path = Download(PatchScript("checked"));
             const std::string evil = Download(PatchScript("swapped"), false);
             onTrustLine_ = [path, evil](const std::string&) {
                 rename(evil.c_str(), path.c_str());
             };
             return path;
         },
         0, Tern::LibText("IDS_LIB_MSG_START_UPDATE"), Ran("checked"), true},
        {"a running program's file (busy even for root)",
         [&] {
             const std::string path = Download(ReadFileBytes("/bin/sleep"));
             chmod(path.c_str(), 0700);
             busy = std::make_unique<ChildProcess>(std::vector<std::string>{path, "30"});
             return path;
         },
         4, Tern::LibText("IDS_LIB_ERR_EXE_NOT_FOUND") + "(", "", true},
        {"not a program", [&] { return Download(std::string(4096, '\x01')); }, 3,
         Tern::LibText("IDS_LIB_ERR_FAILED_START_UPDATE") + " [Err: 11]", "", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::remove(record_.c_str());
        onTrustLine_ = [](const std::string&) {};
        TestHost host;
        host.Observer().Result = Tern::kUpdateIncomplete;
        Tern::UpdateStateStore store;
        store.Open(kUpdateKey);
        const std::string path = c.prepare();
        if (!path.empty()) store.Store(kPatch, path, Tern::FlaggedForExecution);
        Tern::Update update(kPatch, {}, "", 0, "", {}, false, "");

        EXPECT_EQ(update.startUpdate(host.Observer(), store), c.result == 0);
        EXPECT_EQ(host.GetResult(), c.result);
        EXPECT_TRUE(Contains(host.LogText(), c.log));
        EXPECT_EQ(ReadFileBytes(record_), c.ran);
        EXPECT_EQ(path.empty() || FileExists(path), c.fileStays);
        EXPECT_EQ(StoredPatch(), path.empty() ? "" : (c.result == 0 ? "D " : "E ") + path);
        busy.reset();
    }
}

// The whole way: announced, downloaded, checked, confirmed, run and waited for; cleaned up by the
// next run once the installation changed.
TEST_F(UpdateStartTest, ADownloadedPatchRunsAndIsCleanedUpByTheNextRun) {
    HttpTestServer server(env_.Root() + "/server");
    ProxyEnvironment proxy(server);
    const std::string patch = SignWithoutChecks(PatchScript("patch"), pki_.codeSigning);
    const auto announce = [&](const char* replacesLauncher) {
        server.Serve("/MatchMakingConfig.aspx",
                     Answer(std::to_string(patch.size()), "http://mirror.example/p.exe",
                            ChecksumTextOf(patch), replacesLauncher));
    };
    announce("FALSE");
    server.Serve("/p.exe", patch);
    ASSERT_EQ(platform::WriteRegistryString(Hive::LocalMachine, kUpdateKey, "info", "v1"), 0);
    const auto run = [&](bool confirmAll, bool confirmEach) {
        TestHost host;
        host.confirmRunUpdates = confirmAll;
        host.confirmRunUpdate = [confirmEach](uint32_t, uint32_t) { return confirmEach; };
        host.Start("skyreach-eu", kUpdateKey, "us");
        host.WaitForThreads();
        return host.FinishedResults();
    };

    EXPECT_EQ(run(true, false), std::vector<int32_t>{0});  // declined one by one: not run
    EXPECT_EQ(StoredPatch(), "");
    EXPECT_EQ(ReadFileBytes(record_), "");

    EXPECT_EQ(run(true, true), std::vector<int32_t>{0});
    EXPECT_EQ(ReadFileBytes(record_), Ran("patch"));
    const std::string ran = StoredPatch("D ");
    EXPECT_NE(ran, "");
    EXPECT_EQ(platform::ReadRegistryText(Hive::CurrentUser, kUpdateKey, "lastinfo", 256), "v1");

    // The patch installed a new version: the next run deletes it, downloads the patch now
    // announced and, since that replaces the launcher, does not wait for it.
    ASSERT_EQ(platform::WriteRegistryString(Hive::LocalMachine, kUpdateKey, "info", "v2"), 0);
    announce("TRUE");
    EXPECT_EQ(run(true, true), std::vector<int32_t>{1});
    EXPECT_FALSE(FileExists(ran));
    EXPECT_NE(StoredPatch(), "D " + ran);
}

}  // namespace
}  // namespace tern_test
