// A read-only OpenSSL BIO over the first bytes of an open file, read with pread: the
// descriptor's offset never moves, and the bytes stream through without being held in memory.
#pragma once

#include <openssl/bio.h>

#include <cstdint>

#include "platform/posix/trust/openssl_handles.h"

namespace platform::openssl {

class FdRangeBio {
public:
    // Bytes [0, size) of `fd`, which must stay open while this object lives.
    FdRangeBio(int fd, uint64_t size);
    FdRangeBio(const FdRangeBio&) = delete;
    FdRangeBio& operator=(const FdRangeBio&) = delete;

    BIO* Get() const { return bio_.get(); }  // null when OpenSSL could not create it
    // True when a read failed or the file ended before `size` bytes: what was read is not the
    // whole range, whatever OpenSSL concluded from it.
    bool Incomplete() const { return state_.incomplete; }

    struct State {
        int fd;
        uint64_t offset;
        uint64_t end;
        bool incomplete;
    };

private:
    State state_;
    BioPtr bio_;
};

}  // namespace platform::openssl
