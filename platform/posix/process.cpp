#include "platform/process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "platform/posix/file_access.h"

namespace platform {

struct ProcessAccess {
    static Process Adopt(pid_t pid) {
        Process process;
        process.handle_ = pid;
        return process;
    }
};

namespace {

std::string JoinPath(const std::string& directory, const std::string& file) {
    if (directory.empty() || file.front() == '/') return file;
    return directory.back() == '/' ? directory + file : directory + "/" + file;
}

bool IsDirectory(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool ParentDirectoryExists(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return true;
    return IsDirectory(slash == 0 ? "/" : path.substr(0, slash));
}

long ShellResult(int error, const std::string& path) {
    switch (error) {
        case ENOENT:
            return ParentDirectoryExists(path) ? kOpenFileNotFound : kOpenPathNotFound;
        case ENOTDIR:
        case ELOOP:
        case ENAMETOOLONG:
            return kOpenPathNotFound;
        case EACCES:
        case EPERM:
            return kOpenAccessDenied;
        case ENOMEM:
        case E2BIG:
        case EAGAIN:
            return kOpenOutOfMemory;
        case ENOEXEC:
        case ELIBBAD:
            return kOpenBadFormat;
        case ETXTBSY:
            return kOpenSharingViolation;
        default:
            return kOpenOutOfResources;
    }
}

// A posix_spawn object, initialised and destroyed with its own pair of calls.
template <typename T, int (*Init)(T*), int (*Destroy)(T*)>
class SpawnObject {
public:
    SpawnObject() { Init(&object_); }
    ~SpawnObject() { Destroy(&object_); }
    SpawnObject(const SpawnObject&) = delete;
    SpawnObject& operator=(const SpawnObject&) = delete;
    T* Get() { return &object_; }

private:
    T object_;
};

using SpawnActions = SpawnObject<posix_spawn_file_actions_t, posix_spawn_file_actions_init,
                                 posix_spawn_file_actions_destroy>;
using SpawnAttributes =
    SpawnObject<posix_spawnattr_t, posix_spawnattr_init, posix_spawnattr_destroy>;

// The descriptor number a program started from an open file finds that file at.
constexpr int kProgramFileDescriptor = STDERR_FILENO + 1;

// Descriptors of libraries that did not ask for close-on-exec must not reach the program, and
// neither must signals this process blocks or ignores. `keptFd` (when not -1) reaches it as
// kProgramFileDescriptor.
int PrepareChild(SpawnActions& actions, SpawnAttributes& attributes,
                 const std::string& workingDirectory, int keptFd) {
    if (!workingDirectory.empty()) {
        if (int error =
                posix_spawn_file_actions_addchdir_np(actions.Get(), workingDirectory.c_str())) {
            return error;
        }
    }
    int firstClosed = STDERR_FILENO + 1;
    if (keptFd >= 0) {
        if (int error =
                posix_spawn_file_actions_adddup2(actions.Get(), keptFd, kProgramFileDescriptor)) {
            return error;
        }
        firstClosed = kProgramFileDescriptor + 1;
    }
    if (int error = posix_spawn_file_actions_addclosefrom_np(actions.Get(), firstClosed)) {
        return error;
    }
    sigset_t none;
    sigset_t all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(attributes.Get(), &none);
    posix_spawnattr_setsigdefault(attributes.Get(), &all);
    return posix_spawnattr_setflags(attributes.Get(),
                                    POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
}

// Runs `executable` (resolved in the child, after it changed into `workingDirectory`) with
// `programPath` as argv[0] and the words of `parameters`; results as OpenProgram's.
long Spawn(const std::string& executable, const std::string& programPath,
           const std::string& parameters, const std::string& workingDirectory, int keptFd,
           Process* process) {
    std::vector<std::string> arguments = SplitCommandLine(parameters);
    arguments.insert(arguments.begin(), programPath);
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);

    SpawnActions actions;
    SpawnAttributes attributes;
    if (const int error = PrepareChild(actions, attributes, workingDirectory, keptFd)) {
        return ShellResult(error, programPath);
    }
    pid_t pid = -1;
    if (const int error = posix_spawn(&pid, executable.c_str(), actions.Get(), attributes.Get(),
                                      argv.data(), environ)) {
        return ShellResult(error, programPath);
    }
    if (process) *process = ProcessAccess::Adopt(pid);
    return kOpenStarted;
}

}  // namespace

long OpenProgram(const std::string& file, const std::string& parameters,
                 const std::string& workingDirectory, Process* process) {
    if (!workingDirectory.empty() && !IsDirectory(workingDirectory)) return kOpenPathNotFound;
    if (file.empty()) return kOpenFileNotFound;
    return Spawn(file, JoinPath(workingDirectory, file), parameters, workingDirectory, -1, process);
}

// The child runs the file behind its own copy of the descriptor. A script's interpreter opens
// the script by that /proc path, so the copy stays open across the exec.
long OpenProgramFile(const File& file, const std::string& displayPath,
                     const std::string& parameters, const std::string& workingDirectory,
                     Process* process) {
    if (!workingDirectory.empty() && !IsDirectory(workingDirectory)) return kOpenPathNotFound;
    const std::string executable = "/proc/self/fd/" + std::to_string(kProgramFileDescriptor);
    return Spawn(executable, displayPath, parameters, workingDirectory,
                 FileAccess::Descriptor(file), process);
}

long OpenProgramFilePrefix(File file, uint64_t size, const std::string& displayPath,
                           const std::string& parameters, const std::string& workingDirectory,
                           Process* process) {
    const int writable = FileAccess::Descriptor(file);
    if (ftruncate(writable, static_cast<off_t>(size)) != 0) return ShellResult(errno, displayPath);
    const std::string reopened = "/proc/self/fd/" + std::to_string(writable);
    const File readOnly = FileAccess::Adopt(open(reopened.c_str(), O_RDONLY | O_CLOEXEC));
    if (!readOnly.Valid()) return ShellResult(errno, displayPath);
    file = File();
    return OpenProgramFile(readOnly, displayPath, parameters, workingDirectory, process);
}

// A child that is not waited for stays a zombie until this process ends, which reaps it.
Process::~Process() = default;

Process::Process(Process&& other) noexcept : handle_(std::exchange(other.handle_, -1)) {}

Process& Process::operator=(Process&& other) noexcept {
    handle_ = std::exchange(other.handle_, -1);
    return *this;
}

int Process::Wait() {
    const pid_t pid = static_cast<pid_t>(std::exchange(handle_, -1));
    if (pid < 0) return -1;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

std::vector<std::string> ProgramArguments(int argc, char** argv) {
    return std::vector<std::string>(argv, argv + argc);
}

}  // namespace platform
