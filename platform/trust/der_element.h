// Reading and writing DER elements byte by byte, for the few structures the trust units look into
// or build themselves on both systems (release_stamp.h, pe_image.h, and on Linux the signer).
// Internal to the trust units.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <vector>

namespace platform::der {

using Bytes = std::vector<unsigned char>;

constexpr unsigned char kInteger = 0x02;
constexpr unsigned char kOctetString = 0x04;
constexpr unsigned char kUtf8String = 0x0c;
constexpr unsigned char kSequence = 0x30;
constexpr unsigned char kSet = 0x31;
constexpr unsigned char kExplicit0 = 0xa0;  // also [0] IMPLICIT of a constructed type

// One element: where it begins (its tag's byte), its tag and its content.
struct Element {
    const unsigned char* begin = nullptr;
    unsigned char tag = 0;
    const unsigned char* content = nullptr;
    size_t size = 0;
};

// Reads the element at `*at` before `end` (a one-byte tag, a definite length of at most four
// bytes in its shortest form, content within `end`) and moves past it; false, with `*at`
// unspecified, otherwise.
bool ReadElement(const unsigned char** at, const unsigned char* end, Element* element);
// The same for an element that must carry `tag`.
bool ReadElement(const unsigned char** at, const unsigned char* end, unsigned char tag,
                 Element* element);

// The element of `tag` whose content is `parts`, one after the other.
Bytes DerElement(unsigned char tag, std::initializer_list<Bytes> parts);

}  // namespace platform::der
