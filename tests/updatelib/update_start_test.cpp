// Starting downloaded updates: only a file of a trusted publisher runs, the very file that was
// checked, and it is waited for, recorded and cleaned up.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <functional>
#include <memory>

#include "platform/trust/code_signer.h"
#include "tests/support/child_process.h"
#include "tests/support/http_test_server.h"
#include "tests/support/isolated_env.h"
#include "tests/support/test_host.h"
#include "tests/support/test_pki.h"
#include "tests/updatelib/update_test_support.h"
#include "updatelib/base/adaptive_stream.h"
#include "updatelib/base/file_functions.h"
#include "updatelib/base/library_texts.h"
#include "updatelib/chain/update.h"
#include "updatelib/state/update_state_store.h"

namespace {

using platform::Hive;
using tern_test::FileExists;
using tern_test::kUpdateKey;
using tern_test::ReadFileBytes;
using tern_test::StoredPatch;

const Tern::TargetId kPatch("Patch", "all", "all");

// A patch that appends what it saw to the file $TERN_PATCH_RECORD names.
std::string PatchScript(const std::string& name) {
    return "#!/bin/sh\necho \"" + name + " ran in $PWD\" >> \"$TERN_PATCH_RECORD\"\nexit 0\n";
}

using TrustSink = std::function<void(const std::string&)>;

class UpdateStartTest : public tern_test::IsolatedTest {
protected:
    void SetUp() override {
        std::optional<tern_test::TestPki> pki = tern_test::CreateTestPki(env_.Root());
        ASSERT_TRUE(pki);
        pki_ = *pki;
        setenv("SSL_CERT_FILE", pki_.root.c_str(), 1);
        setenv("SSL_CERT_DIR", env_.Root().c_str(), 1);
        setenv("TERN_PATCH_RECORD", record_.c_str(), 1);
        Tern::TrustChannel().SetDiagnosticStream(&trust_);
    }
    ~UpdateStartTest() override { Tern::TrustChannel().SetDiagnosticStream(&std::cerr); }

    // `payload` signed by the test publisher (or not at all) as a download file: private and
    // without execute permission.
    std::string Download(const std::string& payload, bool sign = true) {
        const std::string path = Tern::MakeDownloadFile();
        tern_test::WriteFileBytes(path, payload);
        if (sign) {
            const platform::SigningResult result =
                platform::SignFile(path, pki_.codeSigning.key, pki_.codeSigning.certificate,
                                   pki_.codeSigning.chain, path);
            EXPECT_TRUE(result.ok) << result.error;
        }
        chmod(path.c_str(), 0600);
        return path;
    }

    tern_test::TestPki pki_;
    const std::string record_ = env_.Root() + "/patch_record";
    tern_test::CapturedDiagnostics diagnostics_;
    TrustSink onTrustLine_ = [](const std::string&) {};
    Tern::AdaptiveStream<TrustSink> trust_{[this](const std::string& line) { onTrustLine_(line); }};
};

TEST_F(UpdateStartTest, OnlyTheCheckedFileRunsAndFailuresNameTheirCause) {
    const std::string directory = Tern::GetExecutableDirectory();
    struct Case {
        const char* what;
        std::function<std::string()> prepare;  // the stored path, or "" for no record
        int32_t result;                        // Result after the start (4 before it)
        std::string log;                       // a line the technical log must hold
        std::string ran;                       // what the patch record must say
        bool fileStays;
    };
    std::unique_ptr<tern_test::ChildProcess> busy;
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
         0, Tern::LibText("IDS_LIB_MSG_START_UPDATE"), "checked ran in " + directory + "\n", true},
        {"a running program's file (busy even for root)",
         [&] {
             const std::string path = Download(ReadFileBytes("/bin/sleep"));
             chmod(path.c_str(), 0700);
             busy = std::make_unique<tern_test::ChildProcess>(std::vector<std::string>{path, "30"});
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
        tern_test::TestHost host;
        host.Observer().Result = Tern::kUpdateIncomplete;
        Tern::UpdateStateStore store;
        store.Open(kUpdateKey);
        const std::string path = c.prepare();
        if (!path.empty()) store.Store(kPatch, path, Tern::FlaggedForExecution);
        Tern::Update update(kPatch, {}, "", 0, "", {}, false, "");

        EXPECT_EQ(update.startUpdate(host.Observer(), store), c.result == 0);
        EXPECT_EQ(host.GetResult(), c.result);
        EXPECT_TRUE(tern_test::Contains(host.LogText(), c.log));
        EXPECT_EQ(ReadFileBytes(record_), c.ran);
        EXPECT_EQ(path.empty() || FileExists(path), c.fileStays);
        EXPECT_EQ(StoredPatch(), path.empty() ? "" : (c.result == 0 ? "D " : "E ") + path);
        busy.reset();
    }
}

// The whole way: announced, downloaded, checked, confirmed, run and waited for; cleaned up by the
// next run once the installation changed.
TEST_F(UpdateStartTest, ADownloadedPatchRunsAndIsCleanedUpByTheNextRun) {
    tern_test::HttpTestServer server(env_.Root() + "/server");
    tern_test::ProxyEnvironment proxy(server);
    const std::string signedPatch = Download(PatchScript("patch"));
    const std::string patch = ReadFileBytes(signedPatch);
    std::remove(signedPatch.c_str());
    const auto announce = [&](const char* replacesLauncher) {
        server.Serve("/MatchMakingConfig.aspx",
                     tern_test::Answer(std::to_string(patch.size()), "http://mirror.example/p.exe",
                                       tern_test::ChecksumTextOf(patch), replacesLauncher));
    };
    announce("FALSE");
    server.Serve("/p.exe", patch);
    ASSERT_EQ(platform::WriteRegistryString(Hive::LocalMachine, kUpdateKey, "info", "v1"), 0);
    const auto run = [&](bool confirm) {
        tern_test::TestHost host;
        host.confirmRunUpdates = confirm;
        host.Start("skyreach-eu", kUpdateKey, "us");
        EXPECT_TRUE(host.WaitForFinish());
        host.WaitForThreads();
        return host.FinishedResults();
    };

    EXPECT_EQ(run(false), std::vector<int32_t>{0});  // declined: stays ready to run
    const std::string downloaded = StoredPatch("E ");
    EXPECT_NE(downloaded, "");
    EXPECT_EQ(ReadFileBytes(record_), "");

    EXPECT_EQ(run(true), std::vector<int32_t>{0});
    EXPECT_EQ(ReadFileBytes(record_), "patch ran in " + Tern::GetExecutableDirectory() + "\n");
    EXPECT_EQ(StoredPatch(), "D " + downloaded);
    EXPECT_EQ(platform::ReadRegistryText(Hive::CurrentUser, kUpdateKey, "lastinfo", 256), "v1");

    // The patch installed a new version: the next run deletes it, downloads the patch now
    // announced and, since that replaces the launcher, does not wait for it.
    ASSERT_EQ(platform::WriteRegistryString(Hive::LocalMachine, kUpdateKey, "info", "v2"), 0);
    announce("TRUE");
    EXPECT_EQ(run(true), std::vector<int32_t>{1});
    EXPECT_FALSE(FileExists(downloaded));
    EXPECT_NE(StoredPatch(), "D " + downloaded);
}

}  // namespace
