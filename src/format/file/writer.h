// StreamingVarnWriter: writes one VARN v2 file in a single forward pass.
// begin() writes the header, schema and dictionary blocks; write_chunk()
// appends one checksummed record per column; finish() writes the index block
// and trailer, patches the header totals and syncs the file.
//
// Declaring a schema: build one KColumn per column, in order, with its
// type_code (format::TypeCode), and for an encrypted column set
// flags = format::kFlagEncrypt and the 32-byte key (all zero is refused).
// A file with an encrypted column gets a random salt in header bytes 32..47,
// the key check value of its first encrypted column's key in bytes 48..63
// (key_check_value), its encrypted columns the key derived from the given one
// and the salt (file_column_key), and their index entries no statistics. The CSV converter uses
// type_code kTypeText, flags 0 and no key for every column.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "common/result.h"
#include "format/block/block_compression.h"
#include "common/bytes.h"
#include "format/column/column_encoding.h"

namespace varn {

// A payload or block buffer of at least this many bytes (one huge cell) is
// released after its record rather than kept for the next one.
inline constexpr size_t kKeptScratch = size_t{64} << 20;
// Releases `buffer` when it holds kKeptScratch bytes or more.
void release_large(Bytes& buffer);

class StreamingVarnWriter {
public:
    // Starts the file at `path` and writes everything up to the first column
    // record. More than 65,535 columns are refused before anything is created.
    // The file is written under a temporary name in the same directory and
    // only finish() renames it to `path` (through a symbolic link, to the
    // file it names), so whatever was at `path` stays untouched until the new
    // file is complete; a device or FIFO at `path` is written directly.
    // The temporary name records this host and pid (common/temp_names.h);
    // temporary files of the same target that dead processes of this host
    // left are removed first.
    static Result<std::unique_ptr<StreamingVarnWriter>> begin(std::vector<KColumn> columns,
                                                              uint64_t chunk_size,
                                                              const std::string& path);
    // Dropping an unfinished writer removes the temporary file (a device or
    // FIFO written directly gets what was written so far).
    ~StreamingVarnWriter();
    StreamingVarnWriter(const StreamingVarnWriter&) = delete;
    StreamingVarnWriter& operator=(const StreamingVarnWriter&) = delete;

    // Appends one chunk of KVal rows (any column types).
    Status write_chunk(std::span<const Row> rows, uint64_t row_count);
    // Appends one chunk of a batch (the CSV converter's fast path): every
    // column is Text, or Int, Float or Bool with its values parsed into
    // batch.values.
    Status write_text_chunk(const TextBatch& batch);

    // The steps of the two calls above, for ChunkPipeline, which runs the
    // analysis and seal_record of a chunk's columns on worker threads and
    // appends the records in column order. `chunk_index` is the number of
    // chunks before this one.
    // With `values_pending`, the Int, Float and Bool columns' values are
    // parsed later, column by column, and batch.values is not looked at.
    Status check_text_chunk(const TextBatch& batch, uint32_t chunk_index, bool values_pending = false) const;
    Status check_rows_chunk(std::span<const Row> rows, uint64_t row_count, uint32_t chunk_index) const;
    // Fails for a chunk of more rows than the chunk size given to begin() (at least 1).
    Status check_chunk_size(uint64_t rows) const;
    // Encrypts the payload when the column asks for it, then compresses it into `block`.
    static Status seal_record(const KColumn& column, uint32_t chunk_index, Bytes& payload,
                              BlockCompressor& compressor, Bytes& block);
    // Appends one record (its block and the block's CRC-32) and sets its offset and length in `meta`.
    Status append_record(const Bytes& block, uint32_t crc, StreamChunkColMeta& meta);
    // Ends the chunk whose records were appended last.
    Status append_chunk(std::vector<StreamChunkColMeta>&& metas, uint64_t row_count);

    // Writes the index block and trailer, patches the totals, syncs and
    // closes, then renames the file to its path and syncs the directory. On
    // failure the temporary file is removed. Returns the summary text. The
    // writer must not be used afterwards.
    Result<std::string> finish();

    // The block compressor's level for the records written from now on (and
    // by a ChunkPipeline started afterwards). Any level gives a file every
    // reader decodes; Default is the fixed output.
    void set_level(BlockLevel level) { compressor_.set_level(level); }
    BlockLevel level() const { return compressor_.level(); }

    const std::vector<KColumn>& columns() const { return columns_; }
    uint64_t offset() const { return offset_; }
    uint64_t total_rows() const { return total_rows_; }
    uint32_t chunk_count() const { return chunk_count_; }

private:
    StreamingVarnWriter() = default;

    Status write_bytes(const uint8_t* p, size_t n);
    Status flush_buffer();
    // Encrypts (when asked), compresses, checksums and writes one column record.
    Status write_record(const KColumn& column, Bytes& payload, StreamChunkColMeta& meta);
    void close_file();
    void discard_temp();

    std::vector<KColumn> columns_;
    int fd_ = -1;
    std::string target_;  // the path the finished file is renamed to
    std::string temp_;    // the file being written, until renamed; empty when written directly
    Bytes buffer_;        // the write buffer; buffer_.size() bytes are pending
    uint64_t chunk_size_ = 1;
    uint32_t chunk_size_as_given_ = 0;
    uint64_t offset_ = 0;
    uint64_t total_rows_ = 0;
    uint32_t chunk_count_ = 0;
    std::vector<std::vector<StreamChunkColMeta>> chunks_;
    std::vector<uint64_t> chunk_rows_;  // rows each chunk really held

    // Reused across records and chunks.
    BlockCompressor compressor_;
    Bytes payload_;
    Bytes block_;
};

}  // namespace varn
