// A throw-away public-key infrastructure for the code-signing tests, generated at run time
// (EC P-256 unless said otherwise) and written as PEM files: no key is ever committed.
#pragma once

#include <optional>
#include <string>

#include "platform/trust/release_stamp.h"

namespace tern_test {

// PEM file paths of one signer; `chain` is empty when the issuer is the root itself.
struct TestCredential {
    std::string key;
    std::string certificate;
    std::string chain;
};

struct TestPki {
    std::string root;              // the test CA, self-signed
    std::string otherRoot;         // an unrelated CA, self-signed
    TestCredential codeSigning;    // test CA via its intermediate, extended key usage codeSigning
    TestCredential expired;        // as codeSigning, but its validity ended yesterday
    TestCredential notYetValid;    // as codeSigning, but valid from tomorrow
    TestCredential noCodeSigning;  // as codeSigning, but with serverAuth only
    TestCredential otherCodeSigning;  // issued by the other CA directly
    // As codeSigning, but via an intermediate restricted to serverAuth and clientAuth.
    TestCredential restrictedIssuer;
    TestCredential weakKey;     // as codeSigning, but an RSA key of 1024 bits
    TestCredential sha1Signed;  // as codeSigning, but its certificate signed with SHA-1
};

// What a signature block carries beside the signed parts.
enum class BlockExtra { None, UnsignedAttribute, RevocationList };

// Generates the infrastructure into the existing `directory`. Adds a test failure and answers
// nullopt when OpenSSL fails.
std::optional<TestPki> CreateTestPki(const std::string& directory);

// `payload` with an appended signature made by plain CMS_sign, with `extra`, the release stamp
// `stamp` when it has a release, and without the signer's checks: for files that a careful
// signer refuses to make. Empty on failure.
std::string SignWithoutChecks(const std::string& payload, const TestCredential& credential,
                              BlockExtra extra = BlockExtra::None,
                              const platform::ReleaseStamp& stamp = {});

}  // namespace tern_test
