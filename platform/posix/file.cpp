#include "platform/file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/posix/fd_io.h"
#include "platform/posix/file_access.h"

namespace platform {

void File::Close() {
    if (handle_ >= 0) ::close(static_cast<int>(handle_));
    handle_ = -1;
}

File File::OpenForReading(const std::string& path) {
    return FileAccess::Adopt(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
}

File File::OpenForReadingAndWriting(const std::string& path) {
    return FileAccess::Adopt(open(path.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC));
}

File File::OpenForWriting(const std::string& path, bool append) {
    return FileAccess::Adopt(
        open(path.c_str(),
             O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | (append ? O_APPEND : O_TRUNC), 0600));
}

bool File::Valid() const { return handle_ >= 0; }

int64_t File::Read(void* buffer, size_t size) const {
    for (;;) {
        const ssize_t got = read(static_cast<int>(handle_), buffer, size);
        if (got >= 0 || errno != EINTR) return got;
    }
}

bool File::WriteAll(const void* data, size_t size) const {
    return platform::WriteAll(static_cast<int>(handle_), data, size);
}

std::optional<uint64_t> File::Size() const {
    struct stat info;
    if (fstat(static_cast<int>(handle_), &info) != 0) return std::nullopt;
    return static_cast<uint64_t>(info.st_size);
}

bool File::Resize(uint64_t size) const {
    return ftruncate(static_cast<int>(handle_), static_cast<off_t>(size)) == 0;
}

bool File::AllowOwnerToExecute() const {
    const int fd = static_cast<int>(handle_);
    struct stat info;
    return fstat(fd, &info) == 0 && fchmod(fd, (info.st_mode & 07777) | S_IXUSR) == 0;
}

}  // namespace platform
