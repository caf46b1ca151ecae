#include "updatelib/host/file_functions.h"

#include "platform/files.h"

namespace Tern {

std::string GetExecutableDirectory() { return platform::ExecutableDirectory(); }

std::string GetTempDirectory() { return platform::TempDirectory(); }

std::string MakeTempFileName(const std::string& prefix, const std::string& directory) {
    std::string target = directory.empty() ? GetTempDirectory() : directory;
    if (target.empty()) return "";
    if (target.back() != '/') target += '/';
    return platform::CreateUniqueTempFile(prefix, target);
}

}  // namespace Tern
