#include "updatelib/base/shallow_xml.h"

#include <gtest/gtest.h>
#include <tinyxml.h>

#include <algorithm>
#include <random>
#include <sstream>
#include <vector>

namespace {

// The most elements around any node below `node`.
int Depth(const TiXmlNode& node) {
    int deepest = 0;
    for (const TiXmlNode* child = node.FirstChild(); child; child = child->NextSibling()) {
        deepest = std::max(deepest, Depth(*child) + (node.ToElement() ? 1 : 0));
    }
    return deepest;
}

// Documents of fragments that end or hide nodes where a looser reading would not: the count is
// never below the depth TinyXML reaches, in the tree it builds even of a document it gives up on.
TEST(ShallowXml, DepthIsNeverBelowTheParsersOwn) {
    std::vector<std::string> fragments;
    std::istringstream list(
        "<a>|</a>|<b x='1'>|</b>|<c/>|<?x>|?>|<!--|-->|<;\"|\"|'|<![CDATA[|]]>|<!DOCTYPE|/>|>|<| |"
        "text|=| y=\"|&#x41;|<?xml version=\"1.0\"?>|<?xml encoding='latin1'?>|\xEF\xBB\xBF|"
        "\xC3|\xE2|\xF0|\xC3\xA9");
    for (std::string fragment; std::getline(list, fragment, '|');) fragments.push_back(fragment);
    std::mt19937 random(16);
    for (int i = 0; i < 20000; ++i) {
        std::string text;
        for (size_t n = random() % 40; n > 0; --n) text += fragments[random() % fragments.size()];
        TiXmlDocument document;  // the parser may read a few bytes past the terminator
        document.Parse((text + std::string(8, '\0')).c_str(), nullptr, TIXML_DEFAULT_ENCODING);
        ASSERT_GE(Tern::ElementDepth(text), Depth(document)) << text;
    }
}

}  // namespace
