#include "platform/posix/trust/code_signer.h"

#include <filesystem>
#include <iterator>

#include "platform/posix/trust/der.h"
#include "platform/trust/release_stamp.h"

#include "tests/support/child_process.h"
#include "tests/support/isolated_env.h"
#include "tests/support/test_pki.h"

namespace {

using tern_test::RunChild;
using tern_test::TestCredential;

// A PE32 program as a linker lays one out: its headers in 0x200 bytes, then one section of code
// (a return and zeros), then three bytes of other data, so that the table needs padding.
std::string MinimalProgram() {
    std::string image(0x403, '\0');
    // Each field that is not zero (offset, value, size): "MZ" and the PE header's offset; "PE",
    // i386, one section, the optional header's size, an executable; the PE32 optional header
    // (at 0x58) with its entry point, image base, alignments, versions, image and header sizes,
    // a console program, 16 directories; the .text section's sizes, address, offset and kind.
    const struct {
        size_t offset;
        uint32_t value;
        int size;
    } fields[] = {{0x00, 0x5a4d, 2}, {0x3c, 0x40, 4},     {0x40, 0x4550, 4},     {0x44, 0x14c, 2},
                  {0x46, 1, 2},      {0x54, 0xe0, 2},     {0x56, 0x102, 2},      {0x58, 0x10b, 2},
                  {0x68, 0x1000, 4}, {0x74, 0x400000, 4}, {0x78, 0x1000, 4},     {0x7c, 0x200, 4},
                  {0x80, 4, 2},      {0x88, 4, 2},        {0x90, 0x2000, 4},     {0x94, 0x200, 4},
                  {0x9c, 3, 2},      {0xb4, 16, 4},       {0x140, 0x200, 4},     {0x144, 0x1000, 4},
                  {0x148, 0x200, 4}, {0x14c, 0x200, 4},   {0x15c, 0x60000020, 4}};
    for (const auto& field : fields) {
        for (int i = 0; i < field.size; ++i) {
            image[field.offset + i] = static_cast<char>(field.value >> (8 * i));
        }
    }
    image.replace(0x138, 5, ".text");
    image[0x200] = '\xc3';
    return image;
}

using Bytes = std::vector<unsigned char>;

Bytes Element(unsigned char tag, const Bytes& content) {
    Bytes element{tag, static_cast<unsigned char>(content.size())};
    element.insert(element.end(), content.begin(), content.end());
    return element;
}

Bytes Joined(std::initializer_list<Bytes> parts) {
    Bytes joined;
    for (const Bytes& part : parts) joined.insert(joined.end(), part.begin(), part.end());
    return joined;
}

// The stamp's value is read only in the one form its encoder writes, and found only once among a
// signer's attributes.
TEST(ReleaseStampTest, OnlyTheCanonicalFormOfAWellFormedStampIsRead) {
    using platform::ReleaseStamp;
    for (const ReleaseStamp& stamp : {ReleaseStamp{"Skyreach", 1}, ReleaseStamp{"Skyreach", 0x80},
                                      ReleaseStamp{"\xc3\x89"
                                                   "dition",
                                                   0xffffffff}}) {
        const Bytes der = platform::EncodeReleaseStamp(stamp);
        ReleaseStamp read;
        EXPECT_TRUE(platform::DecodeReleaseStamp(der.data(), der.size(), &read));
        EXPECT_EQ(read.product, stamp.product);
        EXPECT_EQ(read.release, stamp.release);
    }
    const auto stamp = [](const Bytes& product, const Bytes& release) {
        return Element(0x30, Joined({Element(0x0c, product), Element(0x02, release)}));
    };
    const Bytes name{'S', 'k', 'y'};
    const std::pair<const char*, Bytes> refused[] = {
        {"bytes after it", Joined({stamp(name, {1}), {0}})},
        {"release 0", stamp(name, {0})},
        {"negative release", stamp(name, {0x80})},
        {"release with a needless zero", stamp(name, {0, 1})},
        {"release over 32 bits", stamp(name, {1, 0, 0, 0, 0})},
        {"long-form length", {0x30, 0x81, 0x08, 0x0c, 0x03, 'S', 'k', 'y', 0x02, 0x01, 0x01}},
        {"empty product", stamp({}, {1})},
        {"control character", stamp({'S', 0x07}, {1})},
        {"overlong UTF-8", stamp({'S', 0xc0, 0x80}, {1})},
        {"product over 100 bytes", stamp(Bytes(101, 'S'), {1})},
    };
    for (const auto& [what, der] : refused) {
        ReleaseStamp read;
        EXPECT_FALSE(platform::DecodeReleaseStamp(der.data(), der.size(), &read)) << what;
    }
    const Bytes type(std::begin(platform::kReleaseStampOidDer),
                     std::end(platform::kReleaseStampOidDer));
    EXPECT_EQ(platform::openssl::DerOid(platform::kReleaseStampOid), type);
    const Bytes value = platform::EncodeReleaseStamp({"Skyreach", 3});
    const Bytes attribute = Element(0x30, Joined({type, Element(0x31, value)}));
    const Bytes other =
        Element(0x30, Joined({{0x06, 0x03, 0x2a, 0x03, 0x04}, Element(0x31, value)}));
    const std::tuple<const char*, Bytes, platform::StampReading> attributes[] = {
        {"once", Joined({other, attribute}), platform::StampReading::Read},
        {"another type only", other, platform::StampReading::Absent},
        {"twice", Joined({attribute, attribute}), platform::StampReading::Malformed},
        {"two values", Element(0x30, Joined({type, Element(0x31, Joined({value, value}))})),
         platform::StampReading::Malformed},
    };
    for (const auto& [what, der, reading] : attributes) {
        ReleaseStamp read;
        EXPECT_EQ(platform::FindReleaseStamp(der.data(), der.size(), &read), reading) << what;
    }
}

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

// tern-publish signs a PE program with Authenticode, its release stamp among the authenticated
// attributes. It and osslsigncode, an independent reader of the format, agree on what is
// trusted; tern-publish refuses what Windows would let pass.
TEST_F(CodeSignerTest, SignsProgramsWithAuthenticodeThatOthersVerify) {
    const std::optional<tern_test::TestPki> pki = tern_test::CreateTestPki(env_.Root());
    ASSERT_TRUE(pki);
    const TestCredential& signer = pki->codeSigning;
    const std::string dir = env_.Root() + "/";
    tern_test::WriteFileBytes(dir + "program.exe", MinimalProgram());
    const auto sign = [&](const std::string& input) {
        return RunChild({TERN_PUBLISH, "sign", "--key", signer.key, "--cert", signer.certificate,
                         "--chain", signer.chain, "--product", "Skyreach", "--release", "3",
                         dir + input, dir + "signed.exe"});
    };
    ASSERT_EQ(sign("program.exe").exitCode, 0);
    std::string signedBytes = tern_test::ReadFileBytes(dir + "signed.exe");
    tern_test::WriteFileBytes(dir + "after_table.exe", signedBytes + "x");
    signedBytes[0x200] ^= 1;
    tern_test::WriteFileBytes(dir + "tampered.exe", signedBytes);
    ASSERT_EQ(RunChild({TERN_OSSLSIGNCODE, "add", "-addUnauthenticatedBlob", "-in",
                        dir + "signed.exe", "-out", dir + "blob.exe"})
                  .exitCode,
              0);
    const struct {
        const char* program;
        const std::string& pin;
        const char* verdict;  // part of what verify prints
        int otherVerdict;     // osslsigncode's exit code; -1: not asked
    } cases[] = {
        {"signed.exe", pki->root, "trusted\nproduct: Skyreach\nrelease: 3\n", 0},
        {"tampered.exe", pki->root, "does not match the digest", 1},
        {"signed.exe", pki->otherRoot, "certificate chain", 1},
        {"blob.exe", pki->root, "unsigned attributes", -1},
        {"after_table.exe", pki->root, "does not end the file", -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.program);
        const tern_test::ChildResult ours =
            RunChild({TERN_PUBLISH, "verify", "--pinned", c.pin, dir + c.program});
        EXPECT_EQ(ours.exitCode, std::string(c.verdict).rfind("trusted", 0) == 0 ? 0 : 1);
        EXPECT_NE(ours.standardOutput.find(c.verdict), std::string::npos) << ours.standardOutput;
        if (c.otherVerdict >= 0) {
            EXPECT_EQ(
                RunChild({TERN_OSSLSIGNCODE, "verify", "-CAfile", c.pin, "-in", dir + c.program})
                    .exitCode,
                c.otherVerdict);
        }
    }
    tern_test::WriteFileBytes(dir + "malformed.exe", MinimalProgram().substr(0, 0x180));
    for (const auto& [input, reason] :
         {std::pair{"signed.exe", "already has a certificate table"},
          std::pair{"malformed.exe", "not a well-formed PE program"}}) {
        EXPECT_NE(sign(input).standardError.find(reason), std::string::npos) << input;
    }
}

}  // namespace
