// Starting programs the way the desktop shell "opens" them, and waiting for them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/file.h"

namespace platform {

// Start results with the desktop shell's meanings: anything above kOpenSucceededAbove is success,
// except kOpenCancelled, the error number the shell reports when the user declined to let the
// program run elevated. OpenSucceeded tells them apart.
constexpr long kOpenSucceededAbove = 32;
constexpr long kOpenStarted = 42;
constexpr long kOpenCancelled = 1223;
constexpr long kOpenOutOfResources = 0;  // a failure without a more precise desktop number
constexpr long kOpenFileNotFound = 2;
constexpr long kOpenPathNotFound = 3;
constexpr long kOpenAccessDenied = 5;
constexpr long kOpenOutOfMemory = 8;
constexpr long kOpenBadFormat = 11;
constexpr long kOpenSharingViolation = 26;

constexpr bool OpenSucceeded(long result) {
    return result > kOpenSucceededAbove && result != kOpenCancelled;
}

// A program this process started, to wait for. Letting it go leaves the program running.
class Process {
public:
    Process() = default;
    ~Process();
    Process(Process&& other) noexcept;
    Process& operator=(Process&& other) noexcept;
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    // Waits until the program ends and returns its exit code; 128 + the signal number when a
    // signal ended it; -1 when there is no program to wait for, as after a wait.
    int Wait();

private:
    friend struct ProcessAccess;  // the realisation's way to its own handle

    intptr_t handle_ = -1;  // the realisation's handle; -1 when there is none
};

// Splits a parameter string into arguments by the desktop command-line rules: blanks and tabs
// separate words, double quotes group (and are removed), 2n backslashes before a quote give n
// backslashes and the quote groups, 2n+1 backslashes before a quote give n backslashes and a
// literal quote, other backslashes are literal. Inside a quoted part "" gives one literal quote
// and the quoted part goes on. A quoted empty part ("") is an empty argument.
std::vector<std::string> SplitCommandLine(const std::string& parameters);

// The arguments this program was started with, the program first, in UTF-8: `argv` as main got
// it on Linux; on Windows the system's UTF-16 command line, split by the system's rules and
// converted once, since the narrow argv there holds only what the ANSI code page can carry.
std::vector<std::string> ProgramArguments(int argc, char** argv);

// Starts `file` with the arguments of `parameters` (SplitCommandLine) in `workingDirectory`
// (the current directory when empty). A relative `file` is taken relative to the working
// directory; there is no search along PATH. The program gets the resolved path as argv[0], this
// process's environment, default signal handling, an empty signal mask and no descriptors
// beyond standard input, output and error. Returns kOpenStarted and stores the started program in
// `process` (when given) on success; otherwise one of the failure results above:
// kOpenPathNotFound when the working directory or the file's directory does not exist.
long OpenProgram(const std::string& file, const std::string& parameters,
                 const std::string& workingDirectory, Process* process = nullptr);

// Starts the program in the open `file` (read access is enough) the same way, so that the very
// file that was checked through `file` runs, whatever the path names meanwhile. On Linux the
// program gets `displayPath` as argv[0] and finds the file at descriptor 3, also when it is a
// script; Windows starts programs by name only, so there the file is started by the name it has
// while `file`, denying other writers, keeps it unchanged (see File::OpenForReadingAndWriting).
long OpenProgramFile(const File& file, const std::string& displayPath,
                     const std::string& parameters, const std::string& workingDirectory,
                     Process* process = nullptr);

// Cuts the file open for reading and writing at `file` to its first `size` bytes (the part a
// signature covers, so that the program never sees what follows it) and starts it as
// OpenProgramFile does, from a read-only handle of that very file: the system refuses to run a
// file that is open for writing, so `file` is closed before the start.
long OpenProgramFilePrefix(File file, uint64_t size, const std::string& displayPath,
                           const std::string& parameters, const std::string& workingDirectory,
                           Process* process = nullptr);

}  // namespace platform
