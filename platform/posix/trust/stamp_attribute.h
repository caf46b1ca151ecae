// The release stamp (platform/trust/release_stamp.h) as a signed attribute of a CMS or an
// Authenticode signer. Internal to the trust units.
#pragma once

#include <openssl/cms.h>
#include <openssl/pkcs7.h>

#include "platform/posix/trust/authenticode.h"
#include "platform/trust/release_stamp.h"

namespace platform::openssl {

// Reads the stamp among the signed attributes of `signer`: Malformed when the attribute is
// there twice, or with other than one well-formed value.
StampReading ReadStamp(CMS_SignerInfo* signer, ReleaseStamp* stamp);
StampReading ReadStamp(const PKCS7_SIGNER_INFO* signer, ReleaseStamp* stamp);

// Adds `stamp` to the signed attributes of `signer`, which is not signed yet.
bool AddStamp(CMS_SignerInfo* signer, const ReleaseStamp& stamp);

// `stamp` as an attribute of MakeAuthenticodeSignature's list.
SignedAttribute StampAttribute(const ReleaseStamp& stamp);

}  // namespace platform::openssl
