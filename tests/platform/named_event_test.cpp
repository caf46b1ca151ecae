#include "platform/named_event.h"

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <set>
#include <string>

#include "tests/support/child_process.h"
#include "tests/support/isolated_env.h"

namespace {

using platform::NamedEvent;
using platform::WaitResult;

const char kLockName[] = "UpgradeLauncherUniqueInstance";

std::set<std::string> Entries(const std::string& directory) {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(directory)) {
        names.insert(entry.path().filename());
    }
    return names;
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

TEST_F(NamedEventTest, NamesNeverLeaveTheRuntimeDirectoryOrCollide) {
    const std::set<std::string> rootBefore = Entries(env_.Root());
    const char* const names[] = {"a/b", "a%2Fb", "a_b", "../up", "", "sp ace"};
    NamedEvent events[6];
    for (int i = 0; i < 6; ++i) ASSERT_TRUE(events[i].Create(names[i], false)) << names[i];
    ASSERT_TRUE(events[0].Set());
    for (int i = 1; i < 6; ++i) EXPECT_EQ(events[i].Wait(0), WaitResult::Timeout) << names[i];
    EXPECT_EQ(Entries(env_.Root()), rootBefore);
    EXPECT_EQ(Entries(env_.RuntimeDir()).size(), 7u);  // six events and the guard

    // An event lives while any handle does, and its file goes with the last one.
    NamedEvent second;
    ASSERT_TRUE(second.Create("a/b", false));
    events[0].Close();
    ASSERT_TRUE(events[0].Create("a/b", false));
    EXPECT_EQ(events[0].Wait(0), WaitResult::Signaled) << "the second handle kept it";
    second.Close();
    for (NamedEvent& event : events) event.Close();
    EXPECT_EQ(Entries(env_.RuntimeDir()), std::set<std::string>{"tern-events.lock"});
}

TEST_F(NamedEventTest, ALinkPlantedAtTheEventsPathIsNeverFollowed) {
    const std::string target = env_.Root() + "/target";
    tern_test::WriteFileBytes(target, "untouched");
    ASSERT_EQ(symlink(target.c_str(), (env_.RuntimeDir() + "/tern-event-" + kLockName).c_str()), 0);
    NamedEvent event;
    EXPECT_FALSE(event.Create(kLockName, true));
    EXPECT_EQ(tern_test::ReadFileBytes(target), "untouched");
}

}  // namespace
