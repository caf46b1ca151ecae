#include "platform/posix/trust/code_signing_usage.h"

#include <openssl/x509v3.h>

namespace platform::openssl {

bool AllowsCodeSigning(X509* certificate) {
    const uint32_t extensions = X509_get_extension_flags(certificate);
    if (!(extensions & EXFLAG_XKUSAGE)) return false;
    if (!(X509_get_extended_key_usage(certificate) & XKU_CODE_SIGN)) return false;
    return !(extensions & EXFLAG_KUSAGE) ||
           (X509_get_key_usage(certificate) & KU_DIGITAL_SIGNATURE);
}

bool LetsIssuedCertificatesSignCode(X509* certificate) {
    if (!(X509_get_extension_flags(certificate) & EXFLAG_XKUSAGE)) return true;
    return X509_get_extended_key_usage(certificate) & (XKU_CODE_SIGN | XKU_ANYEKU);
}

}  // namespace platform::openssl
