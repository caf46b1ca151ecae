#include "updatelib/base/shallow_xml.h"

#include <gtest/gtest.h>
#include <tinyxml.h>

#include <algorithm>
#include <random>
#include <utility>
#include <vector>

namespace {

// The most elements around any node of the tree TinyXML built, also from a document it gave up
// on: the depth its recursion reached.
int ParsedDepth(const std::string& text) {
    TiXmlDocument document;
    document.Parse((text + std::string(8, '\0')).c_str(), nullptr, TIXML_DEFAULT_ENCODING);
    int deepest = 0;
    std::vector<std::pair<const TiXmlNode*, int>> pending{{&document, 0}};
    while (!pending.empty()) {
        const auto [node, depth] = pending.back();
        pending.pop_back();
        deepest = std::max(deepest, depth);
        const int inside = depth + (node->ToElement() ? 1 : 0);
        for (const TiXmlNode* child = node->FirstChild(); child; child = child->NextSibling()) {
            pending.push_back({child, inside});
        }
    }
    return deepest;
}

// Documents of fragments that end or hide nodes in ways a looser reading would get wrong: the
// count is never below the depth the parser reaches.
TEST(ShallowXml, DepthIsNeverBelowTheParsersOwn) {
    const std::vector<std::string> fragments = {"<a>",
                                                "</a>",
                                                "<b x='1'>",
                                                "</b>",
                                                "<c/>",
                                                "<?x>",
                                                "?>",
                                                "<!--",
                                                "-->",
                                                "<;\"",
                                                "\"",
                                                "'",
                                                "<![CDATA[",
                                                "]]>",
                                                "<!DOCTYPE",
                                                "/>",
                                                ">",
                                                "<",
                                                " ",
                                                "text",
                                                "=",
                                                " y=\"",
                                                "&#x41;",
                                                "<?xml version=\"1.0\"?>",
                                                "<?xml encoding='latin1'?>",
                                                "\xEF\xBB\xBF",
                                                "\xC3",
                                                "\xE2",
                                                "\xF0",
                                                "\xC3\xA9"};
    std::mt19937 random(16);
    for (int i = 0; i < 20000; ++i) {
        std::string text;
        for (size_t n = random() % 40; n > 0; --n) text += fragments[random() % fragments.size()];
        ASSERT_GE(Tern::ElementDepth(text), ParsedDepth(text)) << text;
    }
}

}  // namespace
