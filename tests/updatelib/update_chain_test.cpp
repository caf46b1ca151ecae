#include "updatelib/chain/update_chain.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "updatelib/base/update_observer.h"

namespace {

using Tern::TargetId;
using Tern::Update;

TEST(TargetIdKeys, KeysReadBackForWildcardQualifierOrSpecificSubqualifier) {
    const std::vector<std::pair<TargetId, std::string>> cases = {
        {TargetId("Patch", "all", "all"), "Patch"},
        {TargetId("a", "all", "c"), "a_c"},
        {TargetId("a", "b", "c"), "a_b_c"},
    };
    for (const auto& [target, key] : cases) {
        EXPECT_EQ(target.ToKey(), key);
        EXPECT_EQ(TargetId::FromKey(key), target) << key;
    }
}

TEST(TargetIdKeys, SpecificQualifierWithWildcardSubqualifierReadsBackSwapped) {
    const TargetId target("a", "b", "all");
    EXPECT_EQ(target.ToKey(), "a_b");
    EXPECT_EQ(TargetId::FromKey(target.ToKey()), TargetId("a", "all", "b"));
}

TEST(TargetIdKeys, FromKeyDropsEmptyPartsAndRejectsOtherCounts) {
    const TargetId none("", "", "");
    const std::vector<std::pair<std::string, TargetId>> cases = {
        {"Patch", TargetId("Patch", "all", "all")},
        {"a_b", TargetId("a", "all", "b")},
        {"a_b_c", TargetId("a", "b", "c")},
        {"a__b", TargetId("a", "all", "b")},
        {"_a_b_", TargetId("a", "all", "b")},
        {"a_b_c_d", none},
        {"", none},
        {"___", none},
    };
    for (const auto& [key, target] : cases) {
        EXPECT_EQ(TargetId::FromKey(key), target) << "key '" << key << "'";
    }
}

TEST(TargetIdKeys, TextAndCaseSensitiveEquality) {
    EXPECT_EQ(TargetId("Patch", "all", "x").ToText(), "(Patch, all, x)");
    EXPECT_NE(TargetId("Patch", "all", "all"), TargetId("patch", "all", "all"));
    EXPECT_NE(TargetId("a", "b", "c"), TargetId("a", "c", "b"));
}

Update MinimalUpdate() {
    return Update(TargetId("Patch", "all", "all"), {}, "1f", 12, "", {}, false, "");
}

Update FullUpdate() {
    return Update(
        TargetId("Patch", "all", "all"), {"http://one/p.exe", "http://two/p.exe"}, "e56491da", 4096,
        "1.2", {TargetId("Base", "all", "all"), TargetId("a", "b", "c")}, true, "Skyreach patch");
}

TEST(UpdateModel, RunTimeTypeKnowsItselfAndTargetItemButNotTheRoot) {
    const Update update = MinimalUpdate();
    EXPECT_STREQ(update.TypeName(), "Update");
    EXPECT_TRUE(update.IsKindOf("Update"));
    EXPECT_TRUE(update.IsKindOf("TargetItem"));
    EXPECT_FALSE(update.IsKindOf("DynamicType"));
    EXPECT_FALSE(update.IsKindOf("update"));
}

TEST(UpdateModel, DumpOfABareUpdateHasThreeLines) {
    std::ostringstream out;
    MinimalUpdate().Dump(out);
    EXPECT_EQ(out.str(), "\tSignature=1f\n\tVersion=\n\tSize=12\n");
}

TEST(UpdateModel, DumpWritesEveryOptionalPartButNotTheTarget) {
    std::ostringstream out;
    FullUpdate().Dump(out);
    EXPECT_EQ(out.str(),
              "\tSignature=e56491da\n\tVersion=1.2\n\tSize=4096\n"
              "\tMirrors:\n\t\thttp://one/p.exe\n\t\thttp://two/p.exe\n"
              "\tContainsUpgradeLauncher\n"
              "\tApplyAfter:\n\t\t(Base, all, all)\n\t\t(a, b, c)\n"
              "\tDescription=Skyreach patch\n");
}

TEST(UpdateModel, CloneCopiesEveryField) {
    const Update original = FullUpdate();
    const Update::Ptr copy = original.Clone();
    std::ostringstream originalDump, copyDump;
    original.Dump(originalDump);
    copy->Dump(copyDump);
    EXPECT_EQ(copy->target, original.target);
    EXPECT_EQ(copyDump.str(), originalDump.str());
    EXPECT_NE(copy.get(), &original);
}

struct RecordingObserver final : Tern::UpdateObserver {
    std::ostringstream log;
    std::set<uint32_t> declined;
    std::vector<std::pair<uint32_t, uint32_t>> questions;

    bool OnProgress(double, double, double, double) override { return true; }
    void OnDownloadStarted(const std::string&, const std::string&, uint32_t, uint32_t) override {}
    std::ostream& Log() override { return log; }
    bool ConfirmRunUpdate(uint32_t count, uint32_t index) override {
        questions.emplace_back(count, index);
        return declined.count(index) == 0;
    }
};

Update UpdateFor(const std::string& product) {
    return Update(TargetId(product, "all", "all"), {}, "0", 1, "", {}, false, "");
}

TEST(UpdateChainModel, AddKeepsOrderAndCopies) {
    Tern::UpdateChain chain;
    Update first = UpdateFor("First");
    chain.Add(first);
    chain.Add(UpdateFor("Second"));
    first.signature = "changed";
    ASSERT_EQ(chain.Count(), 2u);
    EXPECT_EQ(chain.At(0).target.product, "First");
    EXPECT_EQ(chain.At(0).signature, "0");
    EXPECT_EQ(chain.At(1).target.product, "Second");
}

// Records which updates the chain starts; every start reports `result`.
std::vector<std::string> RunChain(Tern::UpdateChain& chain, RecordingObserver& observer,
                                  bool result) {
    std::vector<std::string> started;
    EXPECT_FALSE(chain.runChain(observer, [&](Update& update) {
        started.push_back(update.target.product);
        return result;
    }));
    return started;
}

TEST(UpdateChainModel, DeclinedFirstOfTwoStartsOnlyTheSecond) {
    Tern::UpdateChain chain;
    chain.Add(UpdateFor("One"));
    chain.Add(UpdateFor("Two"));
    RecordingObserver observer;
    observer.declined = {1};
    EXPECT_EQ(RunChain(chain, observer, true), std::vector<std::string>{"Two"});
    EXPECT_EQ(observer.questions, (std::vector<std::pair<uint32_t, uint32_t>>{{2, 1}, {2, 2}}));
}

TEST(UpdateChainModel, FailedStartsDoNotStopTheLoop) {
    Tern::UpdateChain chain;
    for (const char* product : {"One", "Two", "Three"}) chain.Add(UpdateFor(product));
    RecordingObserver observer;
    EXPECT_EQ(RunChain(chain, observer, false), (std::vector<std::string>{"One", "Two", "Three"}));
}

}  // namespace
