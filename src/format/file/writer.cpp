// The streaming writer: one forward pass through a 16 MiB buffer, one seek at
// the end to patch the header totals. Between chunks it holds only the
// per-record statistics, never row data; the payload, block and compressor
// scratch are reused from record to record.
#include "format/file/writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "common/fd.h"
#include "common/os_error.h"
#include "common/temp_names.h"
#include "format/file/crc32.h"
#include "format/file/encryption.h"
#include "format/format.h"

namespace varn {

namespace {

// Makes the rename durable: syncs the directory that holds `path`.
void sync_directory_of(const std::string& path) {
    const size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    int fd = open_fd(dir.c_str(), O_RDONLY | O_DIRECTORY);
    if (fd < 0) return;
    (void)::fsync(fd);
    ::close(fd);
}

}  // namespace

void release_large(Bytes& buffer) {
    if (buffer.capacity() >= kKeptScratch) Bytes().swap(buffer);
}

namespace {

uint32_t crc32_of(const Bytes& block) {
    return crc32(block.data(), block.size());
}

}  // namespace

Result<std::unique_ptr<StreamingVarnWriter>> StreamingVarnWriter::begin(std::vector<KColumn> columns,
                                                                        uint64_t chunk_size,
                                                                        const std::string& path) {
    if (columns.size() > format::kMaxColumns) {
        // Refused as an I/O failure: the form compress_csv has always raised.
        return Status::io_error("Too many columns: " + std::to_string(columns.size()) +
                             " (a VARN v2 file holds at most 65535)");
    }
    // An encrypted column needs a real key, and the file a salt of its own:
    // every encrypted column is written with the key derived from both.
    FileSalt salt{};
    KeyCheck key_check{};  // of the first encrypted column's key; zero without one
    bool encrypted = false;
    for (const KColumn& c : columns) {
        if (!(c.flags & format::kFlagEncrypt)) continue;
        if (key_is_zero(c.key)) {
            return Status::invalid_input("Column '" + c.name +
                                 "' is marked for encryption but its key is all zero");
        }
        encrypted = true;
    }
    if (encrypted) {
        auto drawn = random_file_salt();
        if (drawn.failed()) return drawn.status();
        salt = drawn.value();
        bool first = true;
        for (KColumn& c : columns) {
            if (!(c.flags & format::kFlagEncrypt)) continue;
            if (first) {
                auto check = key_check_value(c.key, salt);
                if (check.failed()) return check.status();
                key_check = check.value();
                first = false;
            }
            auto key = file_column_key(c.key, salt);
            if (key.failed()) return key.status();
            c.key = key.value();
        }
    }

    // A regular file (or none) at the path is replaced only when the new one
    // is complete: the file is written under a temporary name beside it and
    // renamed over it by finish(). Anything else there (a device such as
    // /dev/null, a FIFO) is written directly; a directory fails to open.
    std::string target = path;
    struct stat st_out {};
    bool exists = ::stat(path.c_str(), &st_out) == 0;
    if (exists && S_ISREG(st_out.st_mode)) {
        // Through a symbolic link: the file it names is replaced, not the link.
        if (char* real = ::realpath(path.c_str(), nullptr)) {
            target = real;
            std::free(real);
        }
    }
    int fd = -1;
    std::string temp;
    if (exists && !S_ISREG(st_out.st_mode)) {
        fd = open_fd(path.c_str(), O_WRONLY | O_TRUNC);
    } else {
        // What killed writers of this target left here goes first.
        (void)remove_stale_temps(target);
        for (unsigned attempt = 0; fd < 0 && attempt < 100; ++attempt) {
            temp = temp_path_for(target, attempt);
            fd = open_fd(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666);
            if (fd < 0 && errno != EEXIST) break;
        }
        // The new file keeps the permissions of the one it replaces.
        if (fd >= 0 && exists) (void)::fchmod(fd, st_out.st_mode & 07777);
    }
    if (fd < 0) return Status::io_error("Cannot create " + path + ": " + last_os_error());

    std::unique_ptr<StreamingVarnWriter> w(new StreamingVarnWriter());
    w->fd_ = fd;
    w->target_ = std::move(target);
    w->temp_ = std::move(temp);
    w->columns_ = std::move(columns);
    w->buffer_.reserve(format::kWriteBuffer);
    w->chunk_size_as_given_ = static_cast<uint32_t>(chunk_size);
    w->chunk_size_ = chunk_size == 0 ? 1 : chunk_size;

    // Header: straight into the empty buffer.
    Bytes& b = w->buffer_;
    b.insert(b.end(), format::kMagic, format::kMagic + 4);
    put_le<uint16_t>(b, format::kVersion);
    put_le<uint16_t>(b, static_cast<uint16_t>(w->columns_.size()));
    put_le<uint64_t>(b, 0);  // total rows, patched by finish()
    put_le<uint32_t>(b, 0);  // chunk count, patched by finish()
    put_le<uint32_t>(b, w->chunk_size_as_given_);
    struct timespec now {};
    ::clock_gettime(CLOCK_REALTIME, &now);
    put_le<uint64_t>(b, now.tv_sec > 0 ? static_cast<uint64_t>(now.tv_sec) : 0);
    b.insert(b.end(), salt.begin(), salt.end());  // zero without an encrypted column
    b.insert(b.end(), key_check.begin(), key_check.end());

    Bytes schema;
    for (const KColumn& c : w->columns_) {
        put_leb128(schema, c.name.size());
        schema.insert(schema.end(), c.name.begin(), c.name.end());
        schema.push_back(c.type_code);
        schema.push_back(c.flags);
    }
    Bytes schema_block;
    w->compressor_.compress(as_bytes(schema), schema_block);
    put_le<uint32_t>(b, static_cast<uint32_t>(schema_block.size()));
    b.insert(b.end(), schema_block.begin(), schema_block.end());

    const uint8_t empty_dictionary[1] = {0x00};
    Bytes dictionary_block;
    w->compressor_.compress(as_bytes(empty_dictionary, 1), dictionary_block);
    put_le<uint64_t>(b, dictionary_block.size());
    b.insert(b.end(), dictionary_block.begin(), dictionary_block.end());

    w->offset_ = b.size();
    // A header larger than the buffer (a huge schema) goes out now.
    if (b.size() > format::kWriteBuffer) {
        Status st = w->flush_buffer();
        if (st.failed()) return st;
    }
    return w;
}

StreamingVarnWriter::~StreamingVarnWriter() {
    if (fd_ >= 0) {
        // Abandoned without finish(): the temporary file goes, and whatever
        // was at the path stays as it was. Written directly (a device or a
        // FIFO), what was written is flushed, as far as it goes.
        if (temp_.empty()) (void)flush_buffer();
        close_file();
    }
    discard_temp();
}

void StreamingVarnWriter::discard_temp() {
    if (!temp_.empty()) {
        (void)::unlink(temp_.c_str());
        temp_.clear();
    }
}

void StreamingVarnWriter::close_file() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

Status StreamingVarnWriter::flush_buffer() {
    if (buffer_.empty()) return Status::ok();
    Status st = write_all(fd_, buffer_.data(), buffer_.size());
    buffer_.clear();
    return st;
}

Status StreamingVarnWriter::write_bytes(const uint8_t* p, size_t n) {
    if (buffer_.size() + n <= format::kWriteBuffer) {
        buffer_.insert(buffer_.end(), p, p + n);
        return Status::ok();
    }
    VARN_RETURN_IF_ERROR(flush_buffer());
    if (n >= format::kWriteBuffer) return write_all(fd_, p, n);
    buffer_.insert(buffer_.end(), p, p + n);
    return Status::ok();
}

Status StreamingVarnWriter::seal_record(const KColumn& column, uint32_t chunk_index, Bytes& payload,
                                        BlockCompressor& compressor, Bytes& block) {
    if (column.flags & format::kFlagEncrypt)
        VARN_RETURN_IF_ERROR(apply_column_encryption(column, chunk_index, payload));
    compressor.compress(as_bytes(payload), block);
    return Status::ok();
}

Status StreamingVarnWriter::append_record(const Bytes& block, uint32_t crc, StreamChunkColMeta& meta) {
    uint8_t prefix[format::kRecordPrefixSize];
    store_le<uint32_t>(prefix, crc);
    store_le<uint64_t>(prefix + 4, block.size());
    meta.block_offset = offset_;
    meta.block_len = block.size();
    VARN_RETURN_IF_ERROR(write_bytes(prefix, sizeof prefix));
    VARN_RETURN_IF_ERROR(write_bytes(block.data(), block.size()));
    offset_ += format::kRecordPrefixSize + block.size();
    return Status::ok();
}

Status StreamingVarnWriter::write_record(const KColumn& column, Bytes& payload,
                                         StreamChunkColMeta& meta) {
    VARN_RETURN_IF_ERROR(seal_record(column, chunk_count_, payload, compressor_, block_));
    return append_record(block_, crc32_of(block_), meta);
}

Status StreamingVarnWriter::append_chunk(std::vector<StreamChunkColMeta>&& metas,
                                         uint64_t row_count) {
    // The index is not encrypted: an encrypted column keeps no statistic of
    // its plaintext there, and its Bloom filter, every bit set, rules nothing out.
    for (size_t c = 0; c < columns_.size() && c < metas.size(); ++c) {
        if (!(columns_[c].flags & format::kFlagEncrypt)) continue;
        StreamChunkColMeta& m = metas[c];
        m.min_str.clear();
        m.max_str.clear();
        m.min = m.max = 0;
        m.bloom.fill(~uint64_t{0});
    }
    chunks_.push_back(std::move(metas));
    chunk_rows_.push_back(row_count);
    total_rows_ += row_count;
    ++chunk_count_;
    return Status::ok();
}

// The header's chunk size bounds every chunk: readers rely on it.
Status StreamingVarnWriter::check_chunk_size(uint64_t rows) const {
    const uint64_t most = std::max<uint64_t>(chunk_size_as_given_, 1);
    if (rows > most) {
        return Status::invalid_input("A chunk of " + std::to_string(rows) +
                             " rows is larger than the file's chunk size of " + std::to_string(most));
    }
    return Status::ok();
}

Status StreamingVarnWriter::check_rows_chunk(std::span<const Row> rows, uint64_t row_count,
                                             uint32_t chunk_index) const {
    if (row_count != rows.size()) {
        return Status::internal("write_chunk: row count " + std::to_string(row_count) +
                             " does not match the " + std::to_string(rows.size()) + " rows given");
    }
    if (row_count > UINT32_MAX) return Status::invalid_input("A chunk holds at most 4294967295 rows");
    VARN_RETURN_IF_ERROR(check_chunk_size(row_count));
    if (chunk_index == UINT32_MAX) return Status::invalid_input("A file holds at most 4294967295 chunks");
    return Status::ok();
}

Status StreamingVarnWriter::write_chunk(std::span<const Row> rows, uint64_t row_count) {
    if (row_count == 0) return Status::ok();
    VARN_RETURN_IF_ERROR(check_rows_chunk(rows, row_count, chunk_count_));
    std::vector<StreamChunkColMeta> metas(columns_.size());
    for (size_t c = 0; c < columns_.size(); ++c) {
        analyze_column(columns_[c], rows, c, payload_, metas[c]);
        VARN_RETURN_IF_ERROR(write_record(columns_[c], payload_, metas[c]));
    }
    return append_chunk(std::move(metas), row_count);
}

Status StreamingVarnWriter::check_text_chunk(const TextBatch& batch, uint32_t chunk_index,
                                             bool values_pending) const {
    if (batch.columns != columns_.size()) {
        return Status::internal("write_text_chunk: the batch has " + std::to_string(batch.columns) +
                             " columns, the schema " + std::to_string(columns_.size()));
    }
    if (!batch_fits_schema(batch, columns_)) {
        for (const KColumn& c : columns_) {
            const bool parsed_later = values_pending && (c.type_code == format::kTypeInt ||
                                                         c.type_code == format::kTypeFloat ||
                                                         c.type_code == format::kTypeBool);
            if (c.type_code != format::kTypeText && !parsed_later)
                return Status::internal("write_text_chunk: column " + c.name +
                                     " is neither a text column nor given as parsed values");
        }
    }
    if (batch.rows > UINT32_MAX) return Status::invalid_input("A chunk holds at most 4294967295 rows");
    VARN_RETURN_IF_ERROR(check_chunk_size(batch.rows));
    if (chunk_index == UINT32_MAX) return Status::invalid_input("A file holds at most 4294967295 chunks");
    return Status::ok();
}

Status StreamingVarnWriter::write_text_chunk(const TextBatch& batch) {
    if (batch.rows == 0) return Status::ok();
    VARN_RETURN_IF_ERROR(check_text_chunk(batch, chunk_count_));
    std::vector<StreamChunkColMeta> metas(columns_.size());
    TextBounds bounds;
    for (size_t c = 0; c < columns_.size(); ++c) {
        analyze_batch_column(columns_[c], batch, c, payload_, metas[c], &bounds);
        VARN_RETURN_IF_ERROR(write_record(columns_[c], payload_, metas[c]));
        release_large(payload_);
        release_large(block_);
        keep_text_bounds(bounds, metas[c]);
    }
    return append_chunk(std::move(metas), batch.rows);
}

Result<std::string> StreamingVarnWriter::finish() {
    if (fd_ < 0) return Status::internal("the writer is already finished");
    Bytes index;
    put_le<uint32_t>(index, chunk_count_);
    put_le<uint16_t>(index, static_cast<uint16_t>(columns_.size()));
    for (uint64_t rows : chunk_rows_) put_le<uint32_t>(index, static_cast<uint32_t>(rows));
    for (auto& chunk : chunks_) {
        for (StreamChunkColMeta& m : chunk) {
            put_le<uint64_t>(index, m.block_offset);
            put_le<uint64_t>(index, m.block_len);
            index.push_back(m.encoding);
            put_le<uint32_t>(index, m.null_count);
            put_zigzag(index, m.min);
            put_zigzag(index, m.max);
            put_leb128(index, m.min_str.size());
            index.insert(index.end(), m.min_str.begin(), m.min_str.end());
            put_leb128(index, m.max_str.size());
            index.insert(index.end(), m.max_str.begin(), m.max_str.end());
            for (uint64_t word : m.bloom) put_le<uint64_t>(index, word);
            // A long text (one huge cell) is not held twice.
            std::string().swap(m.min_str);
            std::string().swap(m.max_str);
        }
    }
    // The metadata is no longer needed once serialised.
    chunks_.clear();
    chunks_.shrink_to_fit();
    Bytes index_block;
    compressor_.compress(as_bytes(index), index_block);
    index = Bytes();

    uint8_t trailer[format::kTrailerSize];
    store_le<uint64_t>(trailer, index_block.size());
    store_le<uint64_t>(trailer + 8, offset_);
    Status st = write_bytes(index_block.data(), index_block.size());
    if (st.is_ok()) st = write_bytes(trailer, sizeof trailer);
    if (st.is_ok()) st = flush_buffer();
    if (st.is_ok()) {
        offset_ += index_block.size() + sizeof trailer;
        uint8_t totals[12];
        store_le<uint64_t>(totals, total_rows_);
        store_le<uint32_t>(totals + 8, chunk_count_);
        st = pwrite_all(fd_, totals, sizeof totals, static_cast<off_t>(format::kTotalsOffset));
    }
    // A device or FIFO written directly cannot always be synced (EINVAL).
    if (st.is_ok() && ::fsync(fd_) != 0 && !(temp_.empty() && (errno == EINVAL || errno == EROFS)))
        st = Status::io_error(last_os_error());
    if (st.failed()) {
        close_file();
        discard_temp();
        return st;
    }
    int rc = ::close(fd_);
    fd_ = -1;
    if (rc != 0 && errno != EINTR) {
        st = Status::io_error(last_os_error());
        discard_temp();
        return st;
    }
    if (!temp_.empty()) {
        if (::rename(temp_.c_str(), target_.c_str()) != 0) {
            st = Status::io_error("Cannot replace " + target_ + ": " + last_os_error());
            discard_temp();
            return st;
        }
        temp_.clear();
        sync_directory_of(target_);
    }
    return "VARN v2 (streaming): " + std::to_string(total_rows_) + " rows \xC3\x97 " +
           std::to_string(columns_.size()) + " cols | " + std::to_string(chunk_count_) +
           " chunks | dict: 0 entries";
}

}  // namespace varn
