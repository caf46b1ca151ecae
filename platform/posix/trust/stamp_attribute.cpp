#include "platform/posix/trust/stamp_attribute.h"

#include <openssl/objects.h>

#include <iterator>
#include <memory>

#include "platform/posix/trust/der.h"

namespace platform::openssl {
namespace {

using ObjectPtr = std::unique_ptr<ASN1_OBJECT, Deleter<ASN1_OBJECT, ASN1_OBJECT_free>>;

// The attributes are encoded again, one after the other, so that both systems find the stamp by
// the same walk (release_stamp.h).
template <typename AttributeAt>
StampReading ReadStampAmong(int count, AttributeAt attributeAt, ReleaseStamp* stamp) {
    Bytes all;
    for (int i = 0; i < count; ++i) {
        const Bytes attribute = Encoded<X509_ATTRIBUTE>(attributeAt(i), i2d_X509_ATTRIBUTE);
        if (attribute.empty()) return StampReading::Malformed;
        all.insert(all.end(), attribute.begin(), attribute.end());
    }
    return FindReleaseStamp(all.data(), all.size(), stamp);
}

}  // namespace

StampReading ReadStamp(CMS_SignerInfo* signer, ReleaseStamp* stamp) {
    return ReadStampAmong(
        CMS_signed_get_attr_count(signer),
        [signer](int i) { return CMS_signed_get_attr(signer, i); }, stamp);
}

StampReading ReadStamp(const PKCS7_SIGNER_INFO* signer, ReleaseStamp* stamp) {
    const STACK_OF(X509_ATTRIBUTE)* attributes = signer->auth_attr;
    return ReadStampAmong(
        X509at_get_attr_count(attributes),
        [attributes](int i) { return X509at_get_attr(attributes, i); }, stamp);
}

bool AddStamp(CMS_SignerInfo* signer, const ReleaseStamp& stamp) {
    const unsigned char* oid = kReleaseStampOidDer;
    const ObjectPtr type(d2i_ASN1_OBJECT(nullptr, &oid, sizeof kReleaseStampOidDer));
    const Bytes value = EncodeReleaseStamp(stamp);
    return type && CMS_signed_add1_attr_by_OBJ(signer, type.get(), V_ASN1_SEQUENCE, value.data(),
                                               static_cast<int>(value.size())) == 1;
}

SignedAttribute StampAttribute(const ReleaseStamp& stamp) {
    return {Bytes(std::begin(kReleaseStampOidDer), std::end(kReleaseStampOidDer)),
            DerElement(der::kSet, {EncodeReleaseStamp(stamp)})};
}

}  // namespace platform::openssl
