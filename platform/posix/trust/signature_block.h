// What a signature block may hold. A CMS SignedData has parts that its signature does not cover
// (unsigned attributes, certificates, revocation data, algorithm parameters); whatever travels
// there is appended to the payload unchecked. A block may hold only what verifying it needs.
// Internal to the trust units.
#pragma once

#include <openssl/cms.h>
#include <openssl/pkcs7.h>

#include <string>
#include <vector>

namespace platform::openssl {

// Empty when `der`, parsed as `cms`, is the canonical DER encoding of a SignedData that holds
// exactly one SHA-256 digest algorithm, only X.509 certificates, no revocation data, and one
// signer without unsigned attributes whose algorithms have no parameters (or NULL ones) and
// whose identifier repeats the signer certificate's bytes, over plain data; otherwise why not.
// Whether each certificate is on the signer's path is for the chain check.
std::string CheckSignatureBlock(const std::vector<unsigned char>& der, CMS_ContentInfo* cms,
                                X509* signer);

// The same for the PKCS#7 SignedData of an Authenticode signature, parsed as `pkcs7` with
// exactly one signer: its content is the caller's to check.
std::string CheckAuthenticodeBlock(const std::vector<unsigned char>& der, PKCS7* pkcs7,
                                   X509* signer);

}  // namespace platform::openssl
