// Where a VarnReader takes its bytes from: a local file read with pread, or
// any other store that hands out byte ranges (the Python package fills one
// from an object store). A source is shared by every reader and thread of
// one opened file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/result.h"

namespace varn {

struct ByteRange {
    uint64_t offset;
    uint64_t length;
};

class RangeSource {  // where a VarnReader takes its bytes from
public:
    virtual ~RangeSource() = default;
    virtual uint64_t size() const = 0;
    // Exactly n bytes at offset; thread-safe (decode threads call it at once).
    // A range that runs past the end is an error of kind corrupt whose
    // message says where the data ends; a failed read is an I/O error.
    virtual Status read_at(uint64_t offset, size_t n, uint8_t* out) const = 0;
    // A hint that these ranges are read soon: a remote source fetches them
    // in one round; a local one does nothing.
    virtual Status prefetch(const std::vector<ByteRange>& ranges) {
        (void)ranges;
        return {};
    }
};

// A regular local file, read with pread on a descriptor the source owns
// (closed with it). Its size is taken once, at open.
class LocalFileSource final : public RangeSource {
public:
    // Opens `path` without waiting (a FIFO does not block) and refuses
    // anything but a regular file.
    static Result<std::shared_ptr<LocalFileSource>> open(const std::string& path);
    ~LocalFileSource() override;
    LocalFileSource(const LocalFileSource&) = delete;
    LocalFileSource& operator=(const LocalFileSource&) = delete;

    uint64_t size() const override { return size_; }
    Status read_at(uint64_t offset, size_t n, uint8_t* out) const override;

private:
    LocalFileSource(int fd, uint64_t size) : fd_(fd), size_(size) {}
    int fd_;
    uint64_t size_;
};

// The ranges to fetch for `records` (sorted by offset or not): neighbours
// whose gap is at most `max_gap` bytes are merged while the merged range
// stays within `max_range` bytes (a single record longer than that stays
// one range). The result is sorted by offset and its ranges do not overlap.
std::vector<ByteRange> merge_ranges(std::vector<ByteRange> records, uint64_t max_gap,
                                    uint64_t max_range);

}  // namespace varn
