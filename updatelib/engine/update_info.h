// The update-information service: its request URL and the fields of its XML answer.
//
// The answer is <RESPONSE> holding PatchSize, PatchUrl, PatchCRC and PatchGameUpdate, each
// with a <VALUE> child; a RESPONSE without children means that no patch exists.
#pragma once

#include <cstdint>
#include <string>

class TiXmlElement;

namespace Tern {

struct PatchFields {
    uint32_t size = 0;
    std::string url;
    std::string crc;
    bool isGameUpdate = false;
};

// The service prefix (a build constant), the game id unescaped, and the fixed locale.
std::string BuildUpdateInfoUrl(const std::string& gameId);

// The text of the first child node of the element's first VALUE child, when that node is text
// or CDATA; otherwise empty.
std::string ReadValueText(const TiXmlElement& element);

// The leading unsigned decimal number of `text` (white space first is skipped); 0 when there is
// none, when it is negative, or when it does not fit 32 bits.
uint32_t ParseUnsigned(const std::string& text);

// Reads the patch fields from RESPONSE's children in document order (the last of a name wins;
// a PatchGameUpdate of "TRUE" cannot be reset). True when size (1 to 2^31-1), URL and checksum
// are all given.
bool ReadPatchFields(const TiXmlElement& response, PatchFields& fields);

}  // namespace Tern
