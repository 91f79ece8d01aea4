#include "format/column/text_batch.h"

#include <algorithm>
#include <bit>
#include <cstdint>

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace varn {

void TextBatch::grow() {
    // The first rows get room for at most 65,536 spans in all, so a batch of
    // few rows stays small however many columns it has. Powers of two: the
    // doublings then end at exactly 65,536 rows, a full batch.
    const size_t first =
        std::bit_floor(std::clamp<size_t>(65536 / std::max<size_t>(columns, 1), 1, 1024));
    const size_t wider = std::max({stride * 2, first, expected_rows});
    std::vector<TextSpan> moved(columns * wider);
    for (size_t c = 0; c < columns; ++c)
        std::copy_n(cells.begin() + static_cast<std::ptrdiff_t>(c * stride), rows,
                    moved.begin() + static_cast<std::ptrdiff_t>(c * wider));
    cells.swap(moved);
    stride = wider;
}

void TextBatch::release_spans(size_t c) {
#if defined(__linux__) && defined(MADV_DONTNEED)
    if (c >= columns || stride == 0) return;
    static const uintptr_t page = static_cast<uintptr_t>(::sysconf(_SC_PAGESIZE));
    if (page == 0 || (page & (page - 1)) != 0) return;
    const uintptr_t from = reinterpret_cast<uintptr_t>(cells.data() + c * stride);
    const uintptr_t to = reinterpret_cast<uintptr_t>(cells.data() + (c + 1) * stride);
    const uintptr_t first = (from + page - 1) & ~(page - 1);
    const uintptr_t last = to & ~(page - 1);
    // Private anonymous memory (the heap) reads as zeros after this; the
    // spans are written again before they are read.
    if (last > first) (void)::madvise(reinterpret_cast<void*>(first), last - first, MADV_DONTNEED);
#else
    (void)c;
#endif
}

}  // namespace varn
