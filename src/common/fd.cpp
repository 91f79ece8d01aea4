#include "common/fd.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>

#include "common/os_error.h"

namespace varn {

namespace {

// Runs `call` again while a signal interrupts it (-1 with errno EINTR).
template <typename Call>
auto restarted(Call call) {
    decltype(call()) r;
    do {
        r = call();
    } while (r < 0 && errno == EINTR);
    return r;
}

// Writes data[0..n) in as many calls of write_at(p, len, done) as it takes;
// `done` is the count already written.
template <typename WriteAt>
Status write_fully(const void* data, size_t n, WriteAt write_at) {
    const auto* p = static_cast<const uint8_t*>(data);
    size_t done = 0;
    while (done < n) {
        const size_t len = std::min<size_t>(n - done, SSIZE_MAX);
        const ssize_t w = restarted([&] { return write_at(p + done, len, done); });
        if (w < 0) return Status::io_error(last_os_error());
        if (w == 0) return Status::io_error("failed to write whole buffer");
        done += static_cast<size_t>(w);
    }
    return Status::ok();
}

}  // namespace

int open_fd(const char* path, int flags, mode_t mode) {
    return restarted([&] { return ::open(path, flags | O_CLOEXEC, mode); });
}

ssize_t read_fd(int fd, void* buf, size_t n) {
    return restarted([&] { return ::read(fd, buf, n); });
}

ssize_t pread_fd(int fd, void* buf, size_t n, off_t at) {
    return restarted([&] { return ::pread(fd, buf, n, at); });
}

Status write_all(int fd, const void* data, size_t n) {
    return write_fully(data, n, [fd](const uint8_t* p, size_t len, size_t) { return ::write(fd, p, len); });
}

Status pwrite_all(int fd, const void* data, size_t n, off_t at) {
    return write_fully(data, n, [fd, at](const uint8_t* p, size_t len, size_t done) {
        return ::pwrite(fd, p, len, at + static_cast<off_t>(done));
    });
}

}  // namespace varn
