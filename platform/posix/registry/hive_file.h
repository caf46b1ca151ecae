// One hive file on disk and its parsed contents, shared by every handle of the process.
//
// Reads and changes run under a mutex, so threads may use the same hive. Before each of them
// the file is stat'ed and read again when it changed on disk (other processes replace it whole,
// so reading needs no lock). A change that leaves the contents as they were costs nothing more;
// any other change takes an exclusive flock on "<hive>.lock", applies itself again to the
// newest file when another process changed it meanwhile, and replaces the file atomically.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/posix/registry/hive_tree.h"
#include "platform/posix/unique_fd.h"

namespace platform {

class HiveFile {
public:
    // The process-wide instance for the hive stored at `path`, whose sections are rooted at
    // `rootName`.
    static std::shared_ptr<HiveFile> At(const std::string& path, const std::string& rootName);

    HiveFile(std::string path, std::string rootName);
    HiveFile(const HiveFile&) = delete;
    HiveFile& operator=(const HiveFile&) = delete;

    // Answers `read` applied to the current contents; kRegNotFound when the file is unusable.
    long Read(const std::function<long(const reg::Tree&)>& read);

    // Applies `change` to the current contents and stores the result. `change` answers the
    // operation's code and sets *modified when it altered the tree; it may run twice, the
    // second time on contents another process wrote meanwhile. kRegCorrupt when the file is
    // unusable or cannot be written.
    using Change = std::function<long(reg::Tree&, bool* modified)>;
    long Apply(const Change& change);

private:
    // Identity of one version of the file; a missing file has exists == false.
    struct Stamp {
        bool exists = false;
        dev_t device = 0;
        ino_t inode = 0;
        off_t size = 0;
        int64_t mtimeNs = 0;
        bool operator==(const Stamp& other) const;
    };

    static Stamp StampOf(const struct stat& info);
    Stamp StatFile() const;
    std::string Directory() const;

    void Refresh();
    void Load();
    void MarkUnusable(const Stamp& stamp, const std::string& problem);
    bool LockExclusively();
    bool Store();

    const std::string path_;
    const std::string rootName_;

    std::mutex mutex_;
    reg::Tree tree_;
    // tree_ holds the version stamp_ names; false forces a re-read.
    bool loaded_ = false;
    bool unusable_ = false;
    Stamp stamp_;
    // Kept open so that the inode of the version in tree_ cannot be reused by a later file,
    // which would make a replaced file look unchanged.
    UniqueFd version_;
    // The last unusable version reported, so that each bad version is reported once.
    std::optional<Stamp> reported_;
    UniqueFd lockFile_;
    pid_t lockFileOwner_ = 0;
};

}  // namespace platform
