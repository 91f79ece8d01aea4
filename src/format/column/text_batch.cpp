#include "format/column/text_batch.h"

#include <algorithm>
#include <bit>

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

}  // namespace varn
