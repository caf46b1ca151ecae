#include "platform/trust/code_signer.h"

#include <filesystem>

#include "tests/support/isolated_env.h"
#include "tests/support/test_pki.h"

namespace {

using tern_test::TestCredential;
using tern_test::TestPki;

struct Refusal {
    const char* name;
    TestCredential TestPki::*keyOf;
    TestCredential TestPki::*certificateOf;
    const char* input;  // null: no input file
    const char* outputDirectory;
    const char* reason;
};

size_t EntryCount(const std::string& directory) {
    std::error_code ignored;
    auto entries = std::filesystem::directory_iterator(directory, ignored);
    return static_cast<size_t>(std::distance(begin(entries), end(entries)));
}

class CodeSignerTest : public tern_test::IsolatedTest {};

TEST_F(CodeSignerTest, RefusesWithAReasonAndWritesNothing) {
    std::optional<TestPki> pki = tern_test::CreateTestPki(env_.Root());
    ASSERT_TRUE(pki);
    const char* binary =
        "\x7f"
        "ELF payload";
    const Refusal refusals[] = {
        {"key of another certificate", &TestPki::otherCodeSigning, &TestPki::codeSigning, binary,
         "out", "does not belong to the certificate"},
        {"no code-signing usage", &TestPki::noCodeSigning, &TestPki::noCodeSigning, binary, "out",
         "does not allow code signing"},
        {"script without exit", &TestPki::codeSigning, &TestPki::codeSigning,
         "#!/bin/sh\necho hi\n", "out", "shell script"},
        {"script exit without newline", &TestPki::codeSigning, &TestPki::codeSigning,
         "#!/bin/sh\necho hi\nexit 0", "out", "shell script"},
        {"script exit not last", &TestPki::codeSigning, &TestPki::codeSigning,
         "#!/bin/sh\nexit 0\necho hi\n", "out", "shell script"},
        {"missing input", &TestPki::codeSigning, &TestPki::codeSigning, nullptr, "out",
         "cannot open the input"},
        {"unwritable output", &TestPki::codeSigning, &TestPki::codeSigning, binary, "missing/out",
         "cannot create a file in"},
    };
    const std::string directory = env_.Root() + "/out";
    for (const Refusal& r : refusals) {
        SCOPED_TRACE(r.name);
        std::filesystem::remove_all(directory);
        std::filesystem::create_directory(directory);
        const std::string input = directory + "/input";
        if (r.input) tern_test::WriteFileBytes(input, r.input);
        const std::string output = env_.Root() + "/" + r.outputDirectory + "/signed";

        const platform::SigningResult result =
            platform::SignFile(input, ((*pki).*r.keyOf).key, ((*pki).*r.certificateOf).certificate,
                               ((*pki).*r.certificateOf).chain, output);
        EXPECT_FALSE(result.ok);
        EXPECT_NE(result.error.find(r.reason), std::string::npos) << result.error;
        EXPECT_FALSE(tern_test::FileExists(output));
        EXPECT_EQ(EntryCount(directory), r.input ? 1u : 0u);  // no leftover temporary file
    }
}

}  // namespace
