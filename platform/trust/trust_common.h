// What every realisation of trust_provider.h shares: reading the pin. Internal to the trust units.
#pragma once

#include <string>

namespace platform {

// Whether `pem` holds at least one PEM certificate and no damaged one. Each realisation has its
// own.
bool HoldsPemCertificates(const std::string& pem);

// Whether nothing at all is at `path`, not even a link that leads nowhere. Each realisation has
// its own.
bool NothingAt(const std::string& path);

}  // namespace platform
