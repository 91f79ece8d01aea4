#include "common/fd.h"

#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>

#include "common/os_error.h"

namespace varn {

int open_fd(const char* path, int flags, mode_t mode) {
    int fd;
    do {
        fd = ::open(path, flags | O_CLOEXEC, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

ssize_t read_fd(int fd, void* buf, size_t n) {
    ssize_t r;
    do {
        r = ::read(fd, buf, n);
    } while (r < 0 && errno == EINTR);
    return r;
}

ssize_t pread_fd(int fd, void* buf, size_t n, off_t at) {
    ssize_t r;
    do {
        r = ::pread(fd, buf, n, at);
    } while (r < 0 && errno == EINTR);
    return r;
}

Status write_all(int fd, const void* data, size_t n) {
    const auto* p = static_cast<const uint8_t*>(data);
    while (n > 0) {
        const ssize_t w = ::write(fd, p, n > SSIZE_MAX ? SSIZE_MAX : n);
        if (w < 0) {
            if (errno == EINTR) continue;
            return Status::io_error(last_os_error());
        }
        if (w == 0) return Status::io_error("failed to write whole buffer");
        p += w;
        n -= static_cast<size_t>(w);
    }
    return Status::ok();
}

Status pwrite_all(int fd, const void* data, size_t n, off_t at) {
    const auto* p = static_cast<const uint8_t*>(data);
    while (n > 0) {
        const ssize_t w = ::pwrite(fd, p, n > SSIZE_MAX ? SSIZE_MAX : n, at);
        if (w < 0) {
            if (errno == EINTR) continue;
            return Status::io_error(last_os_error());
        }
        if (w == 0) return Status::io_error("failed to write whole buffer");
        p += w;
        n -= static_cast<size_t>(w);
        at += w;
    }
    return Status::ok();
}

}  // namespace varn
