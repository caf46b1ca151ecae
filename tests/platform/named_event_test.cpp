#include "platform/named_event.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <set>
#include <string>

#include "tests/support/isolated_env.h"

namespace {

using platform::NamedEvent;
using platform::WaitResult;

const char kLockName[] = "UpgradeLauncherUniqueInstance";

// Another process holding events: the fixture program named_event_holder, driven line by line
// through pipes.
class EventHolder {
public:
    EventHolder() {
        int toChild[2];
        int fromChild[2];
        if (pipe2(toChild, O_CLOEXEC) != 0 || pipe2(fromChild, O_CLOEXEC) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(toChild[0], STDIN_FILENO);
            dup2(fromChild[1], STDOUT_FILENO);
            execl(TERN_EVENT_HOLDER, TERN_EVENT_HOLDER, static_cast<char*>(nullptr));
            _exit(127);
        }
        close(toChild[0]);
        close(fromChild[1]);
        toChild_ = toChild[1];
        fromChild_ = fdopen(fromChild[0], "r");
    }

    ~EventHolder() {
        Kill();
        if (toChild_ >= 0) close(toChild_);
        if (fromChild_) std::fclose(fromChild_);
    }

    EventHolder(const EventHolder&) = delete;
    EventHolder& operator=(const EventHolder&) = delete;

    void Send(const std::string& command) {
        const std::string line = command + "\n";
        ASSERT_EQ(write(toChild_, line.data(), line.size()), static_cast<ssize_t>(line.size()));
    }

    std::string ReadLine() {
        char buffer[256];
        if (!fromChild_ || !std::fgets(buffer, sizeof buffer, fromChild_)) return "";
        std::string line(buffer);
        if (!line.empty() && line.back() == '\n') line.pop_back();
        return line;
    }

    std::string Ask(const std::string& command) {
        Send(command);
        return ReadLine();
    }

    // Returns once the process has ended and the kernel has released everything it held.
    void Kill() {
        if (pid_ <= 0) return;
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

private:
    pid_t pid_ = -1;
    int toChild_ = -1;
    FILE* fromChild_ = nullptr;
};

// A process that is not our child, killed when the test ends.
class OrphanProcess {
public:
    explicit OrphanProcess(pid_t pid) : pid_(pid) {}
    ~OrphanProcess() {
        if (pid_ > 0) kill(pid_, SIGKILL);
    }
    OrphanProcess(const OrphanProcess&) = delete;
    OrphanProcess& operator=(const OrphanProcess&) = delete;

private:
    pid_t pid_;
};

std::set<std::string> DirectoryEntries(const std::string& path) {
    std::set<std::string> entries;
    DIR* directory = opendir(path.c_str());
    if (!directory) return entries;
    while (const dirent* entry = readdir(directory)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") entries.insert(name);
    }
    closedir(directory);
    return entries;
}

class NamedEventTest : public tern_test::IsolatedTest {};

TEST_F(NamedEventTest, SecondInstanceTimesOutWhileTheHolderKeepsItReset) {
    EventHolder holder;
    ASSERT_EQ(holder.Ask(std::string("create 1 ") + kLockName), "ok");
    ASSERT_EQ(holder.Ask("wait 10"), "signaled");
    ASSERT_EQ(holder.Ask("reset"), "ok");

    NamedEvent second;
    ASSERT_TRUE(second.Create(kLockName, true));
    EXPECT_EQ(second.Wait(10), WaitResult::Timeout);
}

TEST_F(NamedEventTest, SetAndResetAreSeenAcrossProcesses) {
    EventHolder holder;
    ASSERT_EQ(holder.Ask("create 0 shared"), "ok");
    NamedEvent local;
    ASSERT_TRUE(local.Create("shared", true));  // joins: the initial state is the holder's
    EXPECT_EQ(local.Wait(0), WaitResult::Timeout);

    ASSERT_EQ(holder.Ask("set"), "ok");
    EXPECT_EQ(local.Wait(0), WaitResult::Signaled);

    ASSERT_TRUE(local.Reset());
    EXPECT_EQ(holder.Ask("wait 0"), "timeout");
    ASSERT_TRUE(local.Set());
    EXPECT_EQ(holder.Ask("wait 0"), "signaled");
}

TEST_F(NamedEventTest, KilledHolderLeavesNoEventBehind) {
    EventHolder holder;
    ASSERT_EQ(holder.Ask(std::string("create 1 ") + kLockName), "ok");
    ASSERT_EQ(holder.Ask("reset"), "ok");
    {
        NamedEvent visitor;
        ASSERT_TRUE(visitor.Create(kLockName, true));
        ASSERT_EQ(visitor.Wait(0), WaitResult::Timeout);
    }

    holder.Kill();

    NamedEvent fresh;
    ASSERT_TRUE(fresh.Create(kLockName, true));
    EXPECT_EQ(fresh.Wait(10), WaitResult::Signaled);
}

TEST_F(NamedEventTest, ProgramStartedByTheHolderDoesNotKeepTheEventAlive) {
    EventHolder holder;
    ASSERT_EQ(holder.Ask(std::string("create 1 ") + kLockName), "ok");
    ASSERT_EQ(holder.Ask("reset"), "ok");
    holder.Send("spawn");
    const std::string ready = holder.ReadLine();
    int childPid = 0;
    ASSERT_EQ(std::sscanf(ready.c_str(), "ready %d", &childPid), 1) << ready;
    const OrphanProcess child(childPid);

    holder.Kill();

    NamedEvent fresh;
    ASSERT_TRUE(fresh.Create(kLockName, true));
    EXPECT_EQ(fresh.Wait(0), WaitResult::Signaled);
}

TEST_F(NamedEventTest, EventEndsWithItsLastHandle) {
    NamedEvent first;
    ASSERT_TRUE(first.Create("lifetime", true));
    ASSERT_TRUE(first.Reset());
    NamedEvent second;
    ASSERT_TRUE(second.Create("lifetime", true));

    first.Close();
    NamedEvent third;
    ASSERT_TRUE(third.Create("lifetime", true));
    EXPECT_EQ(third.Wait(0), WaitResult::Timeout) << "still held by the second handle";

    second.Close();
    third.Close();
    NamedEvent fresh;
    ASSERT_TRUE(fresh.Create("lifetime", false));
    ASSERT_TRUE(fresh.Set());
    fresh.Close();
    EXPECT_EQ(DirectoryEntries(env_.RuntimeDir()), std::set<std::string>{"tern-events.lock"})
        << "the last handle removes the event's file";

    EventHolder holder;
    ASSERT_EQ(holder.Ask("create 1 lifetime"), "ok");
    ASSERT_EQ(holder.Ask("reset"), "ok");
    ASSERT_EQ(holder.Ask("close"), "ok");
    ASSERT_TRUE(fresh.Create("lifetime", true));
    EXPECT_EQ(fresh.Wait(0), WaitResult::Signaled);
}

TEST_F(NamedEventTest, ClosedHandleFailsEveryOperation) {
    NamedEvent never;
    EXPECT_FALSE(never.IsOpen());
    EXPECT_EQ(never.Wait(0), WaitResult::Failed);
    EXPECT_FALSE(never.Set());
    EXPECT_FALSE(never.Reset());

    NamedEvent moved;
    ASSERT_TRUE(moved.Create("moving", true));
    NamedEvent target(std::move(moved));
    EXPECT_EQ(moved.Wait(0), WaitResult::Failed);
    EXPECT_EQ(target.Wait(0), WaitResult::Signaled);

    target.Close();
    EXPECT_FALSE(target.IsOpen());
    EXPECT_EQ(target.Wait(0), WaitResult::Failed);
    EXPECT_FALSE(target.Set());
}

TEST_F(NamedEventTest, NamesNeverLeaveTheRuntimeDirectoryOrCollide) {
    const std::set<std::string> rootBefore = DirectoryEntries(env_.Root());
    const char* const names[] = {"a/b", "a%2Fb", "a_b", "../up", "", "sp ace"};
    NamedEvent events[6];
    for (int i = 0; i < 6; ++i) {
        ASSERT_TRUE(events[i].Create(names[i], false)) << names[i];
    }
    ASSERT_TRUE(events[0].Set());
    for (int i = 1; i < 6; ++i) EXPECT_EQ(events[i].Wait(0), WaitResult::Timeout) << names[i];

    EXPECT_EQ(DirectoryEntries(env_.Root()), rootBefore);
    EXPECT_EQ(DirectoryEntries(env_.RuntimeDir()).size(), 7u);  // six events and the guard
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
