#include "platform/posix/trust/fd_range_bio.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace platform::openssl {
namespace {

using State = FdRangeBio::State;

int Read(BIO* bio, char* buffer, size_t capacity, size_t* done) {
    auto* state = static_cast<State*>(BIO_get_data(bio));
    *done = 0;
    const uint64_t wanted = std::min<uint64_t>(capacity, state->end - state->offset);
    if (wanted == 0) return 0;
    ssize_t got;
    do {
        got = pread(state->fd, buffer, wanted, static_cast<off_t>(state->offset));
    } while (got < 0 && errno == EINTR);
    if (got <= 0) {
        state->incomplete = true;
        return 0;
    }
    state->offset += static_cast<uint64_t>(got);
    *done = static_cast<size_t>(got);
    return 1;
}

long Control(BIO* bio, int command, long, void*) {
    const auto* state = static_cast<const State*>(BIO_get_data(bio));
    switch (command) {
        case BIO_CTRL_EOF:
            return state->offset >= state->end || state->incomplete;
        case BIO_CTRL_FLUSH:
            return 1;
        default:
            return 0;
    }
}

int Create(BIO* bio) {
    BIO_set_init(bio, 1);
    return 1;
}

struct MethodDeleter {
    void operator()(BIO_METHOD* method) const { BIO_meth_free(method); }
};

const BIO_METHOD* Method() {
    static const std::unique_ptr<BIO_METHOD, MethodDeleter> method = [] {
        std::unique_ptr<BIO_METHOD, MethodDeleter> created;
        const int index = BIO_get_new_index();
        if (index != -1) created.reset(BIO_meth_new(index | BIO_TYPE_SOURCE_SINK, "file range"));
        if (created) {
            BIO_meth_set_read_ex(created.get(), Read);
            BIO_meth_set_ctrl(created.get(), Control);
            BIO_meth_set_create(created.get(), Create);
        }
        return created;
    }();
    return method.get();
}

}  // namespace

FdRangeBio::FdRangeBio(int fd, uint64_t size) : state_{fd, 0, size, false} {
    if (const BIO_METHOD* method = Method()) bio_.reset(BIO_new(method));
    if (bio_) BIO_set_data(bio_.get(), &state_);
}

}  // namespace platform::openssl
