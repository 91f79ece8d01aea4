// Optional per-column encryption of column payloads: AES-256 in counter mode,
// with a nonce derived from the column name and the chunk index. A file with
// an encrypted column carries a random 16-byte salt (header bytes 32..47);
// its columns are encrypted with HKDF-SHA256 of the given key and that salt,
// so one key used for two files never repeats a keystream.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "common/result.h"
#include "common/bytes.h"
#include "format/column/column_encoding.h"

namespace varn {

// Applies the column's encryption to `payload` in place when its flags ask for
// it and its key is not all zero; otherwise leaves it unchanged. The same call
// decrypts (counter mode is its own inverse). Fails only when OpenSSL cannot
// set up the cipher; the payload may then be partly transformed and must not
// be written.
Status apply_column_encryption(const KColumn& column, uint64_t chunk_index, Bytes& payload);

using ColumnKeyBytes = std::array<uint8_t, 32>;
using FileSalt = std::array<uint8_t, 16>;

bool key_is_zero(const ColumnKeyBytes& key);
bool salt_is_zero(const FileSalt& salt);
// 16 bytes from the operating system's secure random generator.
Result<FileSalt> random_file_salt();
// HKDF-SHA256 (extract and expand) of `ikm` with `salt` and `info`, `length` bytes.
Result<Bytes> hkdf_sha256(ByteView ikm, ByteView salt, ByteView info, size_t length);
// The key a column is encrypted with in a file whose salt is `salt`:
// HKDF-SHA256(key, salt, "VARN v2 column encryption", 32); a zero salt
// (a file written without one) gives the key unchanged.
Result<ColumnKeyBytes> file_column_key(const ColumnKeyBytes& key, const FileSalt& salt);

// The key check value a file with encrypted columns keeps in header bytes
// 48..63: HKDF-SHA256(key, salt, "VARN v2 key check", 16), of the key as the
// user gives it, so that a reader tells a wrong key before it decodes
// anything. Files written before it keep those bytes zero.
using KeyCheck = std::array<uint8_t, 16>;
Result<KeyCheck> key_check_value(const ColumnKeyBytes& key, const FileSalt& salt);
// Compares two check values in constant time.
bool key_checks_equal(const KeyCheck& a, const KeyCheck& b);

// The pieces of the keystream, exposed for tests and for a reader.
//
// Nonce n: FNV-1a 64 of the column name's bytes, XOR the chunk index, times
// the FNV prime (wrapping). Counter block i: n as u64 little-endian, the low
// 32 bits of n * 0x517cc1b727220a95 as u32 little-endian, then i as u32
// big-endian; block i of the payload is XORed with AES-256 of counter block i.
uint64_t fnv1a64(ByteView data);
uint64_t column_nonce(ByteView name, uint64_t chunk_index);
// The first 12 bytes of every counter block of a record.
std::array<uint8_t, 12> counter_prefix(uint64_t nonce);

// XORs `data` with the AES-256 counter-mode keystream whose block i is the
// encryption of prefix || BE32(first_block + i) (wrapping at 2^32). The
// cipher is OpenSSL's AES-256 applied to the counter blocks; fails only if
// OpenSSL cannot set up the cipher.
Status aes256_ctr_xor(const std::array<uint8_t, 32>& key, const std::array<uint8_t, 12>& prefix,
                      uint32_t first_block, uint8_t* data, size_t len);

}  // namespace varn
