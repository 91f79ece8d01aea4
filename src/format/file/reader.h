// VarnReader: reads a VARN v2 file back. open() checks the header, the
// trailer, the schema and the index, and keeps the per-chunk statistics (the
// index) in memory; every column record is then read on demand from the
// reader's range source (pread on a local file), one at a time, so memory stays bounded by one record and its payload
// whatever the file size. Nothing read from the file is trusted: every length
// and offset is checked against the file's size and layout before it is used,
// and every fault is reported as a message naming where it is (chunk,
// column, file offset).
//
// Not thread-safe: one reader per thread (it reuses one record buffer),
// except the calls given their own RecordBuffers; share() gives another
// reader of the same opened file.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/memory_budget.h"
#include "common/result.h"
#include "common/bytes.h"
#include "format/column/column_decoding.h"
#include "format/column/column_encoding.h"
#include "format/column/kval.h"
#include "format/file/range_source.h"

namespace varn {

using ColumnKey = std::array<uint8_t, 32>;

struct ReaderOptions {
    // The most memory one block, payload or decoded chunk of the file may
    // take: a block whose stored or declared size, or a chunk whose decoded
    // rows, would pass it is refused before anything of that size is
    // allocated. Guards memory against hostile files; by default half of the
    // physical memory (see default_memory_budget).
    uint64_t memory_budget = default_memory_budget();
    // For the Arrow stream: 64-bit offsets for text and bytes columns, which
    // a chunk whose text passes 2 GiB needs (without them such a chunk is an
    // error naming it).
    bool large_offsets = false;
};

// The fixed-position fields of the file, and where its parts lie.
struct VarnFileHeader {
    uint16_t version = 0;
    uint16_t column_count = 0;
    uint64_t total_rows = 0;   // as stored at offset 8
    uint32_t chunk_count = 0;  // as stored at offset 16
    uint32_t chunk_size = 0;
    uint64_t created = 0;      // seconds since the Unix epoch
    std::array<uint8_t, 16> salt{};  // bytes 32..47: zero, or the salt of a file with encrypted columns
    // Bytes 48..63: zero, or the key check value of a file with encrypted
    // columns (key_check_value of its first encrypted column's key).
    std::array<uint8_t, 16> key_check{};
    bool reserved_zero = true;  // bytes 48..63 all zero: no key check value
    uint32_t schema_len = 0;    // S
    uint64_t dict_len = 0;      // D
    uint64_t records_offset = 0;  // 76 + S + D: the first column record
    uint64_t index_offset = 0;    // I (from the trailer)
    uint64_t index_len = 0;       // X (from the trailer)
    uint64_t file_size = 0;
};

class VarnReader {
public:
    // The buffers of one reading thread. read_block and read_payload given
    // their own buffers leave the reader untouched, so several threads may
    // read records of one reader at once.
    struct RecordBuffers {
        Bytes record;  // one record as read from the file
        Bytes stream;  // the LZ stream of the block being decoded
    };

    // Opens `path` and reads its header, schema, trailer and index, and
    // checks the index's layout (check_index_layout). The message of a
    // failure names the part of the file at fault and its offset.
    // The file's descriptor stays open for the reader's life: every read
    // goes to the file opened here, whatever later happens to the path.
    static Result<std::unique_ptr<VarnReader>> open(const std::string& path,
                                                    const ReaderOptions& options = {});
    // The same over any source of bytes.
    static Result<std::unique_ptr<VarnReader>> open(std::shared_ptr<RangeSource> source,
                                                    const ReaderOptions& options = {});
    // A second reader of the same opened file: the same source, index and
    // keys, its own buffers, and nothing read again. Readers of one source
    // may be used on different threads at once.
    std::unique_ptr<VarnReader> share() const;
    ~VarnReader();
    VarnReader(const VarnReader&) = delete;
    VarnReader& operator=(const VarnReader&) = delete;

    const VarnFileHeader& header() const { return header_; }
    const ReaderOptions& options() const { return options_; }
    // The schema: name, type code and flags (keys are never in the file).
    const std::vector<KColumn>& columns() const { return columns_; }
    size_t column_count() const { return columns_.size(); }
    // Chunk count and rows per chunk as the index gives them.
    size_t chunk_count() const { return chunk_rows_.size(); }
    uint32_t chunk_rows(size_t chunk) const { return chunk_rows_[chunk]; }
    uint64_t index_rows() const { return index_rows_; }
    const StreamChunkColMeta& meta(size_t chunk, size_t col) const {
        return metas_[chunk * columns_.size() + col];
    }
    const std::shared_ptr<RangeSource>& source() const { return source_; }

    // Neighbouring records (a gap of up to kPrefetchGap bytes) are fetched
    // together, in ranges of up to kPrefetchRange bytes.
    static constexpr uint64_t kPrefetchGap = 64 << 10;
    static constexpr uint64_t kPrefetchRange = 64 << 20;
    // Tells the source that the records of these chunks x columns are read
    // soon (merged as above): a remote source fetches them in one round, a
    // local one does nothing. Out-of-range numbers are ignored.
    Status prefetch(const std::vector<size_t>& chunks, const std::vector<size_t>& cols) const;

    // The first column with this name.
    std::optional<size_t> find_column(std::string_view name) const;
    bool encrypted(size_t col) const;

    // The key for encrypted column `col`, or for every encrypted column: the
    // key as written by the user; a file with a salt is decrypted with the
    // key derived from it and the salt.
    // A file with a key check value compares the key of its first encrypted
    // column with it (in constant time); a key that does not match is kept
    // as wrong: key_status() and every read of that column fail with the
    // wrong-key error. The other columns' keys are checked by their records.
    void set_column_key(size_t col, const ColumnKey& key);
    void set_key(const ColumnKey& key);
    bool has_key(size_t col) const { return has_key_[col] != 0; }
    // The wrong-key error (kind invalid_input) when a key given failed the
    // file's key check value; ok otherwise (also for a file without one).
    Status key_status() const;
    // The first encrypted column in schema order; column_count() if none.
    size_t first_encrypted() const;

    // Reads the record of (chunk, col), checks its length field against the
    // index and its CRC-32, and decompresses its block into `payload`. The
    // payload of an encrypted column is returned still encrypted.
    Status read_block(size_t chunk, size_t col, Bytes& payload);
    // read_block, then decryption with the column's key. An encrypted column
    // without a key is an error.
    Status read_payload(size_t chunk, size_t col, Bytes& payload);
    // The same two with a thread's own buffers.
    Status read_block(size_t chunk, size_t col, Bytes& payload, RecordBuffers& buffers) const;
    Status read_payload(size_t chunk, size_t col, Bytes& payload, RecordBuffers& buffers) const;
    // read_payload, then the payload decoded into one cell per row (see
    // decode_column_cells; Null cells come back as their stored 0, false or
    // empty value, except in nested columns).
    Status read_cells(size_t chunk, size_t col, std::vector<KVal>& cells);
    // For text, byte-string and nested columns: read_payload, then one view
    // per row of the entry bytes, pointing into `payload`.
    // This and the three calls after it, given `buffers` (RecordBuffers
    // below), leave the reader untouched: threads may make them at once.
    Status read_entries(size_t chunk, size_t col, Bytes& payload, std::vector<ByteView>& entries,
                        RecordBuffers* buffers = nullptr);
    // read_entries without the views: the payload is read, but its entries
    // are not walked. The caller walks them with EntryWalk and reports a
    // fault through payload_fault.
    Status read_entry_payload(size_t chunk, size_t col, Bytes& payload,
                              RecordBuffers* buffers = nullptr);
    // The error for a payload of (chunk, col) that does not decode: `st`
    // prefixed with the record's place.
    Status payload_fault(size_t chunk, size_t col, const Status& st) const;
    // For Int and Float columns: the stored integers, one per row (for Float,
    // the value in units of 1/10000).
    Status read_integers(size_t chunk, size_t col, Bytes& payload, std::vector<int64_t>& values,
                         RecordBuffers* buffers = nullptr);
    // For Bool and type-0 columns: one flag (0 or 1) per row.
    Status read_flags(size_t chunk, size_t col, Bytes& payload, std::vector<uint8_t>& flags,
                      RecordBuffers* buffers = nullptr);

    // The dictionary block, decompressed (a file of this format always holds
    // the empty dictionary, the single byte 00).
    Status read_dictionary(Bytes& decoded);

    // "chunk C, column N 'NAME', record at offset O": the prefix of every
    // message about one record.
    std::string record_place(size_t chunk, size_t col) const;
    // The largest payload the record of (chunk, col) may decode to.
    uint64_t payload_limit(size_t chunk, size_t col) const;
    uint64_t memory_budget() const { return options_.memory_budget; }
    // Fails, naming the record and the budget, when decoding the chunk's rows
    // of (chunk, col) at `bytes_per_row` bytes each would pass the budget.
    Status check_rows_fit(size_t chunk, size_t col, uint64_t bytes_per_row) const;

private:
    VarnReader() = default;
    Status read_at(uint64_t offset, size_t n, uint8_t* out, const char* what) const;
    Status open_parts();
    Status parse_schema(ByteView schema);
    Status parse_index(ByteView index);
    Status entries_payload(size_t chunk, size_t col, Bytes& payload, std::vector<ByteView>* entries,
                           RecordBuffers* buffers);
    // Reads the `n`-byte block `what` at `offset` and decodes it into `out`
    // within the budget.
    Status read_meta_block(uint64_t offset, uint64_t n, const char* what, Bytes& out);
    // Decodes `block` to at most `limit` bytes (and the budget); a failure names `place`.
    Status decode_block(ByteView block, uint64_t limit, const std::string& place, Bytes& out,
                        Bytes& stream) const;

    std::shared_ptr<RangeSource> source_;
    ReaderOptions options_;
    VarnFileHeader header_;
    std::vector<KColumn> columns_;
    std::vector<uint8_t> has_key_;
    std::string key_error_;  // why a key could not be derived
    std::string wrong_key_;  // the wrong-key error of the first encrypted column, if its key failed the check
    std::vector<uint32_t> chunk_rows_;
    uint64_t index_rows_ = 0;
    std::vector<StreamChunkColMeta> metas_;  // chunk-major: chunk * columns + col
    RecordBuffers buffers_;  // of read_block and read_payload on the reader's own thread
};

// The cheap checks of the index a reader relies on before it reads the
// records (open() runs them, so every reader of a file has passed them): every chunk holds at most the header's chunk size of rows (at
// least 1), and the records lie in index order, each starting at or after
// the end of the one before (no two overlap, none is listed twice). open()
// has already checked that each lies inside the records area and that no
// null count exceeds its chunk's rows.
Status check_index_layout(const VarnReader& reader);

// Whether the index entry holds no statistics: what the writer stores for an
// encrypted column (no texts, minimum and maximum 0, every filter bit set).
bool statistics_withheld(const StreamChunkColMeta& m);

// What verify_file checked.
struct VerifyReport {
    uint64_t records = 0;             // records whose length, CRC and block were checked
    uint64_t payloads_decoded = 0;    // of which the payload was decoded and its statistics checked
    uint64_t encrypted_skipped = 0;   // encrypted records without a key: payload not decoded
    uint64_t compressed_bytes = 0;    // sum of block lengths
    uint64_t payload_bytes = 0;       // sum of decoded block sizes
    uint64_t rows = 0;                // rows of all chunks
};

// Checks everything the file allows to be checked, stopping at the first
// fault: the header totals against the index, the reserved bytes, the schema
// flags, the dictionary block, that the records follow one another without
// gap or overlap from the end of the dictionary block to the index block,
// every record's length field, CRC-32 and block, that every payload decodes
// to exactly its chunk's row count, and that the statistics of the index
// (null counts, text minimum and maximum, Bloom filters, integer minimum and
// maximum) agree with the decoded values. `progress`, if set, is called after
// each chunk with the chunk index. The records are read and checked on
// `threads` threads (1: on the calling thread only); the outcome, the first
// fault in file order included, is the same for any count.
Status verify_file(VarnReader& reader, VerifyReport& report,
                   const std::function<void(size_t chunk)>& progress = {}, unsigned threads = 1);

// Reads the record of (chunk, col), decodes its payload and checks it
// against the index's statistics, as verify_file does for every record.
Status check_record(VarnReader& reader, size_t chunk, size_t col);

// Whether the key given for encrypted column `col` is right, before any of
// its data is given out: the file's key check value for its first encrypted
// column, and for every column the first record decoded and checked against
// the index (which catches most, not all, wrong keys in a file without a
// check value). The error is the wrong-key error, kind invalid_input.
Status check_column_key(VarnReader& reader, size_t col);

// The percentage of space the block compression saved over all column
// records of the file at `path`: (sum of decoded payload bytes - sum of
// compressed block bytes) / sum of decoded payload bytes * 100; 0.0 for a
// file without column records (or whose payloads are all empty). Every
// record is read, checked (CRC-32) and decompressed; any fault, or a file
// that is not a VARN v2 file, is an error naming it.
Result<double> block_compression_saved_percent(const std::string& path,
                                               const ReaderOptions& options = {});

}  // namespace varn
