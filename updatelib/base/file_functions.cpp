#include "updatelib/base/file_functions.h"

#include <cstdio>

#include "platform/files.h"
#include "updatelib/base/library_texts.h"

namespace Tern {

std::string GetExecutableDirectory() { return platform::ExecutableDirectory(); }

std::string GetTempDirectory() { return platform::TempDirectory(); }

std::string MakeTempFileName(const std::string& prefix, const std::string& directory) {
    std::string target = directory.empty() ? GetTempDirectory() : directory;
    if (target.empty()) return "";
    if (target.find_last_of(platform::kPathSeparators) != target.size() - 1) {
        target += platform::kPathSeparator;
    }
    return platform::CreateUniqueTempFile(prefix, target);
}

std::string MakeDownloadFile() {
    const std::string directory = GetTempDirectory();
    if (directory.empty()) return "";
    return platform::CreateUniqueTempFile(kDownloadFilePrefix, directory, kDownloadFileEnding);
}

bool IsDownloadFile(const std::string& path) {
    const std::string directory = GetTempDirectory();
    const std::string prefix = directory + kDownloadFilePrefix;
    const std::string ending = kDownloadFileEnding;
    if (directory.empty() || path.size() < prefix.size() + ending.size() ||
        path.compare(0, prefix.size(), prefix) != 0 ||
        path.compare(path.size() - ending.size(), ending.size(), ending) != 0 ||
        path.find_first_of(platform::kPathSeparators, directory.size()) != std::string::npos) {
        return false;
    }
    return platform::IsRegularFileOfUser(path);
}

bool ProgramsCanRunFrom(const std::string& directory, std::ostream& log) {
    if (platform::AllowsExecution(directory)) return true;
    log << LibText("IDS_LIB_ERR_NOEXEC_DIRECTORY") << " (" << directory << ")" << std::endl;
    return false;
}

void DeleteUpdateFile(std::ostream& log, const std::string& path) {
    if (std::remove(path.c_str()) != 0) {
        log << LibText("IDS_LIB_ERR_CANNOT_DELETE_FILE") << ": " << path << "." << std::endl;
    }
}

}  // namespace Tern
