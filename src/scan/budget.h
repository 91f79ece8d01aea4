// What decoding a chunk takes, checked against the reader's memory budget
// before anything is allocated: a payload of a few bytes can declare
// millions of rows, and every column of a chunk is decoded at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/result.h"
#include "format/file/reader.h"

namespace varn::scan {

// About the bytes one row of column `col` takes once decoded and given out:
// its decoded value (8 bytes for int and float, a view for text), what an
// output built from it holds, and a validity byte. Text payloads are
// bounded by the budget record by record when they are read.
uint64_t decoded_bytes_per_row(const VarnReader& reader, size_t col);

// The bytes decoding these columns (each once) of `chunk` takes.
uint64_t chunk_decode_bytes(const VarnReader& reader, size_t chunk, const std::vector<size_t>& cols);

// Fails, naming the chunk, the estimate, the budget and how to raise it,
// when `bytes` (chunk_decode_bytes) passes the reader's budget.
Status check_chunk_budget(const VarnReader& reader, size_t chunk, size_t columns, uint64_t bytes);

}  // namespace varn::scan
