#include "tests/support/child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

extern char** environ;

namespace tern_test {
namespace {

std::vector<std::string> ChildEnvironment(const std::map<std::string, std::string>& changes) {
    std::vector<std::string> variables;
    for (char** entry = environ; *entry; ++entry) {
        const std::string variable = *entry;
        if (changes.count(variable.substr(0, variable.find('='))) == 0) {
            variables.push_back(variable);
        }
    }
    for (const auto& [name, value] : changes) variables.push_back(name + "=" + value);
    return variables;
}

std::vector<char*> Pointers(std::vector<std::string>& texts) {
    std::vector<char*> pointers;
    for (std::string& text : texts) pointers.push_back(text.data());
    pointers.push_back(nullptr);
    return pointers;
}

}  // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const ChildOptions& options) {
    int input[2];
    int output[2];
    if (pipe2(input, O_CLOEXEC) != 0) return;
    if (pipe2(output, O_CLOEXEC) != 0) {
        close(input[0]);
        close(input[1]);
        return;
    }
    std::vector<std::string> arguments = argv;
    std::vector<std::string> variables = ChildEnvironment(options.environment);
    std::vector<char*> argumentPointers = Pointers(arguments);
    std::vector<char*> variablePointers = Pointers(variables);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, input[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
    if (options.standardError >= 0) {
        posix_spawn_file_actions_adddup2(&actions, options.standardError, STDERR_FILENO);
    }
    if (posix_spawn(&pid_, argumentPointers[0], &actions, nullptr, argumentPointers.data(),
                    variablePointers.data()) != 0) {
        pid_ = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    close(input[0]);
    close(output[1]);
    input_ = input[1];
    output_ = fdopen(output[0], "r");
}

ChildProcess::~ChildProcess() {
    Kill();
    CloseInput();
    if (output_) std::fclose(output_);
}

void ChildProcess::Write(const std::string& text) {
    size_t done = 0;
    while (input_ >= 0 && done < text.size()) {
        const ssize_t written = write(input_, text.data() + done, text.size() - done);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return;
        done += static_cast<size_t>(written);
    }
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
    if (exitCode_ || pid_ <= 0) return exitCode_;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    int status = 0;
    while (waitpid(pid_, &status, WNOHANG) != pid_) {
        if (std::chrono::steady_clock::now() > deadline) {
            Kill();
            return std::nullopt;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    exitCode_ = WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
    return exitCode_;
}

void ChildProcess::Kill() {
    if (pid_ <= 0 || exitCode_) return;
    kill(pid_, SIGKILL);
    int status = 0;
    waitpid(pid_, &status, 0);
    exitCode_ = 128 + SIGKILL;
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
