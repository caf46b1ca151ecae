#include "platform/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
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

// A directory at `path` that belongs to somebody else: as root a directory handed to "nobody",
// otherwise a link to the root-owned "/".
void MakeForeignDirectory(const std::string& path) {
    if (getuid() == 0) {
        ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
        ASSERT_EQ(chown(path.c_str(), 65534, 65534), 0);
    } else {
        ASSERT_EQ(symlink("/", path.c_str()), 0);
    }
}

class FilesTest : public tern_test::IsolatedTest {
protected:
    std::string Path(const std::string& name) const { return env_.Root() + "/" + name; }
    std::string MakeDirectory(const std::string& name, mode_t mode) const {
        const std::string path = Path(name);
        EXPECT_EQ(mkdir(path.c_str(), 0700), 0);
        EXPECT_EQ(chmod(path.c_str(), mode), 0);
        return path;
    }
};

// A directory named by the environment is used only when other users cannot plant files in it.
TEST_F(FilesTest, DirectoriesFromTheEnvironmentMustBeTheUsersOwn) {
    const std::string runtimeFallback = "/tmp/tern-" + std::to_string(getuid());
    const std::string tempFallback = env_.CacheHome() + "/tern/tmp/";
    struct Case {
        const char* what;
        std::function<std::string()> value;  // the variable's value, made by the row
        bool used;
    };
    const Case cases[] = {
        {"private", [&] { return MakeDirectory("private", 0700); }, true},
        {"readable by others", [&] { return MakeDirectory("readable", 0755); }, true},
        {"with a trailing slash", [&] { return MakeDirectory("slash", 0700) + "/"; }, true},
        {"world-writable", [&] { return MakeDirectory("world", 0777); }, false},
        {"sticky and world-writable", [&] { return MakeDirectory("sticky", 01777); }, false},
        {"group-writable", [&] { return MakeDirectory("group", 0770); }, false},
        {"foreign",
         [&] {
             MakeForeignDirectory(Path("foreign"));
             return Path("foreign");
         },
         false},
        {"missing", [&] { return Path("missing"); }, false},
        {"a file",
         [&] {
             WriteFileBytes(Path("file"), "x");
             return Path("file");
         },
         false},
        {"relative", [] { return std::string("relative/dir"); }, false},
    };
    for (const Case& c : cases) {
        const std::string value = c.value();
        std::string trimmed = value;
        while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
        setenv("TMPDIR", value.c_str(), 1);
        setenv("XDG_RUNTIME_DIR", value.c_str(), 1);
        EXPECT_EQ(platform::TempDirectory(), c.used ? trimmed + "/" : tempFallback) << c.what;
        EXPECT_EQ(platform::RuntimeDirectory(), c.used ? trimmed : runtimeFallback) << c.what;
    }
    EXPECT_EQ(Permissions(tempFallback), 0700u);
    EXPECT_EQ(Permissions(runtimeFallback), 0700u);
}

TEST_F(FilesTest, TheTemporaryFallbackIsAPrivateCacheDirectoryOfTheUser) {
    unsetenv("TMPDIR");
    unsetenv("XDG_CACHE_HOME");
    EXPECT_EQ(platform::TempDirectory(), env_.Root() + "/home/.cache/tern/tmp/");

    setenv("XDG_CACHE_HOME", env_.CacheHome().c_str(), 1);
    ASSERT_EQ(mkdir((env_.CacheHome() + "/tern").c_str(), 0700), 0);
    MakeForeignDirectory(env_.CacheHome() + "/tern/tmp");
    EXPECT_EQ(platform::TempDirectory(), "");
}

TEST_F(FilesTest, UniqueFilesAreNewEmptyAndPrivate) {
    const std::string directory = env_.TempDir();
    std::set<std::string> paths;
    for (const char* ending : {".tmp", ".exe"}) {
        for (int i = 0; i < 20; ++i) {
            const std::string path = platform::CreateUniqueTempFile("vex", directory, ending);
            ASSERT_EQ(path.rfind(directory + "vex", 0), 0u) << path;
            EXPECT_EQ(path.substr(path.size() - 4), ending);
            EXPECT_EQ(Permissions(path), 0600u);
            EXPECT_EQ(ReadFileBytes(path), "");
            paths.insert(path);
        }
    }
    EXPECT_EQ(paths.size(), 40u);
    EXPECT_EQ(platform::CreateUniqueTempFile("vex", Path("missing/")), "");
    EXPECT_EQ(platform::ExecutableDirectory(), TERN_TEST_BINARY_DIR);
}

TEST_F(FilesTest, DocumentsFolderIsReadFromUserDirsLikeAShell) {
    const std::string home = env_.Root() + "/home";
    const struct {
        const char* userDirs;
        std::string expected;
    } cases[] = {
        {nullptr, home + "/Documents"},
        {"XDG_DESKTOP_DIR=\"$HOME/Desktop\"\n", home + "/Documents"},
        {"# comment\n  XDG_DOCUMENTS_DIR=\"$HOME/My \\\"Papers\\\"/\"\n", home + "/My \"Papers\""},
        {"XDG_DOCUMENTS_DIR=\"$HOME/First\"\n#XDG_DOCUMENTS_DIR=\"$HOME/No\"\n"
         "XDG_DOCUMENTS_DIR=\"/srv/papers\"\n",
         "/srv/papers"},
        {"XDG_DOCUMENTS_DIR=\"$HOME/\"\n", home},
        {"XDG_DOCUMENTS_DIR=\"Documents\"\nXDG_DOCUMENTS_DIR=\"$HOMEWORK/x\"\n",
         home + "/Documents"},
    };
    for (const auto& c : cases) {
        if (c.userDirs) WriteFileBytes(env_.ConfigHome() + "/user-dirs.dirs", c.userDirs);
        EXPECT_EQ(platform::DocumentsDirectory(), c.expected) << (c.userDirs ? c.userDirs : "");
    }
}

TEST_F(FilesTest, DebugOutputIsTheTextUnchangedAndAClosedReaderEndsNothing) {
    const std::string capture = Path("stderr");
    const int saved = dup(STDERR_FILENO);
    const int file = open(capture.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ASSERT_GE(file, 0);
    ASSERT_GE(dup2(file, STDERR_FILENO), 0);
    close(file);
    const std::string text("line one\nno newline \0 after a NUL", 33);
    platform::WriteDebugOutput(text);
    platform::WriteDebugOutput(std::string(100000, 'x'));
    EXPECT_EQ(ReadFileBytes(capture), text + std::string(100000, 'x'));

    int pipeEnds[2];
    ASSERT_EQ(pipe2(pipeEnds, O_CLOEXEC), 0);
    close(pipeEnds[0]);
    ASSERT_GE(dup2(pipeEnds[1], STDERR_FILENO), 0);
    close(pipeEnds[1]);
    platform::WriteDebugOutput("nobody reads this\n");  // would end the process with SIGPIPE

    dup2(saved, STDERR_FILENO);
    close(saved);
}

}  // namespace
