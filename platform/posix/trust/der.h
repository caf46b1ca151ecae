// Reading and writing the few DER structures the signature units look into or build themselves
// (OpenSSL's own encoders cover the rest). Internal to the trust units.
#pragma once

#include <openssl/asn1.h>

#include <cstddef>
#include <string>
#include <vector>

#include "platform/trust/der_element.h"

namespace platform::openssl {

using der::Bytes;
using der::DerElement;

// The content of each element of a DER structure in turn.
class DerReader {
public:
    DerReader() = default;
    DerReader(const unsigned char* begin, const unsigned char* end) : next_(begin), end_(end) {}

    bool AtEnd() const { return next_ == end_; }
    // What is left to read.
    const unsigned char* Data() const { return next_; }
    size_t Size() const { return static_cast<size_t>(end_ - next_); }

    // Reads the next element when its class and tag are these: false otherwise, with nothing
    // read.
    bool Read(int objectClass, int tag, DerReader* content = nullptr);
    // Reads the next element when it is `element`, byte for byte.
    bool Next(const Bytes& element);
    bool Holds(const unsigned char* bytes, size_t size) const;

private:
    const unsigned char* next_ = nullptr;
    const unsigned char* end_ = nullptr;
};

// The AlgorithmIdentifier of SHA-256, with NULL parameters and without.
extern const Bytes kSha256WithNull;
extern const Bytes kSha256;

// The OBJECT IDENTIFIER element of the dotted `oid`.
Bytes DerOid(const char* oid);

// The DER of an OpenSSL object by its i2d function; empty when it cannot be encoded.
template <typename T>
Bytes Encoded(const T* object, int (*encode)(const T*, unsigned char**)) {
    const int size = encode(object, nullptr);
    Bytes der(size > 0 ? static_cast<size_t>(size) : 0);
    unsigned char* cursor = der.data();
    if (size <= 0 || encode(object, &cursor) != size) der.clear();
    return der;
}

}  // namespace platform::openssl
