// Starting downloaded updates: only a file of a trusted publisher runs, the very file that was
// checked, and it is waited for, recorded and cleaned up.
#include <cstdio>
#include <filesystem>
#include <map>

#include "platform/file.h"
#include "tests/support/child_process.h"
#include "tests/support/test_host.h"
#include "tests/updatelib/update_test_support.h"
#include "updatelib/base/adaptive_stream.h"
#include "updatelib/base/file_functions.h"
#include "updatelib/base/library_texts.h"
#include "updatelib/chain/update.h"
#include "updatelib/state/update_state_store.h"
#include "updatelib/transfer/trust_check.h"
#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>

#include "platform/posix/trust/appended_signature.h"
#include "platform/posix/trust/code_signer.h"
#include "tests/support/test_pki.h"
#endif

namespace tern_test {
namespace {

using platform::Hive;

const Tern::TargetId kPatch("Patch", "all", "all");

// The tests' patches append what they saw, "ran in <directory> from <own size> bytes", to the
// file $TERN_PATCH_RECORD names, and end with status 3.
#ifdef _WIN32
// Copies of windows_peer signed at build time (make_signed_programs.sh), whose root the test pins;
// releaseN.exe are stamped for product Skyreach.
std::string Program(const std::string& name) {
    return ReadFileBytes(TERN_SIGNED_PROGRAMS "/" + name + ".exe");
}
// A program's signature is part of it: the started file stays for the next run.
constexpr bool kStartedFileStays = true;
#else
// Scripts longer than one read of the signature check, so that their bytes stream in many
// pieces; `name` tells them apart by size. No `exit` keeps the shell from the signature: only the
// payload may run.
std::string PatchScript(const std::string& name) {
    return "#!/bin/sh\n# " + name + std::string(70000, 'x') +
           "\necho \"ran in $PWD from $(wc -c < \"$0\") bytes\" >> \"$TERN_PATCH_RECORD\"\n(exit "
           "3)\n";
}
// Cut to their payload, they are deleted once they have ended.
constexpr bool kStartedFileStays = false;
#endif

using TrustSink = std::function<void(const std::string&)>;

class UpdateStartTest : public IsolatedTest {
protected:
    void SetUp() override {
        HoldUpdateServiceEndpoint();
#ifdef _WIN32
        WriteFileBytes(pinnedFile_, ReadFileBytes(TERN_SIGNED_PROGRAMS "/root.pem"));
#else
        std::optional<TestPki> pki = CreateTestPki(env_.Root());
        ASSERT_TRUE(pki);
        pki_ = *pki;
        SetVariable("SSL_CERT_FILE", pki_.root);
        SetVariable("SSL_CERT_DIR", env_.Root());  // keeps the machine's roots out
#endif
        SetVariable("TERN_PATCH_RECORD", record_);
        Tern::TrustChannel().SetDiagnosticStream(&trust_);
    }
    ~UpdateStartTest() override {
        Tern::TrustChannel().SetDiagnosticStream(&std::cerr);
        std::filesystem::remove_all(pinnedFile_);
    }

    // A patch of the trusted publisher, stamped with a release above every earlier one of the
    // test, the bytes it runs, and patches that must not run.
#ifdef _WIN32
    std::string TrustedPatch() { return Program("release" + std::to_string(++lastRelease_)); }
    // The signature is part of the program, and every release's is as long.
    size_t RunBytes() { return Program("release1").size(); }
    std::vector<std::string> UntrustedPatches() {
        return {Program("unsigned"), Program("tampered"), Program("foreign_root"),
                Program("signed")};  // unstamped
    }
#else
    std::string TrustedPatch() { return Stamped(PatchScript("ok")); }
    size_t RunBytes() { return PatchScript("ok").size(); }
    std::vector<std::string> UntrustedPatches() {
        return {PatchScript("unsigned"),
                SignWithoutChecks(PatchScript("foreign"), pki_.otherCodeSigning)};
    }
#endif
    std::string Ran() {
        return "ran in " + Tern::GetExecutableDirectory() + " from " + std::to_string(RunBytes()) +
               " bytes\n";
    }
    // A download file holding `bytes`: private and without execute permission.
    std::string Download(const std::string& bytes) {
        const std::string path = Tern::MakeDownloadFile();
        WriteFileBytes(path, bytes);
        return path;
    }

#ifndef _WIN32
    // Signed by `signer` and, unless told otherwise, stamped as TrustedPatch is.
    std::string Signed(const std::string& payload, const TestCredential& signer,
                       bool stamped = true) {
        const std::string path = env_.Root() + "/signed";
        WriteFileBytes(path, payload);
        const platform::SigningResult result =
            platform::SignFile(path, signer.key, signer.certificate, signer.chain, path,
                               stamped ? NextStamp() : platform::ReleaseStamp{});
        EXPECT_TRUE(result.ok) << result.error;
        return ReadFileBytes(path);
    }
    std::string Stamped(const std::string& payload) {
        return SignWithoutChecks(payload, pki_.codeSigning, BlockExtra::None, NextStamp());
    }
    platform::ReleaseStamp NextStamp() { return {kProduct, ++lastRelease_}; }

    TestPki pki_;
#endif
    uint32_t lastRelease_ = 0;
    const std::string record_ = env_.Root() + "/patch_record";
    // Publishers are pinned by this file beside the program, hence the test's own directory.
    const std::string pinnedFile_ = Tern::GetExecutableDirectory() + "/Resources/trust.pem";
    CapturedDiagnostics diagnostics_;
    TrustSink onTrustLine_ = [](const std::string&) {};
    Tern::AdaptiveStream<TrustSink> trust_{[this](const std::string& line) { onTrustLine_(line); }};
};

#ifndef _WIN32
// Each file and pin through the launcher's check and `tern-publish verify`, which must agree.
// (Windows's table is in windows_platform_test.cpp.)
TEST_F(UpdateStartTest, OnlySignaturesOfTrustedPublishersAreApproved) {
    const std::string script = PatchScript("any");
    const std::string good = Signed(script, pki_.codeSigning);
    // The layout of the kernel's module signatures: a descriptor of id type 2, then the marker.
    EXPECT_EQ(good.substr(good.size() - 40, 8), std::string("\0\0\2\0\0\0\0\0", 8));
    EXPECT_EQ(good.substr(good.size() - 28), "~Module signature appended~\n");
    std::string payloadChanged = good, oversizedLength = good, garbledCms = good;
    payloadChanged[script.size() / 2] ^= 1;
    oversizedLength[good.size() - 32] = 0x7f;
    garbledCms[script.size()] ^= 0x40;
    const std::string block = good.substr(script.size(), good.size() - script.size() - 40);
    const auto reblocked = [&script](const std::string& cms) {
        const auto trailer = platform::BuildSignatureTrailer({cms.begin(), cms.end()});
        return script + std::string(trailer.begin(), trailer.end());
    };
    // The signer's chain and a certificate of nobody's path.
    const TestCredential strayChain{pki_.codeSigning.key, pki_.codeSigning.certificate,
                                    env_.Root() + "/stray-chain.pem"};
    WriteFileBytes(strayChain.chain,
                   ReadFileBytes(pki_.codeSigning.chain) + ReadFileBytes(pki_.otherRoot));
    enum class Pin { None, Root, OtherRoot, RootLink, Directory, Fifo, Empty, Garbage };
    struct Case {
        const char* what;
        std::optional<std::string> file;  // nullopt: no file
        const char* error;                // null: trusted
        // Resources/trust.pem beside the program, and the tool's --pinned. The system's store
        // holds the root unless a pin trusts the file; then it holds the other root.
        Pin pin = Pin::None;
    };
    const Case cases[] = {
        {"trusted", good, nullptr},
        {"unsigned", script, "0x800b0100"},
        {"payload changed", payloadChanged, "0x80096010"},
        {"truncated", good.substr(0, good.size() - 1), "0x800b0100"},
        {"length beyond the file", oversizedLength, "0x800b0100"},
        {"garbled CMS", garbledCms, "0x800b0100"},
        {"bytes after the CMS", reblocked(block + std::string(2, '\0')), "0x800b0100"},
        {"long-form length", reblocked("\x30\x83" + std::string(1, '\0') + block.substr(2)),
         "0x800b0100"},
        {"indefinite length", reblocked("\x30\x80" + block.substr(4) + std::string(2, '\0')),
         "0x800b0100"},
        {"unsigned attribute",
         SignWithoutChecks(script, pki_.codeSigning, BlockExtra::UnsignedAttribute), "0x800b0100"},
        {"revocation list", SignWithoutChecks(script, pki_.codeSigning, BlockExtra::RevocationList),
         "0x800b0100"},
        {"unrelated certificate", SignWithoutChecks(script, strayChain), "0x800b0100"},
        {"unknown CA", Signed(script, pki_.otherCodeSigning), "0x800b0109"},
        {"expired", Signed(script, pki_.expired), "0x800b0101"},
        {"not yet valid", Signed(script, pki_.notYetValid), "0x800b0101"},
        {"no code-signing usage", SignWithoutChecks(script, pki_.noCodeSigning), "0x800b0110"},
        {"issuer for servers only", Signed(script, pki_.restrictedIssuer), "0x800b0110"},
        {"RSA key of 1024 bits", Signed(script, pki_.weakKey), "0x800b0109"},
        {"certificate signed with SHA-1", Signed(script, pki_.sha1Signed), "0x800b0109"},
        {"missing file", std::nullopt, "0x80070002"},
        {"pinned root", good, nullptr, Pin::Root},
        {"pinned root through a link", good, nullptr, Pin::RootLink},
        {"pinned other CA", good, "0x800b0109", Pin::OtherRoot},
        {"pin is a directory", good, "0x800b0109", Pin::Directory},
        {"pin is a FIFO", good, "0x800b0109", Pin::Fifo},
        {"pin is empty", good, "0x800b0109", Pin::Empty},
        {"pin is no PEM", good, "0x800b0109", Pin::Garbage},
    };
    const std::map<Pin, std::string> pinTexts = {{Pin::Root, ReadFileBytes(pki_.root)},
                                                 {Pin::OtherRoot, ReadFileBytes(pki_.otherRoot)},
                                                 {Pin::Empty, ""},
                                                 {Pin::Garbage, "not a certificate\n"}};
    std::string line;
    onTrustLine_ = [&line](const std::string& text) { line += text; };
    std::filesystem::create_directories(Tern::GetExecutableDirectory() + "/Resources");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string path = env_.Root() + "/checked";
        unlink(path.c_str());
        if (c.file) WriteFileBytes(path, *c.file);
        const bool pinTrusts = c.pin != Pin::None && !c.error;
        setenv("SSL_CERT_FILE", (pinTrusts ? pki_.otherRoot : pki_.root).c_str(), 1);
        std::filesystem::remove_all(pinnedFile_);
        if (pinTexts.count(c.pin)) WriteFileBytes(pinnedFile_, pinTexts.at(c.pin));
        EXPECT_TRUE(c.pin != Pin::RootLink || symlink(pki_.root.c_str(), pinnedFile_.c_str()) == 0);
        if (c.pin == Pin::Directory) std::filesystem::create_directory(pinnedFile_);
        EXPECT_TRUE(c.pin != Pin::Fifo || mkfifo(pinnedFile_.c_str(), 0600) == 0);
        // Through a file the caller keeps: its position must not move.
        const platform::File file = platform::File::OpenForReading(path);
        char skipped[17];
        EXPECT_EQ(file.Read(skipped, sizeof skipped), file.Valid() ? 17 : -1);
        line.clear();

        EXPECT_EQ(Tern::verifyFileTrust(path, file, {kProduct}), c.error == nullptr);

        // An unusable pin says why on a line of its own.
        const bool brokenPin = c.pin >= Pin::Directory;
        const size_t verdict = brokenPin ? line.find('\n') + 1 : 0;
        EXPECT_EQ(line.rfind("the pinned certificates " + pinnedFile_ + " trust nothing: ", 0) == 0,
                  brokenPin);
        EXPECT_EQ(line.substr(verdict),
                  "File location:" + path + "verifying file signature... " +
                      (c.error ? "content has not been approved by trust provider. Win32 "
                                 "Hresult=" +
                                     std::string(c.error) + "\n"
                               : "content approoved.\n"));
        char next = 0;
        EXPECT_EQ(file.Read(&next, 1), file.Valid() ? 1 : -1);
        EXPECT_EQ(next, c.file ? (*c.file)[17] : 0);

        std::vector<std::string> verify = {TERN_PUBLISH, "verify", path};
        if (c.pin != Pin::None) verify.insert(verify.begin() + 2, {"--pinned", pinnedFile_});
        const ChildResult tool = RunChild(verify);
        EXPECT_EQ(tool.exitCode, c.error ? 1 : 0);
        EXPECT_TRUE(Contains(tool.standardOutput, c.error ? c.error : "trusted"))
            << tool.standardOutput;
    }
}
#endif

#ifndef _WIN32
// The release stamp, signed by tern-publish, printed by its verify and checked by the launcher,
// whose product is kProduct and whose installation started release 6 before: installed, unless
// a row says it has not taken effect.
TEST_F(UpdateStartTest, OnlyNewerReleasesOfThisProductAreApproved) {
    const std::string script = env_.Root() + "/patch.sh";
    WriteFileBytes(script, PatchScript("stamped"));
    const auto sign = [&](const std::string& product, const std::string& release) {
        const std::string out = env_.Root() + "/stamped";
        const TestCredential& signer = pki_.codeSigning;
        const ChildResult signing = RunChild(
            {TERN_PUBLISH, "sign", "--key", signer.key, "--cert", signer.certificate, "--chain",
             signer.chain, "--product", product, "--release", release, script, out});
        EXPECT_EQ(signing.exitCode, 0) << signing.standardError;
        return ReadFileBytes(out);
    };
    std::string stampChanged = sign(kProduct, "7");
    stampChanged[stampChanged.rfind(kProduct) + 1] ^= 0x20;
    const std::string unstamped = Signed(PatchScript("stamped"), pki_.codeSigning, false);
    const Tern::ReleaseRequirement installed{kProduct, 6, false, false};
    const Tern::ReleaseRequirement notTakenEffect{kProduct, 6, true, false};
    const Tern::ReleaseRequirement acceptingUnstamped{kProduct, 6, false, true};
    const struct {
        const char* what;
        std::string file;
        const Tern::ReleaseRequirement& requirement;
        const char* verdict;  // the end of the diagnostic line
        uint32_t release;     // the approved stamp's
        const char* printed;  // part of what verify prints
    } cases[] = {
        {"newer", sign(kProduct, "7"), installed, "content approoved.", 7,
         "product: Skyreach\nrelease: 7\n"},
        {"equal", sign(kProduct, "6"), installed, "release 6 is not newer than 6.", 0,
         "release: 6\n"},
        {"equal, not taken effect: a retry", sign(kProduct, "6"), notTakenEffect,
         "content approoved.", 6, "release: 6\n"},
        {"older", sign(kProduct, "2"), notTakenEffect, "release 2 is not newer than 6.", 0,
         "release: 2\n"},
        {"other product", sign("Frostpeak", "9"), installed,
         "stamped for product Frostpeak, this is Skyreach.", 0, "product: Frostpeak\n"},
        {"unstamped", unstamped, installed, "the signature carries no release stamp.", 0,
         "no release stamp"},
        {"unstamped, accepted by the build option", unstamped, acceptingUnstamped,
         "content approoved.", 0, "no release stamp"},
        {"stamp bytes changed", stampChanged, installed,
         "content has not been approved by trust provider. Win32 Hresult=0x80096010", 0,
         "0x80096010"},
    };
    std::string line;
    onTrustLine_ = [&line](const std::string& text) { line += text; };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string path = env_.Root() + "/checked";
        WriteFileBytes(path, c.file);
        line.clear();
        const bool approved = std::string(c.verdict) == "content approoved.";
        uint32_t release = 0;
        EXPECT_EQ(Tern::verifyFileTrust(path, platform::File::OpenForReading(path), c.requirement,
                                        nullptr, &release),
                  approved);
        EXPECT_EQ(line,
                  "File location:" + path + "verifying file signature... " + c.verdict + "\n");
        EXPECT_EQ(release, c.release);
        EXPECT_TRUE(Contains(RunChild({TERN_PUBLISH, "verify", path}).standardOutput, c.printed));
    }
}
#endif

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
    std::vector<Case> cases = {
        {"no record", [] { return std::string(); }, 3,
         Tern::LibText("IDS_LIB_ERR_LOCAL_TARGET") + "(Patch, all, all)\n", "", true},
        {"swapped after the check",
         [&] {
             const std::string path = Download(TrustedPatch());
             const std::string evil = Download(UntrustedPatches()[0]);
             onTrustLine_ = [path, evil](const std::string&) {
                 std::error_code refused;  // on Windows: the checked file is held
                 std::filesystem::rename(evil, path, refused);
             };
             return path;
         },
         0, Tern::LibText("IDS_LIB_MSG_UPDATE_EXIT_CODE") + " 3\n", Ran(), kStartedFileStays},
#ifndef _WIN32
        {"a running program's file (busy even for root)",
         [&] {
             const std::string path = Download(Stamped(ReadFileBytes("/bin/sleep")));
             chmod(path.c_str(), 0700);
             busy = std::make_unique<ChildProcess>(std::vector<std::string>{path, "30"});
             return path;
         },
         4, Tern::LibText("IDS_LIB_ERR_EXE_NOT_FOUND") + "(", "", true},
        {"not a program", [&] { return Download(Stamped(std::string(4096, '\x01'))); }, 3,
         Tern::LibText("IDS_LIB_ERR_FAILED_START_UPDATE") + " [Err: 11]", "", false},
#endif
    };
    for (const std::string& patch : UntrustedPatches()) {
        cases.push_back({"untrusted", [&, patch] { return Download(patch); }, 3,
                         Tern::LibText("IDS_LIB_ERR_UPDATE_NOT_TRUSTED") + "\n", "", false});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.what) + " " + std::to_string(&c - cases.data()));
        std::remove(record_.c_str());
        onTrustLine_ = [](const std::string&) {};
        TestHost host;
        host.Observer().Result = Tern::kUpdateIncomplete;
        Tern::UpdateStateStore store;
        store.Open(kUpdateKey);
        const std::string path = c.prepare();
        if (!path.empty()) store.Store(kPatch, path, Tern::FlaggedForExecution);
        Tern::Update update(kPatch, {}, "", 0, "", {}, false, "");

        EXPECT_EQ(update.startUpdate(host.Observer(), store, kProduct), c.result == 0);
        EXPECT_EQ(host.GetResult(), c.result);
        EXPECT_TRUE(Contains(host.LogText(), c.log));
        EXPECT_EQ(ReadFileBytes(record_), c.ran);
        EXPECT_EQ(path.empty() || FileExists(path), c.fileStays);
        EXPECT_EQ(StoredPatch(), path.empty() ? "" : (c.result == 0 ? "D " : "E ") + path);
        busy.reset();
    }
    EXPECT_TRUE(Contains(diagnostics_.str(), " ended with exit code 3\n")) << diagnostics_.str();
}

// The whole way: announced, downloaded, checked, confirmed, run and waited for; run again while
// the installation did not change, cleaned up by the next run once it did. A release that took
// effect never runs again, nor does an older one.
TEST_F(UpdateStartTest, ADownloadedPatchRunsAndIsCleanedUpByTheNextRun) {
    HttpTestServer server(env_.Root() + "/server");
    ProxyEnvironment proxy(server);
    const std::string first = TrustedPatch();
    const std::string second = TrustedPatch();
    const auto announce = [&](const std::string& patch, const char* replacesLauncher) {
        server.Serve("/p.exe", patch);
        server.Serve("/MatchMakingConfig.aspx",
                     Answer(std::to_string(patch.size()), "http://mirror.example/p.exe",
                            ChecksumTextOf(patch), replacesLauncher));
    };
    announce(first, "FALSE");
    ASSERT_EQ(platform::WriteRegistryString(Hive::LocalMachine, kUpdateKey, "info", "v1"), 0);
    const auto run = [&](bool confirmAll, bool confirmEach) {
        TestHost host;
        host.confirmRunUpdates = confirmAll;
        host.confirmRunUpdate = [confirmEach](uint32_t, uint32_t) { return confirmEach; };
        host.Start("skyreach-eu", kUpdateKey, "us", kProduct);
        host.WaitForThreads();
        return host.FinishedResults();
    };
    const auto highestRelease = [] {
        Tern::UpdateStateStore store;
        store.Open(kUpdateKey);
        return store.ReadHighestRelease();
    };

    EXPECT_EQ(run(true, false), std::vector<int32_t>{0});  // declined one by one: not run
    EXPECT_EQ(StoredPatch(), "");
    EXPECT_EQ(ReadFileBytes(record_), "");
    EXPECT_EQ(highestRelease(), 0u);

    EXPECT_EQ(run(true, true), std::vector<int32_t>{0});
    EXPECT_EQ(ReadFileBytes(record_), Ran());
    EXPECT_NE(StoredPatch("D "), "");
    EXPECT_EQ(platform::ReadRegistryText(Hive::CurrentUser, kUpdateKey, "lastinfo", 256), "v1");
    EXPECT_EQ(highestRelease(), 1u);

    // Nothing changed the installation's id: the next run starts the same release once more (a
    // file cut to its payload is downloaded anew).
    EXPECT_EQ(run(true, true), std::vector<int32_t>{0});
    EXPECT_EQ(ReadFileBytes(record_), Ran() + Ran());
    const std::string ran = StoredPatch("D ");
    EXPECT_NE(ran, "");

    // The patch installed a new version: the next run deletes it, downloads the patch now
    // announced and, since that replaces the launcher, does not wait for it.
    ASSERT_EQ(platform::WriteRegistryString(Hive::LocalMachine, kUpdateKey, "info", "v2"), 0);
    announce(second, "TRUE");
    EXPECT_EQ(run(true, true), std::vector<int32_t>{1});
    EXPECT_FALSE(FileExists(ran));
    EXPECT_NE(StoredPatch(), "D " + ran);
    EXPECT_EQ(highestRelease(), 2u);

    // The first patch, offered again, is refused as an untrusted one: deleted, never started.
    // (The second, not waited for, may still be writing its record.)
    std::string verdicts;
    onTrustLine_ = [&verdicts](const std::string& line) { verdicts += line; };
    announce(first, "FALSE");
    EXPECT_EQ(run(true, true), std::vector<int32_t>{3});
    EXPECT_TRUE(Contains(verdicts, "release 1 is not newer than 2.\n"));
    EXPECT_EQ(StoredPatch(), "");
    EXPECT_EQ(highestRelease(), 2u);
}

}  // namespace
}  // namespace tern_test
