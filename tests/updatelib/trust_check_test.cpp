#include "updatelib/transfer/trust_check.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>

#include "platform/trust/code_signer.h"
#include "platform/unique_fd.h"
#include "tests/support/isolated_env.h"
#include "tests/support/test_pki.h"
#include "tests/updatelib/update_test_support.h"
#include "updatelib/base/file_functions.h"

namespace {

using tern_test::ReadFileBytes;
using tern_test::TestCredential;
using tern_test::TestPki;
using tern_test::WriteFileBytes;

// A script longer than one read of the digest, so that the payload streams in many pieces.
const std::string kScript = "#!/bin/sh\n# " + std::string(70000, 'x') + "\necho signed\nexit 3\n";

class TrustTest : public tern_test::IsolatedTest {
protected:
    void SetUp() override {
        std::optional<TestPki> pki = tern_test::CreateTestPki(env_.Root());
        ASSERT_TRUE(pki);
        pki_ = *pki;
        // Keep the machine's own roots out of every answer.
        setenv("SSL_CERT_DIR", env_.Root().c_str(), 1);
        WriteFileBytes(script_, kScript);
    }
    ~TrustTest() override { unlink(pinnedFile_.c_str()); }

    std::string Signed(const TestCredential& signer) {
        const std::string path = env_.Root() + "/signed";
        const platform::SigningResult result =
            platform::SignFile(script_, signer.key, signer.certificate, signer.chain, path);
        EXPECT_TRUE(result.ok) << result.error;
        return ReadFileBytes(path);
    }

    TestPki pki_;
    const std::string script_ = env_.Root() + "/script";
    const std::string pinnedFile_ = Tern::GetExecutableDirectory() + "/Resources/trust.pem";
    tern_test::CapturedDiagnostics diagnostics_{Tern::TrustChannel()};
};

TEST_F(TrustTest, OnlySignaturesOfTrustedPublishersAreApproved) {
    const std::string good = Signed(pki_.codeSigning);
    // The layout of the kernel's module signatures: a descriptor of id type 2, then the marker.
    EXPECT_EQ(good.substr(good.size() - 40, 8), std::string("\0\0\2\0\0\0\0\0", 8));
    EXPECT_EQ(good.substr(good.size() - 28), "~Module signature appended~\n");
    std::string payloadChanged = good, oversizedLength = good, garbledCms = good;
    payloadChanged[kScript.size() / 2] ^= 1;
    oversizedLength[good.size() - 32] = 0x7f;
    garbledCms[kScript.size()] ^= 0x40;
    struct Case {
        const char* what;
        std::optional<std::string> file;    // nullopt: no file
        std::string TestPki::*systemRoots;  // what SSL_CERT_FILE names
        std::string TestPki::*pinned;       // Resources/trust.pem beside the program; null: none
        const char* error;                  // null: trusted
    };
    const Case cases[] = {
        {"trusted", good, &TestPki::root, nullptr, nullptr},
        {"unsigned", kScript, &TestPki::root, nullptr, "0x800b0100"},
        {"payload changed", payloadChanged, &TestPki::root, nullptr, "0x80096010"},
        {"truncated trailer", good.substr(0, good.size() - 1), &TestPki::root, nullptr,
         "0x800b0100"},
        {"length beyond the file", oversizedLength, &TestPki::root, nullptr, "0x800b0100"},
        {"garbled CMS", garbledCms, &TestPki::root, nullptr, "0x800b0100"},
        {"unknown CA", Signed(pki_.otherCodeSigning), &TestPki::root, nullptr, "0x800b0109"},
        {"expired", Signed(pki_.expired), &TestPki::root, nullptr, "0x800b0101"},
        {"not yet valid", Signed(pki_.notYetValid), &TestPki::root, nullptr, "0x800b0101"},
        {"no code-signing usage", tern_test::SignWithoutChecks(kScript, pki_.noCodeSigning),
         &TestPki::root, nullptr, "0x800b0110"},
        {"missing file", std::nullopt, &TestPki::root, nullptr, "0x80070002"},
        {"pinned root", good, &TestPki::otherRoot, &TestPki::root, nullptr},
        {"pinned other CA", good, &TestPki::root, &TestPki::otherRoot, "0x800b0109"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string path = env_.Root() + "/checked";
        unlink(path.c_str());
        if (c.file) WriteFileBytes(path, *c.file);
        setenv("SSL_CERT_FILE", (pki_.*c.systemRoots).c_str(), 1);
        unlink(pinnedFile_.c_str());
        if (c.pinned) WriteFileBytes(pinnedFile_, ReadFileBytes(pki_.*c.pinned));
        const std::string line =
            "File location:" + path + "verifying file signature... " +
            (c.error ? std::string("content has not been approved by trust provider. Win32 "
                                   "Hresult=") +
                           c.error + "\n"
                     : "content approoved.\n");
        // Through a descriptor the caller keeps: its offset must not move.
        const platform::UniqueFd file(open(path.c_str(), O_RDONLY | O_CLOEXEC));
        lseek(file.Get(), 17, SEEK_SET);
        diagnostics_.str("");

        EXPECT_EQ(Tern::verifyFileTrust(path, file.Get()), c.error == nullptr);

        EXPECT_EQ(diagnostics_.str(), line);
        EXPECT_EQ(lseek(file.Get(), 0, SEEK_CUR), file.Valid() ? 17 : -1);
    }
}

}  // namespace
