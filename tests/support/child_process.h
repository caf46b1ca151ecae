// A program run by a test as a child process: started with pipes to its standard input and
// output, read line by line, waited for or killed. The one way tests start other programs.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace tern_test {

struct ChildOptions {
    // Variables replaced in or added to this process's environment for the child.
    std::map<std::string, std::string> environment;
    // The child's standard error, a descriptor of this process; -1: this process's.
    int standardError = -1;
};

class ChildProcess {
public:
    // Starts `argv` (argv[0] is the program's path). Started() tells whether that worked.
    explicit ChildProcess(const std::vector<std::string>& argv, const ChildOptions& options = {});
    // Kills the child if it still runs.
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool Started() const { return process_ != -1; }

    // Ends the child's standard input.
    void CloseInput();
    // The next line of the child's standard output without its newline; nullopt at its end.
    std::optional<std::string> ReadLine();
    // Everything the child writes to standard output from now until it closes it.
    std::string ReadAll();

    // The exit code (128 + the signal's number when a signal ended it); nullopt, with the child
    // killed, when it did not end within `limit`.
    std::optional<int> Wait(std::chrono::milliseconds limit = std::chrono::seconds(30));
    void Kill();

private:
    intptr_t process_ = -1;  // the process id on Linux, the process handle on Windows
    int input_ = -1;
    std::FILE* output_ = nullptr;
    std::optional<int> exitCode_;
};

// Runs `argv` to its end with standard input closed: its exit code, standard output and
// standard error (options.standardError is ignored).
struct ChildResult {
    std::optional<int> exitCode;
    std::string standardOutput;
    std::string standardError;
};
ChildResult RunChild(const std::vector<std::string>& argv, const ChildOptions& options = {});

}  // namespace tern_test
