// File helpers of the update library: where the program lives and where downloads go.
#pragma once

#include <ostream>
#include <string>

namespace Tern {

// Directory of the running executable, without a trailing separator.
std::string GetExecutableDirectory();

// The user's temporary directory for downloads, ending with a separator; empty when none is
// usable.
std::string GetTempDirectory();

// The prefix of the library's temporary files, and the ending of its downloaded updates.
constexpr const char* kDownloadFilePrefix = "vex";
constexpr const char* kDownloadFileEnding = ".exe";

// Creates a new empty file with a unique name "<directory><prefix><unique>.tmp" and returns its
// full path; empty on failure. Without a directory the file goes to GetTempDirectory().
std::string MakeTempFileName(const std::string& prefix, const std::string& directory = "");

// Creates the new, empty file of a download in GetTempDirectory():
// "<prefix><unique><kDownloadFileEnding>", mode 0600. Its full path; empty on failure.
std::string MakeDownloadFile();

// Whether `path` names a file this library may have downloaded: directly in GetTempDirectory(),
// with the download prefix and ending, and a regular file of the user (not a link). Only such
// files are ever opened, appended to, run or deleted on the word of a stored record.
bool IsDownloadFile(const std::string& path);

// Whether programs may run from `directory`; when they may not (a noexec mount), writes one line
// naming the directory to the technical `log`.
bool ProgramsCanRunFrom(const std::string& directory, std::ostream& log);

// Deletes a downloaded file; a failure is written to the technical `log` and otherwise ignored.
void DeleteUpdateFile(std::ostream& log, const std::string& path);

}  // namespace Tern
