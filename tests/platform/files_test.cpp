#include "platform/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <set>
#include <string>

#include "platform/debug_output.h"
#include "tests/support/isolated_env.h"

namespace {

using tern_test::ReadFileBytes;
using tern_test::WriteFileBytes;

mode_t Permissions(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 ? (info.st_mode & 07777) : 0;
}

// A directory of somebody else: as root one handed to "nobody", otherwise a link to "/".
std::string ForeignDirectory(const std::string& path) {
    EXPECT_TRUE(getuid() == 0 ? mkdir(path.c_str(), 0700) == 0 && chown(path.c_str(), 65534, 0) == 0
                              : symlink("/", path.c_str()) == 0);
    return path;
}

class FilesTest : public tern_test::IsolatedTest {
protected:
    std::string Path(const std::string& name) const { return env_.Root() + "/" + name; }
    std::string Directory(const std::string& name, mode_t mode) const {
        EXPECT_EQ(mkdir(Path(name).c_str(), 0700) || chmod(Path(name).c_str(), mode), 0);
        return Path(name);
    }
};

// A directory named by the environment is used only when other users cannot plant files in it.
TEST_F(FilesTest, DirectoriesFromTheEnvironmentMustBeTheUsersOwn) {
    const std::string runtimeFallback = "/tmp/tern-" + std::to_string(getuid());
    const std::string tempFallback = env_.CacheHome() + "/tern/tmp/";
    WriteFileBytes(Path("file"), "x");
    const struct {
        std::string value;
        bool used;
    } cases[] = {
        {Directory("private", 0700), true},
        {Directory("slash", 0700) + "/", true},
        {Directory("world", 0777), false},
        {Directory("group", 0770), false},
        {ForeignDirectory(Path("foreign")), false},
        {Path("missing"), false},
        {Path("file"), false},
        {"relative/dir", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value);
        const std::string used = c.value.substr(0, c.value.find_last_not_of('/') + 1);
        setenv("TMPDIR", c.value.c_str(), 1);
        setenv("XDG_RUNTIME_DIR", c.value.c_str(), 1);
        EXPECT_EQ(platform::TempDirectory(), c.used ? used + "/" : tempFallback);
        EXPECT_EQ(platform::RuntimeDirectory(), c.used ? used : runtimeFallback);
    }
    EXPECT_EQ(Permissions(tempFallback), 0700u);
    EXPECT_EQ(Permissions(runtimeFallback), 0700u);
}

TEST_F(FilesTest, UniqueTempFilesAreNewPrivateAndKeepTheirEnding) {
    std::set<std::string> paths;
    for (int i = 0; i < 40; ++i) {
        const std::string ending = i % 2 ? ".exe" : ".tmp";
        const std::string path = platform::CreateUniqueTempFile("vex", env_.TempDir(), ending);
        ASSERT_EQ(path.rfind(env_.TempDir() + "vex", 0), 0u) << path;
        EXPECT_EQ(path.substr(path.size() - 4), ending);
        EXPECT_EQ(Permissions(path), 0600u);
        EXPECT_EQ(ReadFileBytes(path), "");
        paths.insert(path);
    }
    EXPECT_EQ(paths.size(), 40u);
}

TEST_F(FilesTest, DocumentsFolderIsReadFromUserDirsLikeAShell) {
    const std::string home = env_.Root() + "/home";
    const struct {
        const char* userDirs;
        std::string expected;
    } cases[] = {
        {nullptr, home + "/Documents"},
        {"# comment\n  XDG_DOCUMENTS_DIR=\"$HOME/My \\\"Papers\\\"/\"\n", home + "/My \"Papers\""},
        {"XDG_DOCUMENTS_DIR=\"/a\"\n#XDG_DOCUMENTS_DIR=\"/b\"\nXDG_DOCUMENTS_DIR=\"/c\"\n", "/c"},
        {"XDG_DOCUMENTS_DIR=\"$HOME/\"\n", home},
        {"XDG_DOCUMENTS_DIR=\"Docs\"\nXDG_DOCUMENTS_DIR=\"$HOMEWORK/x\"\n", home + "/Documents"},
    };
    for (const auto& c : cases) {
        if (c.userDirs) WriteFileBytes(env_.ConfigHome() + "/user-dirs.dirs", c.userDirs);
        EXPECT_EQ(platform::DocumentsDirectory(), c.expected) << (c.userDirs ? c.userDirs : "");
    }
}

TEST_F(FilesTest, DebugOutputIsTheTextUnchangedAndAClosedReaderEndsNothing) {
    const int saved = dup(STDERR_FILENO);
    const int file = open(Path("stderr").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    int pipeEnds[2];
    ASSERT_TRUE(file >= 0 && pipe2(pipeEnds, O_CLOEXEC) == 0 && dup2(file, STDERR_FILENO) >= 0);
    const std::string text("line one\nno newline \0 after a NUL", 33);
    platform::WriteDebugOutput(text);
    platform::WriteDebugOutput(std::string(100000, 'x'));
    EXPECT_EQ(ReadFileBytes(Path("stderr")), text + std::string(100000, 'x'));

    close(pipeEnds[0]);
    dup2(pipeEnds[1], STDERR_FILENO);
    platform::WriteDebugOutput("nobody reads this\n");  // would end the process with SIGPIPE
    dup2(saved, STDERR_FILENO);
    for (const int fd : {saved, file, pipeEnds[1]}) close(fd);
}

}  // namespace
