#include "format/file/range_source.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "common/fd.h"
#include "common/os_error.h"

namespace varn {

Result<std::shared_ptr<LocalFileSource>> LocalFileSource::open(const std::string& path) {
    // O_NONBLOCK: opening a FIFO must not wait for a writer; only a regular
    // file is read, and reads of a regular file ignore the flag.
    const int fd = open_fd(path.c_str(), O_RDONLY | O_NONBLOCK);
    if (fd < 0) return Status::io_error("cannot open the file: " + last_os_error());
    struct stat st;
    if (::fstat(fd, &st) != 0) {
        Status err = Status::io_error("cannot stat the file: " + last_os_error());
        ::close(fd);
        return err;
    }
    if (!S_ISREG(st.st_mode)) {
        ::close(fd);
        return Status::corrupt("not a regular file");  // so not a VARN file
    }
    return std::shared_ptr<LocalFileSource>(
        new LocalFileSource(fd, static_cast<uint64_t>(st.st_size)));
}

LocalFileSource::~LocalFileSource() { ::close(fd_); }

Status LocalFileSource::read_at(uint64_t offset, size_t n, uint8_t* out) const {
    size_t done = 0;
    while (done < n) {
        const ssize_t r = pread_fd(fd_, out + done, n - done, static_cast<off_t>(offset + done));
        if (r < 0) return Status::io_error("read failed: " + last_os_error());
        if (r == 0) {
            return Status::corrupt("the file ends at " + std::to_string(offset + done) +
                                   ", inside it (" + std::to_string(n) + " bytes expected)");
        }
        done += static_cast<size_t>(r);
    }
    return Status::ok();
}

std::vector<ByteRange> merge_ranges(std::vector<ByteRange> records, uint64_t max_gap,
                                    uint64_t max_range) {
    std::sort(records.begin(), records.end(),
              [](const ByteRange& a, const ByteRange& b) { return a.offset < b.offset; });
    std::vector<ByteRange> out;
    for (const ByteRange& r : records) {
        if (r.length == 0) continue;
        if (!out.empty()) {
            ByteRange& last = out.back();
            const uint64_t last_end = last.offset + last.length;
            const uint64_t end = std::max(last_end, r.offset + r.length);
            // Overlapping ranges always join; close ones join while small.
            if (r.offset < last_end ||
                (r.offset - last_end <= max_gap && end - last.offset <= max_range)) {
                last.length = end - last.offset;
                continue;
            }
        }
        out.push_back(r);
    }
    return out;
}

}  // namespace varn
