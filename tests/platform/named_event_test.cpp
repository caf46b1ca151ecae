#include "platform/named_event.h"

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <iterator>
#include <string>

#include "tests/support/child_process.h"
#include "tests/support/isolated_env.h"

namespace {

using platform::NamedEvent;
using platform::WaitResult;

const char kLockName[] = "UpgradeLauncherUniqueInstance";

size_t EntryCount(const std::string& directory) {
    return std::distance(std::filesystem::directory_iterator(directory), {});
}

class NamedEventTest : public tern_test::IsolatedTest {};

// The state is shared between processes; killing the holder ends the event, also while a
// program it started lives on.
TEST_F(NamedEventTest, KilledHolderReleasesTheEvent) {
    tern_test::ChildProcess holder({TERN_PEER_PROCESS, "hold", kLockName});
    EXPECT_EQ(holder.ReadLine(), "held");
    int started = 0;
    const std::string ready = holder.ReadLine().value_or("");
    ASSERT_EQ(std::sscanf(ready.c_str(), "ready %d", &started), 1) << ready;
    {
        NamedEvent joined;
        ASSERT_TRUE(joined.Create(kLockName, true));  // the holder's state, not the initial one
        EXPECT_EQ(joined.Wait(10), WaitResult::Timeout);
    }
    holder.Kill();
    NamedEvent fresh;
    const bool created = fresh.Create(kLockName, true);
    const WaitResult state = fresh.Wait(0);
    kill(started, SIGKILL);
    EXPECT_TRUE(created);
    EXPECT_EQ(state, WaitResult::Signaled);
}

TEST_F(NamedEventTest, NamesStayInTheRuntimeDirectoryNeitherCollidingNorFollowingLinks) {
    const size_t rootEntries = EntryCount(env_.Root());
    const char* const names[] = {"a/b", "a%2Fb", "a_b", "../up", "", "sp ace"};
    NamedEvent events[6];
    for (int i = 0; i < 6; ++i) ASSERT_TRUE(events[i].Create(names[i], false)) << names[i];
    ASSERT_TRUE(events[0].Set());
    for (int i = 1; i < 6; ++i) EXPECT_EQ(events[i].Wait(0), WaitResult::Timeout) << names[i];
    EXPECT_EQ(EntryCount(env_.Root()), rootEntries);
    EXPECT_EQ(EntryCount(env_.RuntimeDir()), 7u);    // six events and the guard
    for (NamedEvent& event : events) event.Close();  // the last handle takes the file along
    EXPECT_EQ(EntryCount(env_.RuntimeDir()), 1u);

    const std::string target = env_.Root() + "/target";
    tern_test::WriteFileBytes(target, "untouched");
    ASSERT_EQ(symlink(target.c_str(), (env_.RuntimeDir() + "/tern-event-" + kLockName).c_str()), 0);
    EXPECT_FALSE(events[0].Create(kLockName, true));
    EXPECT_EQ(tern_test::ReadFileBytes(target), "untouched");
}

}  // namespace
