// A byte buffer for input that may hold one very long line: it grows with
// realloc, which moves a large block by remapping its pages instead of
// copying them, and never zero-fills, so a line of L bytes costs about L
// bytes of memory while it is read (a vector would hold the old and the new
// copy at once, and zero-fill the rest). It can shrink back once the long
// line is gone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>

namespace varn {

class GrowBuffer {
public:
    explicit GrowBuffer(size_t size) { resize(size); }
    ~GrowBuffer() { std::free(p_); }
    GrowBuffer(const GrowBuffer&) = delete;
    GrowBuffer& operator=(const GrowBuffer&) = delete;

    uint8_t* data() { return p_; }
    const uint8_t* data() const { return p_; }
    size_t size() const { return size_; }
    uint8_t& operator[](size_t i) { return p_[i]; }
    const uint8_t& operator[](size_t i) const { return p_[i]; }

    // Keeps the first min(size(), n) bytes; the bytes past them are
    // unspecified. Throws std::bad_alloc when the memory cannot be had (the
    // buffer is then unchanged).
    void resize(size_t n) {
        if (n == size_) return;
        void* q = std::realloc(p_, n == 0 ? 1 : n);
        if (!q) throw std::bad_alloc();
        p_ = static_cast<uint8_t*>(q);
        size_ = n;
    }

private:
    uint8_t* p_ = nullptr;
    size_t size_ = 0;
};

}  // namespace varn
