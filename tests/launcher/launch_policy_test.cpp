#include "launcher/launch_policy.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// An outcome in words: the status text's key ("-": it stays), then what else it does.
TEST(OutcomeOfRun, EachResultHasItsStatusGameStartAndEnd) {
    const struct {
        int32_t result;
        const char* outcome;
    } cases[] = {
        {0, "- start close"},                    // ok
        {1, "- close"},                          // the update replaces the launcher
        {2, "IDS_NO_UPDATE_FOUND start close"},  // no update found
        {3, "IDS_ERROR_MESSAGE log"},            // failed: the player reads the log
        {4, "IDS_DOWNLOAD_INCOMPLETE"},          // resumes at the next start
        {5, "- start close"},                    // the player aborted
        {6, "- start close"},                    // the local update service asked to end
        {7, "IDS_ERROR_MESSAGE"},                // error
        {9, "-"},                                // unknown: wait for the player
    };
    for (const auto& expected : cases) {
        const launcher::RunOutcome outcome = launcher::OutcomeOfRun(expected.result);
        EXPECT_EQ(std::string(outcome.statusKey ? outcome.statusKey : "-") +
                      (outcome.startGame ? " start" : "") + (outcome.close ? " close" : "") +
                      (outcome.expandLog ? " log" : ""),
                  expected.outcome)
            << expected.result;
    }
}

}  // namespace
