#include "platform/posix/trust/openssl_handles.h"

#include <openssl/err.h>
#include <openssl/pem.h>

namespace platform::openssl {

ErrorQueueScope::ErrorQueueScope() { ERR_clear_error(); }

ErrorQueueScope::~ErrorQueueScope() { ERR_clear_error(); }

bool ReadPemCertificates(BIO* in, STACK_OF(X509) * certificates) {
    // Never prompts on a terminal for a passphrase: certificates are not encrypted.
    const auto refusePassphrase = [](char*, int, int, void*) { return -1; };
    const int before = sk_X509_num(certificates);
    ERR_clear_error();
    while (X509* certificate = PEM_read_bio_X509(in, nullptr, refusePassphrase, nullptr)) {
        if (!sk_X509_push(certificates, certificate)) {
            X509_free(certificate);
            return false;
        }
    }
    // Reading stops at the end of the text with "no start line"; anything else is damage.
    const unsigned long last = ERR_peek_last_error();
    const bool ended =
        ERR_GET_LIB(last) == ERR_LIB_PEM && ERR_GET_REASON(last) == PEM_R_NO_START_LINE;
    ERR_clear_error();
    return ended && sk_X509_num(certificates) > before;
}

std::string FirstErrorText(const std::string& fallback) {
    const unsigned long error = ERR_peek_error();
    if (error == 0) return fallback;
    const char* reason = ERR_reason_error_string(error);
    return reason ? reason : fallback;
}

}  // namespace platform::openssl
