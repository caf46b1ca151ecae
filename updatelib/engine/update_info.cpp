#include "updatelib/engine/update_info.h"

#include <tinyxml.h>

#include <cstdint>
#include <sstream>

namespace Tern {

std::string BuildUpdateInfoUrl(const std::string& gameId) {
    return std::string(TERN_UPDATE_SERVICE_URL) +
           "/MatchMakingConfig.aspx?action=g_guc&gid=" + gameId + "&locale=en-US";
}

std::string ReadValueText(const TiXmlElement& element) {
    const TiXmlElement* value = element.FirstChildElement("VALUE");
    if (!value) return std::string();
    const TiXmlNode* first = value->FirstChild();
    if (!first || !first->ToText()) return std::string();
    return first->Value();
}

uint32_t ParseUnsigned(const std::string& text) {
    std::istringstream in(text);
    in >> std::ws;
    if (in.peek() == '-') return 0;
    uint32_t number = 0;
    if (!(in >> number)) return 0;
    return number;
}

bool ReadPatchFields(const TiXmlElement& response, PatchFields& fields) {
    fields = PatchFields();
    for (const TiXmlNode* node = response.FirstChild(); node; node = node->NextSibling()) {
        const TiXmlElement* element = node->ToElement();
        if (!element) continue;
        const std::string name = element->Value();
        if (name == "PatchSize") {
            const std::string text = ReadValueText(*element);
            if (!text.empty()) fields.size = ParseUnsigned(text);
        } else if (name == "PatchUrl") {
            fields.url = ReadValueText(*element);
        } else if (name == "PatchCRC") {
            fields.crc = ReadValueText(*element);
        } else if (name == "PatchGameUpdate") {
            if (ReadValueText(*element) == "TRUE") fields.isGameUpdate = true;
        }
    }
    // Sizes are 32-bit signed in the update model: a larger one cannot be a real patch.
    const bool sizeFits = fields.size != 0 && fields.size <= INT32_MAX;
    return sizeFits && !fields.url.empty() && !fields.crc.empty();
}

}  // namespace Tern
