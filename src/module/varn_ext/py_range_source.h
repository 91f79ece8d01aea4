// A file in object storage as a range source: its bytes come from a Python
// callable fetch(starts, ends) -> [bytes] (one round of requests per call,
// made by the package with fsspec's cat_ranges). The reader's prefetch puts
// a window's records into a cache in one call; a read the cache does not
// hold fetches just its range. Reads take the GIL only to call Python, so
// decoding threads call them without it.
#pragma once

#include <Python.h>

#include <cstdint>
#include <list>
#include <mutex>
#include <string>
#include <vector>

#include "format/file/range_source.h"

namespace varn::py {

class PyRangeSource final : public RangeSource {
public:
    // Takes a new reference to `fetch`. `url` names the file in messages
    // (without credentials); `cache_limit` bounds the bytes held.
    PyRangeSource(PyObject* fetch, uint64_t size, std::string url, uint64_t cache_limit);
    ~PyRangeSource() override;
    PyRangeSource(const PyRangeSource&) = delete;
    PyRangeSource& operator=(const PyRangeSource&) = delete;

    uint64_t size() const override { return size_; }
    Status read_at(uint64_t offset, size_t n, uint8_t* out) const override;
    Status prefetch(const std::vector<ByteRange>& ranges) override;

    // Bytes already fetched (the header and tail read at open), served
    // like prefetched ones.
    void add(uint64_t offset, std::string bytes);
    // Calls of fetch and bytes fetched so far.
    uint64_t fetches() const;

private:
    struct Block {
        uint64_t offset;
        std::string data;
        uint64_t used = 0;        // bytes served from it
        uint64_t generation = 0;  // the prefetch call that brought it
    };
    // Calls fetch with the GIL taken; one string per range, of its length.
    Status fetch(const std::vector<ByteRange>& ranges, std::vector<std::string>& out) const;
    // Under mu_: drops blocks of old prefetch calls and the oldest past the limit.
    void evict();

    PyObject* fetch_;
    uint64_t size_;
    std::string url_;
    uint64_t cache_limit_;
    mutable std::mutex mu_;
    mutable std::list<Block> blocks_;  // oldest first
    mutable uint64_t cached_ = 0;
    mutable uint64_t fetches_ = 0;
    uint64_t generation_ = 0;
};

}  // namespace varn::py
