// Runs a helper program as a child process and collects what it printed.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace tern_test {

struct ChildOutput {
    int exitCode = -1;  // 128 + signal number when a signal ended it
    std::string standardOutput;
    std::string standardError;
};

// Runs `program` with `arguments` (argv[0] is `program`) and this process's environment with
// the variables of `environment` replaced or added; its output goes through files in
// `workDirectory`.
ChildOutput RunChild(const std::string& program, const std::vector<std::string>& arguments,
                     const std::map<std::string, std::string>& environment,
                     const std::string& workDirectory);

}  // namespace tern_test
