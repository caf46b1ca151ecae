#include "launcher/launch_policy.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(OutcomeOfRun, EachResultHasItsStatusGameStartAndEnd) {
    const struct {
        int32_t result;
        std::string statusKey;  // empty: the status stays
        bool startGame;
        bool close;
        bool expandLog;
    } cases[] = {
        {0, "", true, true, false},                           // ok
        {1, "", false, true, false},                          // the update replaces the launcher
        {2, "IDS_NO_UPDATE_FOUND", true, true, false},        // no update found
        {3, "IDS_ERROR_MESSAGE", false, false, true},         // failed: the player reads the log
        {4, "IDS_DOWNLOAD_INCOMPLETE", false, false, false},  // resumes at the next start
        {5, "", true, true, false},                           // the player aborted
        {6, "", true, true, false},                           // the local service asked to end
        {7, "IDS_ERROR_MESSAGE", false, false, false},        // error
        {9, "", false, false, false},                         // unknown: wait for the player
        {-1, "", false, false, false},
    };
    for (const auto& expected : cases) {
        SCOPED_TRACE(expected.result);
        const launcher::RunOutcome outcome = launcher::OutcomeOfRun(expected.result);
        EXPECT_EQ(outcome.statusKey ? outcome.statusKey : "", expected.statusKey);
        EXPECT_EQ(outcome.startGame, expected.startGame);
        EXPECT_EQ(outcome.close, expected.close);
        EXPECT_EQ(outcome.expandLog, expected.expandLog);
    }
}

}  // namespace
