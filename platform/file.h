// An open file: what code above the platform holds, closed when it goes out of scope. No open
// follows a link planted at the path, and no started program inherits the file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace platform {

class File {
public:
    File() = default;
    ~File();
    File(File&& other) noexcept;
    File& operator=(File&& other) noexcept;
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    // The existing file at `path` open for reading; invalid when it cannot be opened.
    static File OpenForReading(const std::string& path);

    // The file at `path` open for reading and writing: invalid for a missing file, a directory,
    // a link, a file without write permission and a running program's file (which also stops
    // the super-user). A file is checked and started through this one handle; where the system
    // can deny other writers while it is open (share modes), the realisation does so.
    static File OpenForReadingAndWriting(const std::string& path);

    // The file at `path` open for writing, created with access for the user alone when missing;
    // with `append` every write goes to its end, otherwise it is emptied first.
    static File OpenForWriting(const std::string& path, bool append);

    bool Valid() const;

    // Reads up to `size` bytes at the file's position and moves it on; the number of bytes read,
    // 0 at the end of the file, -1 when reading fails. An interruption is no failure.
    int64_t Read(void* buffer, size_t size) const;

    // Writes all `size` bytes of `data`, continuing after short writes; false when one fails.
    bool WriteAll(const void* data, size_t size) const;

    // The file's size; nullopt when it cannot be determined.
    std::optional<uint64_t> Size() const;

    // Cuts or extends the file to `size` bytes; false when it cannot.
    bool Resize(uint64_t size) const;

    // Lets the owner run the file as a program; false when it cannot.
    bool AllowOwnerToExecute() const;

private:
    friend struct FileAccess;  // the realisation's way to its own handle
    void Close();

    intptr_t handle_ = -1;  // the realisation's handle; -1 when none is open
};

}  // namespace platform
