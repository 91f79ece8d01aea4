#include "file_info.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/fd.h"
#include "common/os_error.h"

namespace varn {

Result<uint64_t> opened_file_size(const std::string& path, const char* open_prefix) {
    // O_NONBLOCK: opening a FIFO must not wait for a writer.
    const int fd = open_fd(path.c_str(), O_RDONLY | O_NONBLOCK);
    if (fd < 0) return Status::io_error(std::string(open_prefix) + last_os_error());
    struct stat st;
    if (::fstat(fd, &st) != 0) {
        std::string message = "Failed to read metadata: " + last_os_error();
        ::close(fd);
        return Status::io_error(std::move(message));
    }
    ::close(fd);
    // A FIFO, socket or device has no file size to report.
    if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode))
        return Status::io_error(std::string(open_prefix) + "not a regular file");
    return static_cast<uint64_t>(st.st_size);
}

}  // namespace varn
