#include "scan/budget.h"

#include <string>

#include "common/memory_budget.h"
#include "format/type_codes.h"

namespace varn::scan {

uint64_t decoded_bytes_per_row(const VarnReader& reader, size_t col) {
    switch (format::kind_of(reader.columns()[col].type_code)) {
        case format::ColumnKind::Int:
        case format::ColumnKind::Float: return 8 + 8 + 1;
        case format::ColumnKind::Flags: return 1 + 1 + 1;
        case format::ColumnKind::Text:
        case format::ColumnKind::Bytes: return sizeof(ByteView) + 8 + 1;
        case format::ColumnKind::Nested: return sizeof(ByteView) + 8 + 8 + 1;
    }
    return sizeof(ByteView) + 8 + 1;
}

uint64_t chunk_decode_bytes(const VarnReader& reader, size_t chunk, const std::vector<size_t>& cols) {
    uint64_t per_row = 0;
    for (size_t col : cols) per_row += decoded_bytes_per_row(reader, col);
    const uint64_t rows = reader.chunk_rows(chunk);
    // No overflow: rows < 2^32 and a file has fewer than 2^16 columns.
    return rows * per_row;
}

Status check_chunk_budget(const VarnReader& reader, size_t chunk, size_t columns, uint64_t bytes) {
    const uint64_t budget = reader.memory_budget();
    if (bytes <= budget) return Status::ok();
    return Status::corrupt("chunk " + std::to_string(chunk) + ": decoding its " +
                           std::to_string(reader.chunk_rows(chunk)) + " rows of the " +
                           std::to_string(columns) + " columns read takes about " + memory_size_text(bytes) +
                           ", more than the memory budget of " + memory_size_text(budget) +
                           "; a larger budget is max_memory= in Python, --max-memory on the command line");
}

}  // namespace varn::scan
