#include "platform/posix/trust/der.h"

#include <openssl/objects.h>

#include <cstring>

namespace platform::openssl {

const Bytes kSha256WithNull = {0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                               0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00};
const Bytes kSha256 = {0x30, 0x0b, 0x06, 0x09, 0x60, 0x86, 0x48,
                       0x01, 0x65, 0x03, 0x04, 0x02, 0x01};

bool DerReader::Read(int objectClass, int tag, DerReader* content) {
    if (next_ == end_) return false;
    const unsigned char* cursor = next_;
    long length = 0;
    int gotTag = 0;
    int gotClass = 0;
    const int info = ASN1_get_object(&cursor, &length, &gotTag, &gotClass, end_ - next_);
    // 0x80: damage; bit 0: indefinite length, which DER never uses.
    if ((info & 0x81) != 0 || gotClass != objectClass || gotTag != tag) return false;
    if (content) *content = DerReader(cursor, cursor + length);
    next_ = cursor + length;
    return true;
}

bool DerReader::Next(const Bytes& element) {
    if (Size() < element.size() || std::memcmp(next_, element.data(), element.size()) != 0) {
        return false;
    }
    next_ += element.size();
    return true;
}

bool DerReader::Holds(const unsigned char* bytes, size_t size) const {
    return Size() == size && std::memcmp(next_, bytes, size) == 0;
}

Bytes DerOid(const char* oid) {
    ASN1_OBJECT* object = OBJ_txt2obj(oid, 1);
    Bytes der = object ? Encoded(object, i2d_ASN1_OBJECT) : Bytes{};
    ASN1_OBJECT_free(object);
    return der;
}

}  // namespace platform::openssl
