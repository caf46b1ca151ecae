#include "updatelib/transfer/trust_check.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "platform/trust/code_signer.h"
#include "platform/unique_fd.h"
#include "tests/support/isolated_env.h"
#include "tests/support/test_pki.h"
#include "updatelib/base/diagnostic_channel.h"
#include "updatelib/base/file_functions.h"

namespace {

using tern_test::ReadFileBytes;
using tern_test::TestCredential;
using tern_test::TestPki;
using tern_test::WriteFileBytes;

// A script longer than one read of the digest, so that the payload streams in many pieces.
const std::string kScript = "#!/bin/sh\n# " + std::string(70000, 'x') + "\necho signed\nexit 3\n";

enum class Make { kSigned, kUnsigned, kSignedWithoutChecks, kMissing };
enum class Damage { kNone, kPayloadByte, kTruncatedTrailer, kOversizedLength, kGarbledCms };

struct Case {
    const char* name;
    Make make;
    TestCredential TestPki::*signer;
    Damage damage;
    std::string TestPki::*systemRoots;  // what SSL_CERT_FILE names
    std::string TestPki::*pinned;       // Resources/trust.pem beside the program; null: none
    const char* verdict;                // the end of the diagnostic line
};

void Apply(Damage damage, std::string* file) {
    const size_t trailerStart = file->size() - 40;
    switch (damage) {
        case Damage::kNone:
            break;
        case Damage::kPayloadByte:
            (*file)[kScript.size() / 2] ^= 1;
            break;
        case Damage::kTruncatedTrailer:
            file->pop_back();
            break;
        case Damage::kOversizedLength:
            (*file)[trailerStart + 8] = 0x7f;
            break;
        case Damage::kGarbledCms:
            (*file)[kScript.size()] ^= 0x40;
            break;
    }
}

class TrustTest : public tern_test::IsolatedTest {
protected:
    void SetUp() override {
        std::optional<TestPki> pki = tern_test::CreateTestPki(env_.Root());
        ASSERT_TRUE(pki);
        pki_ = *pki;
        // Keep the machine's own roots out of every answer.
        setenv("SSL_CERT_DIR", env_.Root().c_str(), 1);
        WriteFileBytes(script_, kScript);
        chmod(script_.c_str(), 0755);
        Tern::TrustChannel().SetDiagnosticStream(&diagnostics_);
    }
    void TearDown() override {
        unsetenv("SSL_CERT_DIR");
        unsetenv("SSL_CERT_FILE");
        Tern::TrustChannel().SetDiagnosticStream(&std::cerr);
        unlink(pinnedFile_.c_str());
    }

    // The diagnostic line of one check.
    std::string Check(const std::string& path, int fd) {
        diagnostics_.str("");
        Tern::verifyFileTrust(path, fd);
        return diagnostics_.str();
    }

    std::ostringstream diagnostics_;
    const std::string pinnedFile_ = Tern::GetExecutableDirectory() + "/Resources/trust.pem";

    std::string Signed(const TestCredential& signer) {
        const std::string path = env_.Root() + "/signed";
        const platform::SigningResult result =
            platform::SignFile(script_, signer.key, signer.certificate, signer.chain, path);
        EXPECT_TRUE(result.ok) << result.error;
        return path;
    }

    TestPki pki_;
    const std::string script_ = env_.Root() + "/script";
};

TEST_F(TrustTest, OnlySignaturesOfTrustedPublishersAreApproved) {
    const char* kTrusted = "content approoved.\n";
    const char* kNoSignature = "Win32 Hresult=0x800b0100\n";
    const char* kBadDigest = "Win32 Hresult=0x80096010\n";
    const char* kUntrustedRoot = "Win32 Hresult=0x800b0109\n";
    const char* kExpired = "Win32 Hresult=0x800b0101\n";
    const char* kWrongUsage = "Win32 Hresult=0x800b0110\n";
    const char* kFileNotFound = "Win32 Hresult=0x80070002\n";
    const Case cases[] = {
        {"trusted", Make::kSigned, &TestPki::codeSigning, Damage::kNone, &TestPki::root, nullptr,
         kTrusted},
        {"unsigned", Make::kUnsigned, nullptr, Damage::kNone, &TestPki::root, nullptr,
         kNoSignature},
        {"payload changed", Make::kSigned, &TestPki::codeSigning, Damage::kPayloadByte,
         &TestPki::root, nullptr, kBadDigest},
        {"truncated trailer", Make::kSigned, &TestPki::codeSigning, Damage::kTruncatedTrailer,
         &TestPki::root, nullptr, kNoSignature},
        {"length beyond the file", Make::kSigned, &TestPki::codeSigning, Damage::kOversizedLength,
         &TestPki::root, nullptr, kNoSignature},
        {"garbled CMS", Make::kSigned, &TestPki::codeSigning, Damage::kGarbledCms, &TestPki::root,
         nullptr, kNoSignature},
        {"unknown CA", Make::kSigned, &TestPki::otherCodeSigning, Damage::kNone, &TestPki::root,
         nullptr, kUntrustedRoot},
        {"expired", Make::kSigned, &TestPki::expired, Damage::kNone, &TestPki::root, nullptr,
         kExpired},
        {"not yet valid", Make::kSigned, &TestPki::notYetValid, Damage::kNone, &TestPki::root,
         nullptr, kExpired},
        {"no code-signing usage", Make::kSignedWithoutChecks, &TestPki::noCodeSigning,
         Damage::kNone, &TestPki::root, nullptr, kWrongUsage},
        {"missing file", Make::kMissing, nullptr, Damage::kNone, &TestPki::root, nullptr,
         kFileNotFound},
        {"pinned root", Make::kSigned, &TestPki::codeSigning, Damage::kNone, &TestPki::otherRoot,
         &TestPki::root, kTrusted},
        {"pinned other CA", Make::kSigned, &TestPki::codeSigning, Damage::kNone, &TestPki::root,
         &TestPki::otherRoot, kUntrustedRoot},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = env_.Root() + "/checked";
        std::string bytes = kScript;
        if (c.make == Make::kSigned) bytes = ReadFileBytes(Signed(pki_.*c.signer));
        if (c.make == Make::kSignedWithoutChecks) {
            bytes = tern_test::SignWithoutChecks(kScript, pki_.*c.signer);
        }
        Apply(c.damage, &bytes);
        unlink(path.c_str());
        if (c.make != Make::kMissing) WriteFileBytes(path, bytes);
        setenv("SSL_CERT_FILE", (pki_.*c.systemRoots).c_str(), 1);
        unlink(pinnedFile_.c_str());
        if (c.pinned) WriteFileBytes(pinnedFile_, ReadFileBytes(pki_.*c.pinned));
        const std::string verdict = c.verdict == kTrusted
                                        ? c.verdict
                                        : std::string(
                                              "content has not been approved by trust "
                                              "provider. ") +
                                              c.verdict;
        const std::string line = "File location:" + path + "verifying file signature... " + verdict;

        if (c.make == Make::kMissing) {
            EXPECT_EQ(Check(path, -1), line);
            continue;
        }
        // Through a descriptor the caller keeps: its offset must not move.
        const platform::UniqueFd file(open(path.c_str(), O_RDONLY | O_CLOEXEC));
        ASSERT_EQ(lseek(file.Get(), 17, SEEK_SET), 17);
        EXPECT_EQ(Check(path, file.Get()), line);
        EXPECT_EQ(lseek(file.Get(), 0, SEEK_CUR), 17);
    }
}

TEST_F(TrustTest, SignedScriptStillRunsAndKeepsItsMode) {
    const std::string path = Signed(pki_.codeSigning);
    const std::string bytes = ReadFileBytes(path);
    ASSERT_GT(bytes.size(), kScript.size() + 40);
    EXPECT_EQ(bytes.substr(0, kScript.size()), kScript);
    EXPECT_EQ(bytes.substr(bytes.size() - 40, 8), std::string("\0\0\2\0\0\0\0\0", 8));
    EXPECT_EQ(bytes.substr(bytes.size() - 28), "~Module signature appended~\n");

    FILE* child = popen(path.c_str(), "r");
    ASSERT_NE(child, nullptr);
    char output[64] = {};
    const size_t got = fread(output, 1, sizeof output - 1, child);
    const int status = pclose(child);
    EXPECT_EQ(std::string(output, got), "signed\n");
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 3);
}

}  // namespace
