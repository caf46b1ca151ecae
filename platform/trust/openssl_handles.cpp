#include "platform/trust/openssl_handles.h"

#include <openssl/err.h>

namespace platform::openssl {

ErrorQueueScope::ErrorQueueScope() { ERR_clear_error(); }

ErrorQueueScope::~ErrorQueueScope() { ERR_clear_error(); }

std::string FirstErrorText(const std::string& fallback) {
    const unsigned long error = ERR_peek_error();
    if (error == 0) return fallback;
    const char* reason = ERR_reason_error_string(error);
    return reason ? reason : fallback;
}

}  // namespace platform::openssl
