#include "platform/posix/registry/hive_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>

#include "platform/debug_output.h"
#include "platform/files.h"
#include "platform/posix/fd_io.h"
#include "platform/posix/registry/reg_file_format.h"
#include "platform/registry/registry.h"

namespace platform {
namespace {

// Releases the flock taken on a file descriptor when the scope ends.
class FlockRelease {
public:
    explicit FlockRelease(int fd) : fd_(fd) {}
    ~FlockRelease() { flock(fd_, LOCK_UN); }
    FlockRelease(const FlockRelease&) = delete;
    FlockRelease& operator=(const FlockRelease&) = delete;

private:
    int fd_;
};

bool ReadAll(int fd, std::string* text) {
    text->clear();
    char buffer[65536];
    while (true) {
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return false;
        if (got == 0) return true;
        text->append(buffer, static_cast<size_t>(got));
    }
}

bool SameFile(int fd, const std::string& path) {
    struct stat opened, named;
    return fstat(fd, &opened) == 0 && stat(path.c_str(), &named) == 0 &&
           opened.st_dev == named.st_dev && opened.st_ino == named.st_ino;
}

}  // namespace

std::shared_ptr<HiveFile> HiveFile::At(const std::string& path, const std::string& rootName) {
    static std::mutex mutex;
    // Never destroyed: threads may still use the registry while static objects go away.
    static auto* files = new std::map<std::string, std::shared_ptr<HiveFile>>();
    std::lock_guard<std::mutex> lock(mutex);
    std::shared_ptr<HiveFile>& file = (*files)[path];
    if (!file) file = std::make_shared<HiveFile>(path, rootName);
    return file;
}

HiveFile::HiveFile(std::string path, std::string rootName)
    : path_(std::move(path)), rootName_(std::move(rootName)) {}

bool HiveFile::Stamp::operator==(const Stamp& other) const {
    return exists == other.exists && device == other.device && inode == other.inode &&
           size == other.size && mtimeNs == other.mtimeNs;
}

HiveFile::Stamp HiveFile::StampOf(const struct stat& info) {
    Stamp stamp;
    stamp.exists = true;
    stamp.device = info.st_dev;
    stamp.inode = info.st_ino;
    stamp.size = info.st_size;
    stamp.mtimeNs = static_cast<int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
    return stamp;
}

HiveFile::Stamp HiveFile::StatFile() const {
    struct stat info;
    return stat(path_.c_str(), &info) == 0 ? StampOf(info) : Stamp();
}

std::string HiveFile::Directory() const { return path_.substr(0, path_.rfind('/')); }

long HiveFile::Read(const std::function<long(const reg::Tree&)>& read) {
    std::lock_guard<std::mutex> lock(mutex_);
    Refresh();
    if (unusable_) return kRegNotFound;
    return read(tree_);
}

long HiveFile::Apply(const Change& change) {
    std::lock_guard<std::mutex> lock(mutex_);
    Refresh();
    if (unusable_) return kRegCorrupt;
    bool modified = false;
    long result = change(tree_, &modified);
    if (!modified) return result;

    // From here tree_ is ahead of the file; any failure must make the next call re-read it.
    if (!LockExclusively()) {
        loaded_ = false;
        return kRegCorrupt;
    }
    FlockRelease release(lockFile_.Get());
    if (!(StatFile() == stamp_)) {
        Load();
        if (unusable_) return kRegCorrupt;
        modified = false;
        result = change(tree_, &modified);
        if (!modified) return result;
    }
    if (!Store()) {
        loaded_ = false;
        return kRegCorrupt;
    }
    return result;
}

void HiveFile::Refresh() {
    if (loaded_ && StatFile() == stamp_) return;
    Load();
}

void HiveFile::Load() {
    UniqueFd fd(open(path_.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat info;
    if (!fd.Valid() && errno == ENOENT) {
        reg::Tree empty;
        empty.AdoptSerials(tree_);
        tree_ = std::move(empty);
        stamp_ = Stamp();
        version_.Reset();
        unusable_ = false;
        loaded_ = true;
        return;
    }
    std::string text;
    if (!fd.Valid() || fstat(fd.Get(), &info) != 0 || !ReadAll(fd.Get(), &text)) {
        const std::string problem = std::string("cannot be read: ") + std::strerror(errno);
        MarkUnusable(StatFile(), problem);
        return;
    }
    const Stamp stamp = StampOf(info);
    reg::Tree tree;
    const reg::ParseResult parsed = reg::ParseRegText(text, rootName_, &tree);
    if (!parsed.ok) {
        MarkUnusable(stamp, "line " + std::to_string(parsed.line) + ": " + parsed.reason);
    } else {
        tree.AdoptSerials(tree_);
        tree_ = std::move(tree);
        unusable_ = false;
    }
    stamp_ = stamp;
    version_ = std::move(fd);
    loaded_ = true;
}

// Keeps tree_ as it was, so that handles opened before survive when the file is repaired.
void HiveFile::MarkUnusable(const Stamp& stamp, const std::string& problem) {
    unusable_ = true;
    stamp_ = stamp;
    loaded_ = true;
    if (reported_ && *reported_ == stamp) return;
    reported_ = stamp;
    WriteDebugOutput("Registry hive " + path_ + ": " + problem +
                     "; the hive is not used and the file is left unchanged\n");
}

// flock belongs to the open file description, which a forked child shares with its parent, so
// each process opens the lock file itself. The file is opened again when it was deleted or
// replaced while open, since other processes lock the file now at that path.
bool HiveFile::LockExclusively() {
    const std::string lockPath = path_ + ".lock";
    while (true) {
        if (!lockFile_.Valid() || lockFileOwner_ != getpid()) {
            if (!MakeDirectories(Directory())) return false;
            lockFile_ =
                UniqueFd(open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
            lockFileOwner_ = getpid();
            if (!lockFile_.Valid()) return false;
        }
        if (!LockFile(lockFile_.Get(), LOCK_EX)) return false;
        if (SameFile(lockFile_.Get(), lockPath)) return true;
        flock(lockFile_.Get(), LOCK_UN);
        lockFile_.Reset();
    }
}

// Writes the whole hive to "<hive>.tmp" and renames it over the hive. Only the lock holder
// writes the temporary file, so a fixed name is safe, and a file left by a writer that was
// killed is simply replaced.
bool HiveFile::Store() {
    const std::string directory = Directory();
    const std::string temporary = path_ + ".tmp";
    if (!MakeDirectories(directory)) return false;
    unlink(temporary.c_str());
    UniqueFd fd(
        open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd.Valid()) return false;
    struct stat info;
    const std::string text = reg::FormatRegText(tree_, rootName_);
    if (fchmod(fd.Get(), 0600) != 0 || !WriteAll(fd.Get(), text.data(), text.size()) ||
        fsync(fd.Get()) != 0 || rename(temporary.c_str(), path_.c_str()) != 0) {
        unlink(temporary.c_str());
        return false;
    }
    if (fstat(fd.Get(), &info) != 0 || !SyncDirectory(directory)) return false;
    stamp_ = StampOf(info);
    version_ = std::move(fd);
    return true;
}

}  // namespace platform
