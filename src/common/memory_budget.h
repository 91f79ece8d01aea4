// The memory budget of the readers: the most bytes one block, payload or
// decoded chunk read from an untrusted file may take. Anything a file
// declares or decodes to beyond it is refused before it is allocated.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "common/result.h"

namespace varn {

// An eighth of the physical memory, and no more than half of an
// address-space or data-size limit (ulimit -v, -d) when one is set; at least
// 64 MiB. The budget bounds each block and chunk, and several may be decoded
// at once (one per thread); a block's declared size cannot in general be
// checked against its stored size (a run of one byte value is a legal range
// block of a few bytes for any length), so the budget is what stops a small
// file from claiming much memory.
uint64_t default_memory_budget();

// A size as a user writes it: digits, optionally followed by K, M, G or T
// (powers of 1024, an optional trailing "B" or "iB"), e.g. 512M, 2G, 65536.
Result<uint64_t> parse_memory_size(std::string_view text);

// "N bytes", with the size in MiB or GiB for large ones, e.g. "1073741824 bytes (1.0 GiB)".
std::string memory_size_text(uint64_t bytes);

}  // namespace varn
