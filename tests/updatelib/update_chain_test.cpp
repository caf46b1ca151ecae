#include "updatelib/chain/update_chain.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "tests/support/test_host.h"

namespace {

using Tern::TargetId;

// A target (a, b, "all") writes the same key as (a, "all", b) and reads back as the latter.
TEST(TargetIdKeys, KeysAreWrittenAndReadBack) {
    const TargetId none("", "", "");
    const struct {
        TargetId target;
        std::string key;
        TargetId readBack;
    } cases[] = {
        {TargetId("Patch", "all", "all"), "Patch", TargetId("Patch", "all", "all")},
        {TargetId("a", "all", "c"), "a_c", TargetId("a", "all", "c")},
        {TargetId("a", "b", "c"), "a_b_c", TargetId("a", "b", "c")},
        {TargetId("a", "b", "all"), "a_b", TargetId("a", "all", "b")},
        {none, "a__b", TargetId("a", "all", "b")},
        {none, "_a_b_", TargetId("a", "all", "b")},
        {none, "a_b_c_d", none},
        {none, "___", none},
        {none, "", none},
    };
    for (const auto& c : cases) {
        EXPECT_TRUE(c.target == none || c.target.ToKey() == c.key);
        EXPECT_EQ(TargetId::FromKey(c.key), c.readBack) << c.key;
    }
    EXPECT_NE(TargetId("Patch", "all", "all"), TargetId("patch", "all", "all"));
}

// Every update is asked about in order; a declined one is skipped, a failed start stops nothing.
TEST(UpdateChain, RunChainStartsTheConfirmedUpdatesInOrder) {
    Tern::UpdateChain chain;
    for (const char* product : {"One", "Two", "Three"}) {
        chain.Add(Tern::Update(TargetId(product, "all", "all"), {}, "0", 1, "", {}, false, ""));
    }
    tern_test::TestHost host;
    std::vector<std::pair<uint32_t, uint32_t>> questions;
    host.confirmRunUpdate = [&](uint32_t count, uint32_t index) {
        questions.emplace_back(count, index);
        return index != 1;
    };
    std::vector<std::string> started;
    EXPECT_FALSE(chain.runChain(host.Observer(), [&](Tern::Update& update) {
        started.push_back(update.target.product);
        return false;
    }));
    EXPECT_EQ(started, (std::vector<std::string>{"Two", "Three"}));
    EXPECT_EQ(questions, (std::vector<std::pair<uint32_t, uint32_t>>{{3, 1}, {3, 2}, {3, 3}}));
}

}  // namespace
