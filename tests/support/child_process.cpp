#include "tests/support/child_process.h"

#include <fcntl.h>
#include <unistd.h>

#ifdef _WIN32
#include <io.h>
#include <windows.h>

#include <mutex>
#else
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

extern char** environ;
#endif

#include <thread>

namespace tern_test {
namespace {

constexpr int kKilledExitCode = 128 + 9;  // as SIGKILL ends a program on Linux

std::vector<std::string> ChildEnvironment(const std::map<std::string, std::string>& changes) {
#ifdef _WIN32
    char** const current = _environ;
#else
    char** const current = environ;
#endif
    std::vector<std::string> variables;
    for (char** entry = current; *entry; ++entry) {
        const std::string variable = *entry;
        if (changes.count(variable.substr(0, variable.find('='))) == 0) {
            variables.push_back(variable);
        }
    }
    for (const auto& [name, value] : changes) variables.push_back(name + "=" + value);
    return variables;
}

#ifdef _WIN32
bool MakePipe(int ends[2]) { return _pipe(ends, 1 << 16, _O_BINARY | _O_NOINHERIT) == 0; }

// One argument as the child's own splitting (the rules of platform::SplitCommandLine) gives it
// back: quoted when it holds blanks or quotes, the backslashes before a quote doubled.
std::string Quoted(const std::string& argument) {
    if (!argument.empty() && argument.find_first_of(" \t\"") == std::string::npos) return argument;
    std::string quoted = "\"";
    size_t backslashes = 0;
    for (const char c : argument) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        quoted.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
        quoted += c;
        backslashes = 0;
    }
    return quoted.append(2 * backslashes, '\\') + '"';
}

HANDLE Handle(intptr_t process) { return reinterpret_cast<HANDLE>(process); }

// The child inherits every inheritable handle: the inheritable copies of its ends exist only
// while it starts, one start at a time, so that no child keeps another's pipes open.
intptr_t Spawn(const std::vector<std::string>& argv, const std::vector<std::string>& variables,
               const int (&descriptors)[3]) {
    std::string commandLine;
    for (const std::string& argument : argv) commandLine += Quoted(argument) + " ";
    std::string environment;
    for (const std::string& variable : variables) environment += variable + '\0';
    static std::mutex startLock;
    const std::lock_guard<std::mutex> starting(startLock);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    HANDLE* const ends[] = {&startup.hStdInput, &startup.hStdOutput, &startup.hStdError};
    for (int i = 0; i < 3; ++i) {
        DuplicateHandle(GetCurrentProcess(),
                        reinterpret_cast<HANDLE>(_get_osfhandle(descriptors[i])),
                        GetCurrentProcess(), ends[i], 0, TRUE, DUPLICATE_SAME_ACCESS);
    }
    PROCESS_INFORMATION started{};
    const bool ok = CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0,
                                   (environment + '\0').data(), nullptr, &startup, &started);
    for (HANDLE* end : ends) {
        if (*end) CloseHandle(*end);
    }
    if (!ok) return -1;
    CloseHandle(started.hThread);
    return reinterpret_cast<intptr_t>(started.hProcess);
}

std::optional<int> WaitFor(intptr_t process, std::chrono::milliseconds limit) {
    DWORD code = 0;
    if (WaitForSingleObject(Handle(process), static_cast<DWORD>(limit.count())) != WAIT_OBJECT_0 ||
        !GetExitCodeProcess(Handle(process), &code)) {
        return std::nullopt;
    }
    return static_cast<int>(code);
}

void Terminate(intptr_t process) {
    TerminateProcess(Handle(process), kKilledExitCode);
    WaitForSingleObject(Handle(process), INFINITE);
}
#else
bool MakePipe(int ends[2]) { return pipe2(ends, O_CLOEXEC) == 0; }

std::vector<char*> Pointers(std::vector<std::string>& texts) {
    std::vector<char*> pointers;
    for (std::string& text : texts) pointers.push_back(text.data());
    pointers.push_back(nullptr);
    return pointers;
}

intptr_t Spawn(std::vector<std::string> argv, std::vector<std::string> variables,
               const int (&descriptors)[3]) {
    std::vector<char*> argumentPointers = Pointers(argv);
    std::vector<char*> variablePointers = Pointers(variables);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    for (int target = 0; target < 3; ++target) {
        posix_spawn_file_actions_adddup2(&actions, descriptors[target], target);
    }
    pid_t pid = -1;
    const int failed = posix_spawn(&pid, argumentPointers[0], &actions, nullptr,
                                   argumentPointers.data(), variablePointers.data());
    posix_spawn_file_actions_destroy(&actions);
    return failed ? -1 : pid;
}

std::optional<int> WaitFor(intptr_t pid, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) != pid) {
        if (std::chrono::steady_clock::now() > deadline) return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
}

void Terminate(intptr_t pid) {
    kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
}
#endif

}  // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const ChildOptions& options) {
    int input[2];
    int output[2];
    if (!MakePipe(input)) return;
    if (!MakePipe(output)) {
        close(input[0]);
        close(input[1]);
        return;
    }
    process_ = Spawn(argv, ChildEnvironment(options.environment),
                     {input[0], output[1], options.standardError >= 0 ? options.standardError : 2});
    close(input[0]);
    close(output[1]);
    input_ = input[1];
    output_ = fdopen(output[0], "rb");
}

ChildProcess::~ChildProcess() {
    Kill();
    CloseInput();
    if (output_) std::fclose(output_);
#ifdef _WIN32
    if (process_ != -1) CloseHandle(Handle(process_));
#endif
}

void ChildProcess::CloseInput() {
    if (input_ >= 0) close(input_);
    input_ = -1;
}

std::optional<std::string> ChildProcess::ReadLine() {
    std::string line;
    for (int c; output_ && (c = std::fgetc(output_)) != EOF;) {
        if (c == '\n') return line;
        line += static_cast<char>(c);
    }
    if (line.empty()) return std::nullopt;
    return line;
}

std::string ChildProcess::ReadAll() {
    std::string text;
    for (int c; output_ && (c = std::fgetc(output_)) != EOF;) text += static_cast<char>(c);
    return text;
}

std::optional<int> ChildProcess::Wait(std::chrono::milliseconds limit) {
    if (exitCode_ || process_ == -1) return exitCode_;
    exitCode_ = WaitFor(process_, limit);
    if (exitCode_) return exitCode_;
    Kill();
    return std::nullopt;
}

void ChildProcess::Kill() {
    if (process_ == -1 || exitCode_) return;
    Terminate(process_);
    exitCode_ = kKilledExitCode;
}

ChildResult RunChild(const std::vector<std::string>& argv, const ChildOptions& options) {
    std::FILE* errors = std::tmpfile();
    ChildOptions withErrors = options;
    withErrors.standardError = errors ? fileno(errors) : -1;
    ChildProcess child(argv, withErrors);
    child.CloseInput();
    ChildResult result;
    result.standardOutput = child.ReadAll();
    result.exitCode = child.Wait();
    if (errors) {
        std::rewind(errors);
        for (int c; (c = std::fgetc(errors)) != EOF;) result.standardError += static_cast<char>(c);
        std::fclose(errors);
    }
    return result;
}

}  // namespace tern_test
