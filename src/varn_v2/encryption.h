// Optional per-column encryption of column payloads: AES-256 in counter mode,
// with a nonce derived from the column name and the chunk index.
#pragma once

#include <cstdint>

#include "varn_v2/bytes.h"
#include "varn_v2/column_encoding.h"

namespace varn {

// Applies the column's encryption to `payload` in place when its flags ask for
// it and its key is not all zero; otherwise leaves it unchanged. The same call
// decrypts (counter mode is its own inverse).
void apply_column_encryption(const KColumn& column, uint64_t chunk_index, Bytes& payload);

}  // namespace varn
