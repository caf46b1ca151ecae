// Whether a certificate may sign code. Shared by the signer (which refuses to sign with a
// certificate the verifier would reject) and the verifier.
#pragma once

#include <openssl/x509.h>

namespace platform::openssl {

// True when the certificate's extended key usage names code signing and its key usage, when
// present, allows digital signatures. A certificate without the extended key usage is refused:
// a publisher's certificate has to say that it is meant for code.
bool AllowsCodeSigning(X509* certificate);

// True when the certificate, above the signer on its path, does not restrict the extended key
// usage to purposes other than code signing: no such extension, or one naming code signing or
// any purpose.
bool LetsIssuedCertificatesSignCode(X509* certificate);

}  // namespace platform::openssl
