// File-descriptor calls with the retry every caller needs: open, read,
// pread and write are restarted when a signal interrupts them (EINTR), and
// writes go on until every byte is written.
#pragma once

#include <fcntl.h>
#include <sys/types.h>

#include <cstddef>

#include "common/result.h"

namespace varn {

// open(2) with O_CLOEXEC added, restarted on EINTR; -1 with errno set on
// failure.
int open_fd(const char* path, int flags, mode_t mode = 0);

// read(2) / pread(2) restarted on EINTR: the byte count, 0 at the end, -1
// with errno set on failure.
ssize_t read_fd(int fd, void* buf, size_t n);
ssize_t pread_fd(int fd, void* buf, size_t n, off_t at);

// Writes all of p[0..n) at the file's position (or at `at`). The message of
// a failure is the OS error text.
Status write_all(int fd, const void* p, size_t n);
Status pwrite_all(int fd, const void* p, size_t n, off_t at);

}  // namespace varn
