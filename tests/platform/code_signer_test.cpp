#include "platform/posix/trust/code_signer.h"

#include <filesystem>
#include <iterator>

#include "tests/support/isolated_env.h"
#include "tests/support/test_pki.h"

namespace {

using tern_test::TestCredential;

class CodeSignerTest : public tern_test::IsolatedTest {};

TEST_F(CodeSignerTest, RefusesWithAReasonAndWritesNothing) {
    const std::optional<tern_test::TestPki> pki = tern_test::CreateTestPki(env_.Root());
    ASSERT_TRUE(pki);
    const TestCredential& good = pki->codeSigning;
    const char* binary = "\177ELF payload";
    const TestCredential strayChain{good.key, good.certificate, pki->otherRoot};
    const struct {
        const char* name;
        const TestCredential& key;
        const TestCredential& certificate;
        const char* input;  // null: no input file
        const char* outputDirectory;
        const char* reason;
    } refusals[] = {
        {"key of another certificate", pki->otherCodeSigning, good, binary, "out",
         "does not belong to the certificate"},
        {"no code-signing usage", pki->noCodeSigning, pki->noCodeSigning, binary, "out",
         "does not allow code signing"},
        {"chain beside the signer's path", good, strayChain, binary, "out", "does not issue"},
        {"missing input", good, good, nullptr, "out", "cannot open the input"},
        {"unwritable output", good, good, binary, "missing/out", "cannot create a file in"},
    };
    const std::string directory = env_.Root() + "/out";
    for (const auto& r : refusals) {
        SCOPED_TRACE(r.name);
        std::filesystem::remove_all(directory);
        std::filesystem::create_directory(directory);
        if (r.input) tern_test::WriteFileBytes(directory + "/input", r.input);
        const std::string output = env_.Root() + "/" + r.outputDirectory + "/signed";
        const platform::SigningResult result =
            platform::SignFile(directory + "/input", r.key.key, r.certificate.certificate,
                               r.certificate.chain, output);
        EXPECT_FALSE(result.ok);
        EXPECT_NE(result.error.find(r.reason), std::string::npos) << result.error;
        EXPECT_FALSE(tern_test::FileExists(output));
        // No temporary file is left behind either.
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(directory), {}),
                  r.input ? 1 : 0);
    }
}

}  // namespace
