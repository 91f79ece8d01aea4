// Reading VARN v2 files back: the header, trailer, schema and index at open
// time, then one column record at a time from the range source (pread for a
// local file; never a mapping or a whole-file load). The file is untrusted
// input: every length and offset is checked against the file size and the
// layout before it is used, and every check goes through FILE_CHECK so each
// fault comes back the same way, as a message that starts with the place in
// the file (part, chunk, column, offset) and then says what is wrong there.
#include "format/file/reader.h"
#include "format/type_codes.h"


#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/ordered_pool.h"
#include "format/block/block_compression.h"
#include "format/file/chunk_pipeline.h"
#include "format/file/crc32.h"
#include "format/file/encryption.h"
#include "format/file/range_source.h"
#include "format/format.h"
#include "format/column/nested_value.h"
#include "format/column/text_stats.h"

namespace varn {

namespace {

// One index entry takes at least: offset, length, encoding, null count, two
// one-byte zigzag values, two one-byte string lengths, the filter.
constexpr uint64_t kMinIndexEntry = 8 + 8 + 1 + 4 + 1 + 1 + 1 + 1 + format::kBloomWords * 8;
// Header, schema length, dictionary length, trailer: the smallest file.
constexpr uint64_t kMinFileSize = format::kHeaderSize + 4 + 8 + format::kTrailerSize;

#define FILE_CHECK(cond, place, what)                                    \
    do {                                                                 \
        if (!(cond)) return Status::corrupt(std::string(place) + ": " + (what)); \
    } while (0)

std::string num(uint64_t v) { return std::to_string(v); }

std::string hex32(uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", v);
    return buf;
}

std::string hex_bytes(const uint8_t* p, size_t n) {
    std::string out;
    char buf[4];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(buf, sizeof buf, i ? " %02X" : "%02X", p[i]);
        out += buf;
    }
    return out;
}

// A text for a message: quoted, control and non-ASCII bytes escaped, long
// texts cut.
std::string quoted(const uint8_t* p, size_t n) {
    constexpr size_t kShown = 48;
    std::string out = "'";
    char buf[8];
    for (size_t i = 0; i < n && i < kShown; ++i) {
        uint8_t b = p[i];
        if (b >= 0x20 && b < 0x7F && b != '\'' && b != '\\') {
            out += static_cast<char>(b);
        } else {
            std::snprintf(buf, sizeof buf, "\\x%02X", b);
            out += buf;
        }
    }
    out += n > kShown ? "'... (" + num(n) + " bytes)" : "'";
    return out;
}
std::string quoted(const std::string& s) {
    return quoted(reinterpret_cast<const uint8_t*>(s.data()), s.size());
}
std::string quoted(ByteView v) { return quoted(v.data(), v.size()); }

using format::ColumnKind;
bool is_text(uint8_t t) { return format::kind_of(t) == ColumnKind::Text; }
bool is_flags(uint8_t t) { return format::kind_of(t) == ColumnKind::Flags; }
bool is_nested(uint8_t t) { return format::kind_of(t) == ColumnKind::Nested; }
bool is_integer(uint8_t t) {
    return format::kind_of(t) == ColumnKind::Int || format::kind_of(t) == ColumnKind::Float;
}
bool is_entries(uint8_t t) { return format::holds_entries(t); }

}  // namespace

// ---------------------------------------------------------------------------
// Opening.

VarnReader::~VarnReader() = default;

Status VarnReader::read_at(uint64_t offset, size_t n, uint8_t* out, const char* what) const {
    Status st = source_->read_at(offset, n, out);
    if (st.is_ok()) return st;
    return st.prefixed(std::string(what) + " at offset " + num(offset) + ": ");
}

Result<std::unique_ptr<VarnReader>> VarnReader::open(const std::string& path,
                                                     const ReaderOptions& options) {
    auto source = LocalFileSource::open(path);
    if (source.failed()) return source.status();
    return open(std::shared_ptr<RangeSource>(source.take()), options);
}

Result<std::unique_ptr<VarnReader>> VarnReader::open(std::shared_ptr<RangeSource> source,
                                                     const ReaderOptions& options) {
    std::unique_ptr<VarnReader> r(new VarnReader());
    r->options_ = options;
    r->header_.file_size = source->size();
    r->source_ = std::move(source);
    VARN_RETURN_IF_ERROR(r->open_parts());
    return r;
}

std::unique_ptr<VarnReader> VarnReader::share() const {
    std::unique_ptr<VarnReader> r(new VarnReader());
    r->source_ = source_;
    r->options_ = options_;
    r->header_ = header_;
    r->columns_ = columns_;
    r->has_key_ = has_key_;
    r->key_error_ = key_error_;
    r->wrong_key_ = wrong_key_;
    r->chunk_rows_ = chunk_rows_;
    r->index_rows_ = index_rows_;
    r->metas_ = metas_;
    return r;
}

Status VarnReader::prefetch(const std::vector<size_t>& chunks, const std::vector<size_t>& cols) const {
    std::vector<ByteRange> records;
    records.reserve(chunks.size() * cols.size());
    for (size_t chunk : chunks) {
        if (chunk >= chunk_count()) continue;
        for (size_t col : cols) {
            if (col >= column_count()) continue;
            const StreamChunkColMeta& m = meta(chunk, col);
            records.push_back(ByteRange{m.block_offset, format::kRecordPrefixSize + m.block_len});
        }
    }
    if (records.empty()) return Status::ok();
    return source_->prefetch(merge_ranges(std::move(records), kPrefetchGap, kPrefetchRange));
}

Status VarnReader::open_parts() {
    VarnFileHeader& h = header_;
    const uint64_t size = h.file_size;
    FILE_CHECK(size >= kMinFileSize, "header at offset 0",
               "the file holds " + num(size) + " bytes, fewer than the " + num(kMinFileSize) +
                   " of the smallest VARN v2 file");

    uint8_t head[format::kHeaderSize + 4];
    VARN_RETURN_IF_ERROR(read_at(0, sizeof head, head, "header"));
    FILE_CHECK(std::memcmp(head, format::kMagic, 4) == 0, "header at offset 0",
               "not a VARN file (the first four bytes are " + hex_bytes(head, 4) +
                   ", not 56 41 52 4E \"VARN\")");
    h.version = load_le<uint16_t>(head + 4);
    FILE_CHECK(h.version == format::kVersion, "header at offset 4",
               "format version " + num(h.version) + "; this reader reads version 2");
    h.column_count = load_le<uint16_t>(head + 6);
    h.total_rows = load_le<uint64_t>(head + 8);
    h.chunk_count = load_le<uint32_t>(head + 16);
    h.chunk_size = load_le<uint32_t>(head + 20);
    h.created = load_le<uint64_t>(head + 24);
    std::copy(head + 32, head + 48, h.salt.begin());
    std::copy(head + 48, head + 64, h.key_check.begin());
    h.reserved_zero = std::all_of(head + 48, head + 64, [](uint8_t b) { return b == 0; });
    h.schema_len = load_le<uint32_t>(head + format::kSchemaLengthOffset);

    // Schema block, then the dictionary length behind it.
    const uint64_t schema_at = format::kSchemaLengthOffset + 4;
    FILE_CHECK(h.schema_len <= size - kMinFileSize, "header at offset 64",
               "schema block length " + num(h.schema_len) + " runs past the end of the file (" +
                   num(size) + " bytes)");
    Bytes schema;
    VARN_RETURN_IF_ERROR(read_meta_block(schema_at, h.schema_len, "schema block", schema));
    VARN_RETURN_IF_ERROR(parse_schema(as_bytes(schema)));
    schema = Bytes();

    const uint64_t dict_len_at = schema_at + h.schema_len;
    uint8_t dlen[8];
    VARN_RETURN_IF_ERROR(read_at(dict_len_at, 8, dlen, "dictionary length"));
    h.dict_len = load_le<uint64_t>(dlen);
    FILE_CHECK(h.dict_len <= size - format::kTrailerSize - (dict_len_at + 8),
               "dictionary length at offset " + num(dict_len_at),
               "dictionary block length " + num(h.dict_len) + " runs past the end of the file (" +
                   num(size) + " bytes)");
    h.records_offset = dict_len_at + 8 + h.dict_len;

    // Trailer: the index block must lie between the dictionary block and
    // the trailer, and end exactly where the trailer starts.
    const uint64_t trailer_at = size - format::kTrailerSize;
    uint8_t trailer[format::kTrailerSize];
    VARN_RETURN_IF_ERROR(read_at(trailer_at, sizeof trailer, trailer, "trailer"));
    h.index_len = load_le<uint64_t>(trailer);
    h.index_offset = load_le<uint64_t>(trailer + 8);
    const std::string trailer_place = "trailer at offset " + num(trailer_at);
    FILE_CHECK(h.index_offset >= h.records_offset && h.index_offset <= trailer_at, trailer_place,
               "index offset " + num(h.index_offset) + " lies outside [" + num(h.records_offset) +
                   ", " + num(trailer_at) + "] (the end of the dictionary block to the trailer)");
    FILE_CHECK(h.index_len == trailer_at - h.index_offset, trailer_place,
               "index block [" + num(h.index_offset) + ", +" + num(h.index_len) +
                   ") does not end where the trailer starts (" + num(trailer_at) + ")");

    Bytes index;
    VARN_RETURN_IF_ERROR(read_meta_block(h.index_offset, h.index_len, "index block", index));
    VARN_RETURN_IF_ERROR(parse_index(as_bytes(index)));
    // Every reader relies on the layout before it reads a record: two index
    // entries naming one record would give its rows twice.
    return check_index_layout(*this);
}

Status VarnReader::read_meta_block(uint64_t offset, uint64_t n, const char* what, Bytes& out) {
    const std::string place = std::string(what) + " at offset " + num(offset);
    const uint64_t budget = options_.memory_budget;
    // A block is never more than one byte longer than what it decodes to.
    FILE_CHECK(n <= budget, place,
               "block of " + num(n) + " bytes passes the memory budget of " +
                   memory_size_text(budget));
    Bytes raw(static_cast<size_t>(n));
    VARN_RETURN_IF_ERROR(read_at(offset, raw.size(), raw.data(), what));
    return decode_block(as_bytes(raw), budget, place, out, buffers_.stream);
}

Status VarnReader::decode_block(ByteView block, uint64_t limit, const std::string& place,
                                Bytes& out, Bytes& stream) const {
    const uint64_t budget = options_.memory_budget;
    const size_t cap = static_cast<size_t>(std::min(limit, budget));
    // The intermediate LZ stream of a coded block counts against the budget too.
    Status st = decompress_block(block, out, cap, stream, static_cast<size_t>(budget));
    if (st.is_ok()) return Status::ok();
    std::string msg = place + ": block does not decode: " + st.message();
    if (cap == budget) msg += " (the memory budget is " + memory_size_text(budget) + ")";
    return Status::corrupt(std::move(msg));
}

Status VarnReader::parse_schema(ByteView schema) {
    const std::string place = "schema block at offset " + num(format::kSchemaLengthOffset + 4);
    ByteReader r(schema);
    const size_t n = header_.column_count;
    // Each column takes at least three bytes: name length, type, flags.
    FILE_CHECK(schema.size() >= 3 * n, place,
               "decodes to " + num(schema.size()) + " bytes, too few for " + num(n) + " columns");
    columns_.resize(n);
    for (size_t i = 0; i < n; ++i) {
        const std::string at = place + " (decoded byte " + num(schema.size() - r.remaining()) + ")";
        uint64_t len;
        ByteView name;
        FILE_CHECK(r.read_leb128(len), at, "column " + num(i) + ": truncated name length");
        FILE_CHECK(r.read_bytes(len, name), at,
                   "column " + num(i) + ": name of " + num(len) + " bytes runs past the block");
        KColumn& c = columns_[i];
        c.name.assign(reinterpret_cast<const char*>(name.data()), name.size());
        FILE_CHECK(r.read_u8(c.type_code) && r.read_u8(c.flags), at,
                   "column " + num(i) + ": truncated type and flags");
    }
    FILE_CHECK(r.at_end(), place,
               num(r.remaining()) + " bytes left over after the " + num(n) +
                   " columns the header announces");
    has_key_.assign(n, 0);
    return Status::ok();
}

Status VarnReader::parse_index(ByteView index) {
    const VarnFileHeader& h = header_;
    const std::string place = "index block at offset " + num(h.index_offset);
    ByteReader r(index);
    auto at = [&] { return place + " (decoded byte " + num(index.size() - r.remaining()) + ")"; };
    uint32_t chunks;
    uint16_t cols;
    FILE_CHECK(r.read_le(chunks) && r.read_le(cols), place, "truncated before the column count");
    FILE_CHECK(cols == h.column_count, place,
               "column count " + num(cols) + ", the header says " + num(h.column_count));
    FILE_CHECK(chunks <= r.remaining() / 4, place,
               num(chunks) + " chunks announced, but only " + num(r.remaining()) + " bytes follow");
    chunk_rows_.resize(chunks);
    index_rows_ = 0;
    for (size_t i = 0; i < chunk_rows_.size(); ++i) {
        uint32_t& rows = chunk_rows_[i];
        (void)r.read_le(rows);
        index_rows_ += rows;
    }
    const uint64_t entries = uint64_t{chunks} * cols;
    FILE_CHECK(entries <= r.remaining() / kMinIndexEntry, at(),
               num(entries) + " entries announced, but only " + num(r.remaining()) +
                   " bytes follow (" + num(kMinIndexEntry) + " at least per entry)");
    metas_.resize(static_cast<size_t>(entries));
    const uint64_t records_end = h.index_offset;
    for (uint32_t c = 0; c < chunks; ++c) {
        for (size_t k = 0; k < cols; ++k) {
            const std::string entry = at() + ", entry for chunk " + num(c) + ", column " + num(k) +
                                      " " + quoted(columns_[k].name);
            StreamChunkColMeta& m = metas_[c * cols + k];
            uint64_t len;
            ByteView text;
            FILE_CHECK(r.read_le(m.block_offset) && r.read_le(m.block_len) &&
                           r.read_u8(m.encoding) && r.read_le(m.null_count) &&
                           r.read_zigzag(m.min) && r.read_zigzag(m.max),
                       entry, "truncated");
            FILE_CHECK(r.read_leb128(len) && r.read_bytes(len, text), entry,
                       "truncated minimum text");
            m.min_str.assign(reinterpret_cast<const char*>(text.data()), text.size());
            FILE_CHECK(r.read_leb128(len) && r.read_bytes(len, text), entry,
                       "truncated maximum text");
            m.max_str.assign(reinterpret_cast<const char*>(text.data()), text.size());
            for (uint64_t& w : m.bloom) FILE_CHECK(r.read_le(w), entry, "truncated Bloom filter");

            FILE_CHECK(column_encoding_from_id(m.encoding).is_ok(), entry,
                       "unknown encoding id " + num(m.encoding));
            FILE_CHECK(m.null_count <= chunk_rows_[c], entry,
                       "null count " + num(m.null_count) + " exceeds the chunk's " +
                           num(chunk_rows_[c]) + " rows");
            FILE_CHECK(m.block_offset >= h.records_offset && m.block_offset <= records_end &&
                           records_end - m.block_offset >= format::kRecordPrefixSize &&
                           m.block_len <= records_end - m.block_offset - format::kRecordPrefixSize,
                       entry,
                       "record at offset " + num(m.block_offset) + " with a block of " +
                           num(m.block_len) + " bytes lies outside the records area [" +
                           num(h.records_offset) + ", " + num(records_end) + ")");
        }
    }
    FILE_CHECK(r.at_end(), place, num(r.remaining()) + " bytes left over after the last entry");
    return Status::ok();
}

// ---------------------------------------------------------------------------
// Columns and keys.

std::optional<size_t> VarnReader::find_column(std::string_view name) const {
    for (size_t i = 0; i < columns_.size(); ++i) {
        if (columns_[i].name == name) return i;
    }
    return std::nullopt;
}

bool VarnReader::encrypted(size_t col) const {
    return (columns_[col].flags & format::kFlagEncrypt) != 0;
}

void VarnReader::set_column_key(size_t col, const ColumnKey& key) {
    auto derived = file_column_key(key, header_.salt);
    if (derived.failed()) {
        key_error_ = derived.message();
        has_key_[col] = 0;
        return;
    }
    columns_[col].key = derived.value();
    has_key_[col] = 1;
    // The key check value belongs to the first encrypted column.
    if (col != first_encrypted() || header_.reserved_zero) return;
    wrong_key_.clear();
    auto check = key_check_value(key, header_.salt);
    if (check.failed()) {
        key_error_ = check.message();
        has_key_[col] = 0;
    } else if (!key_checks_equal(check.value(), header_.key_check)) {
        wrong_key_ = "the key given for column " + quoted(columns_[col].name) +
                     " does not decrypt it (wrong key?): it does not match the key check value "
                     "in the file's header";
    }
}

size_t VarnReader::first_encrypted() const {
    size_t col = 0;
    while (col < columns_.size() && !encrypted(col)) ++col;
    return col;
}

Status VarnReader::key_status() const {
    if (wrong_key_.empty()) return Status::ok();
    return Status::invalid_input(wrong_key_);
}

void VarnReader::set_key(const ColumnKey& key) {
    for (size_t i = 0; i < columns_.size(); ++i) {
        if (encrypted(i)) set_column_key(i, key);
    }
}

// ---------------------------------------------------------------------------
// Records.

std::string VarnReader::record_place(size_t chunk, size_t col) const {
    return "chunk " + num(chunk) + ", column " + num(col) + " " + quoted(columns_[col].name) +
           ", record at offset " + num(meta(chunk, col).block_offset);
}

uint64_t VarnReader::payload_limit(size_t chunk, size_t col) const {
    const uint64_t rows = chunk_rows_[chunk];
    const uint8_t t = columns_[col].type_code;
    // Integer payloads: at most 20 bytes a value (Rle: length and value),
    // plus the run count and the Float prefix.
    uint64_t limit = options_.memory_budget;
    if (is_integer(t)) limit = std::min(limit, 20 * rows + 32);
    if (is_flags(t)) limit = std::min(limit, rows / 8 + (rows % 8 != 0));
    return limit;
}

Status VarnReader::check_rows_fit(size_t chunk, size_t col, uint64_t bytes_per_row) const {
    const uint64_t rows = chunk_rows_[chunk];
    const uint64_t budget = options_.memory_budget;
    FILE_CHECK(bytes_per_row == 0 || rows <= budget / bytes_per_row, record_place(chunk, col),
               "decoding the chunk's " + num(rows) + " rows takes " + num(rows * bytes_per_row) +
                   " bytes, more than the memory budget of " + memory_size_text(budget));
    return Status::ok();
}

Status VarnReader::read_block(size_t chunk, size_t col, Bytes& payload) {
    return read_block(chunk, col, payload, buffers_);
}

Status VarnReader::read_payload(size_t chunk, size_t col, Bytes& payload) {
    return read_payload(chunk, col, payload, buffers_);
}

Status VarnReader::read_block(size_t chunk, size_t col, Bytes& payload, RecordBuffers& buffers) const {
    Bytes& record_ = buffers.record;
    const StreamChunkColMeta& m = meta(chunk, col);
    // The stored form, one byte longer than the payload, is the longest a
    // block gets: a longer one cannot decode within the limit, so it is not
    // read into memory at all.
    const uint64_t limit = payload_limit(chunk, col);
    FILE_CHECK(m.block_len <= limit + 1, record_place(chunk, col),
               "block of " + num(m.block_len) + " bytes, longer than any block of a payload of at most " +
                   num(limit) + " bytes");
    const size_t n = format::kRecordPrefixSize + static_cast<size_t>(m.block_len);
    // Only grown: the buffer serves records of every size, and regrowing
    // would zero-fill bytes the read overwrites.
    if (record_.size() < n) record_.resize(n);
    {
        Status st = read_at(m.block_offset, n, record_.data(), "column record");
        FILE_CHECK(st.is_ok(), record_place(chunk, col), st.message());
    }
    const uint32_t stored_crc = load_le<uint32_t>(record_.data());
    const uint64_t len = load_le<uint64_t>(record_.data() + 4);
    FILE_CHECK(len == m.block_len, record_place(chunk, col),
               "length field says " + num(len) + " bytes, the index says " + num(m.block_len));
    const ByteView block(record_.data() + format::kRecordPrefixSize, m.block_len);
    const uint32_t crc = crc32(block.data(), block.size());
    FILE_CHECK(crc == stored_crc, record_place(chunk, col),
               "CRC-32 mismatch: stored " + hex32(stored_crc) + ", computed " + hex32(crc) +
                   " over the " + num(block.size()) + "-byte block");
    return decode_block(block, limit, record_place(chunk, col), payload, buffers.stream);
}

Status VarnReader::read_payload(size_t chunk, size_t col, Bytes& payload, RecordBuffers& buffers) const {
    VARN_RETURN_IF_ERROR(read_block(chunk, col, payload, buffers));
    if (!encrypted(col)) return Status::ok();
    if (!wrong_key_.empty() && col == first_encrypted()) return key_status();
    FILE_CHECK(has_key(col), record_place(chunk, col),
               key_error_.empty() ? std::string("the column is encrypted; its key is needed to decode it")
                                  : "the column's key cannot be used: " + key_error_);
    Status st = apply_column_encryption(columns_[col], chunk, payload);
    FILE_CHECK(st.is_ok(), record_place(chunk, col), "decryption failed: " + st.message());
    return Status::ok();
}

Status VarnReader::payload_fault(size_t chunk, size_t col, const Status& st) const {
    std::string msg = record_place(chunk, col) + ": payload does not decode: " + st.message();
    if (encrypted(col)) msg += " (is the key right?)";
    return Status::corrupt(std::move(msg));
}

Status VarnReader::read_cells(size_t chunk, size_t col, std::vector<KVal>& cells) {
    VARN_RETURN_IF_ERROR(check_rows_fit(chunk, col, sizeof(KVal)));
    Bytes payload;
    VARN_RETURN_IF_ERROR(read_payload(chunk, col, payload));
    const auto e = static_cast<ColumnEncoding>(meta(chunk, col).encoding);  // checked at open
    Status st = decode_column_cells(columns_[col].type_code, e, as_bytes(payload),
                                    chunk_rows_[chunk], cells);
    if (st.failed()) return payload_fault(chunk, col, st);
    return Status::ok();
}

Status VarnReader::read_entries(size_t chunk, size_t col, Bytes& payload,
                                std::vector<ByteView>& entries, RecordBuffers* buffers) {
    return entries_payload(chunk, col, payload, &entries, buffers);
}

Status VarnReader::read_entry_payload(size_t chunk, size_t col, Bytes& payload,
                                      RecordBuffers* buffers) {
    return entries_payload(chunk, col, payload, nullptr, buffers);
}

Status VarnReader::entries_payload(size_t chunk, size_t col, Bytes& payload,
                                   std::vector<ByteView>* entries, RecordBuffers* buffers) {
    const uint8_t t = columns_[col].type_code;
    if (!is_entries(t)) {
        return Status::internal(record_place(chunk, col) + ": a column of type " + num(t) +
                             " holds no length-prefixed entries");
    }
    FILE_CHECK(format::encoding_allowed(t, meta(chunk, col).encoding), record_place(chunk, col),
               "encoding " + num(meta(chunk, col).encoding) + " for a column of type " + num(t) +
                   " (only Plain, 0, is valid)");
    if (entries) VARN_RETURN_IF_ERROR(check_rows_fit(chunk, col, sizeof(ByteView)));
    VARN_RETURN_IF_ERROR(read_payload(chunk, col, payload, buffers ? *buffers : buffers_));
    if (!entries) return Status::ok();
    Status st = decode_length_prefixed(as_bytes(payload), chunk_rows_[chunk], *entries);
    if (st.failed()) return payload_fault(chunk, col, st);
    return Status::ok();
}

Status VarnReader::read_integers(size_t chunk, size_t col, Bytes& payload,
                                 std::vector<int64_t>& values, RecordBuffers* buffers) {
    const uint8_t t = columns_[col].type_code;
    if (!is_integer(t)) {
        return Status::internal(record_place(chunk, col) + ": a column of type " + num(t) +
                             " holds no integers");
    }
    VARN_RETURN_IF_ERROR(check_rows_fit(chunk, col, sizeof(int64_t)));
    VARN_RETURN_IF_ERROR(read_payload(chunk, col, payload, buffers ? *buffers : buffers_));
    const auto e = static_cast<ColumnEncoding>(meta(chunk, col).encoding);
    Status st = t == format::kTypeInt
                    ? decode_int_payload(e, as_bytes(payload), chunk_rows_[chunk], values)
                    : decode_float_payload(e, as_bytes(payload), chunk_rows_[chunk], values);
    if (st.failed()) return payload_fault(chunk, col, st);
    return Status::ok();
}

Status VarnReader::read_flags(size_t chunk, size_t col, Bytes& payload, std::vector<uint8_t>& flags,
                              RecordBuffers* buffers) {
    const uint8_t t = columns_[col].type_code;
    if (!is_flags(t)) {
        return Status::internal(record_place(chunk, col) + ": a column of type " + num(t) +
                             " holds no flags");
    }
    FILE_CHECK(format::encoding_allowed(t, meta(chunk, col).encoding), record_place(chunk, col),
               "encoding " + num(meta(chunk, col).encoding) + " for a column of type " + num(t));
    VARN_RETURN_IF_ERROR(check_rows_fit(chunk, col, 1));
    VARN_RETURN_IF_ERROR(read_payload(chunk, col, payload, buffers ? *buffers : buffers_));
    Status st = decode_flags(as_bytes(payload), chunk_rows_[chunk], flags);
    if (st.failed()) return payload_fault(chunk, col, st);
    return Status::ok();
}

Status VarnReader::read_dictionary(Bytes& decoded) {
    const uint64_t at = header_.records_offset - header_.dict_len;
    return read_meta_block(at, header_.dict_len, "dictionary block", decoded);
}

// ---------------------------------------------------------------------------
// Verification.

namespace {

Status check_text_column(const VarnReader& r, size_t chunk, size_t col, const Bytes& payload) {
    using namespace text_stats;
    const StreamChunkColMeta& m = r.meta(chunk, col);
    BloomFilter bloom{};
    BloomBuilder adder(bloom);
    const uint8_t* const end = payload.data() + payload.size();
    uint64_t empties = 0;
    TextRange range;
    bool seen = false;  // a non-empty text
    // The entries are walked a few at a time, with no view per row kept.
    EntryWalk walk;
    Status st = walk.start(as_bytes(payload), r.chunk_rows(chunk));
    if (st.failed()) return r.payload_fault(chunk, col, st);
    constexpr size_t kGroup = 256;
    ByteView group[kGroup];
    for (size_t left = r.chunk_rows(chunk); left > 0;) {
        const size_t n = std::min(left, kGroup);
        left -= n;
        if (!walk.take(group, n)) return r.payload_fault(chunk, col, walk.fault());
        for (const ByteView& t : std::span<const ByteView>(group, n)) {
            const uint64_t key = prefix_key(t.data(), t.size(), !t.empty() && end - t.data() >= 8);
            adder.add(t.data(), t.size(), key);
            if (t.empty()) {
                ++empties;
                continue;
            }
            if (!seen) {
                range.start(t, key);
                seen = true;
                continue;
            }
            range.add(t, key);
        }
    }
    st = walk.finish();
    if (st.failed()) return r.payload_fault(chunk, col, st);
    adder.flush();
    const std::string place = r.record_place(chunk, col);
    const bool withheld = r.encrypted(col) && statistics_withheld(m);
    FILE_CHECK(withheld || bloom == m.bloom, place,
               "the index's Bloom filter does not match the column's texts");
    // Null cells are stored as the empty text and take no part in min/max.
    FILE_CHECK(empties >= m.null_count, place,
               "null count " + num(m.null_count) + " exceeds the " + num(empties) +
                   " empty texts nulls are stored as");
    // The empty text is a value of its own when more cells are empty than
    // null; with no non-null cell both ends stay empty.
    ByteView lo = seen ? range.min() : ByteView(), hi = seen ? range.max() : ByteView();
    if (empties > m.null_count) lo = ByteView();
    if (withheld) return Status::ok();
    FILE_CHECK(compare_text(lo.data(), lo.size(), reinterpret_cast<const uint8_t*>(m.min_str.data()),
                            m.min_str.size()) == 0,
               place,
               "the index's minimum text " + quoted(m.min_str) + " is not the column's " + quoted(lo));
    FILE_CHECK(compare_text(hi.data(), hi.size(), reinterpret_cast<const uint8_t*>(m.max_str.data()),
                            m.max_str.size()) == 0,
               place,
               "the index's maximum text " + quoted(m.max_str) + " is not the column's " + quoted(hi));
    return Status::ok();
}

// Checks null_count against the number of stored zero values, and, when
// `exact`, min/max against the values without the nulls.
Status check_numeric_stats(const VarnReader& r, size_t chunk, size_t col,
                           const std::vector<int64_t>& v, bool exact) {
    const StreamChunkColMeta& m = r.meta(chunk, col);
    uint64_t zeros = 0;
    bool seen = false;
    int64_t lo = 0, hi = 0;
    for (int64_t x : v) {
        if (x == 0) {
            ++zeros;
            continue;
        }
        lo = seen ? std::min(lo, x) : x;
        hi = seen ? std::max(hi, x) : x;
        seen = true;
    }
    const std::string place = r.record_place(chunk, col);
    FILE_CHECK(zeros >= m.null_count, place,
               "null count " + num(m.null_count) + " exceeds the " + num(zeros) +
                   " zero values nulls are stored as");
    if (r.encrypted(col) && statistics_withheld(m)) return Status::ok();
    if (zeros > m.null_count) {
        lo = seen ? std::min<int64_t>(lo, 0) : 0;
        hi = seen ? std::max<int64_t>(hi, 0) : 0;
        seen = true;
    }
    if (!seen) {
        FILE_CHECK(m.min == 0 && m.max == 0, place,
                   "every cell is null, but the index gives minimum " + std::to_string(m.min) +
                       " and maximum " + std::to_string(m.max) + " (expected 0 and 0)");
        return Status::ok();
    }
    if (exact) {
        FILE_CHECK(m.min == lo && m.max == hi, place,
                   "the index gives minimum " + std::to_string(m.min) + " and maximum " +
                       std::to_string(m.max) + ", the values give " + std::to_string(lo) +
                       " and " + std::to_string(hi));
    } else {
        FILE_CHECK(m.min <= m.max, place,
                   "the index's minimum " + std::to_string(m.min) + " exceeds its maximum " +
                       std::to_string(m.max));
    }
    return Status::ok();
}

// Columns other than text keep no text statistics and no filter; columns
// other than Int, Float and Bool keep no numeric minimum and maximum.
Status check_unused_stats(const VarnReader& r, size_t chunk, size_t col) {
    const StreamChunkColMeta& m = r.meta(chunk, col);
    const uint8_t t = r.columns()[col].type_code;
    const std::string place = r.record_place(chunk, col);
    if (r.encrypted(col) && statistics_withheld(m)) return Status::ok();
    if (!format::type_info(t).text_range) {
        FILE_CHECK(m.min_str.empty() && m.max_str.empty(), place,
                   "a column of type " + num(t) + " with minimum and maximum texts in the index");
        FILE_CHECK(std::all_of(m.bloom.begin(), m.bloom.end(), [](uint64_t w) { return w == 0; }),
                   place, "a column of type " + num(t) + " with a Bloom filter in the index");
    }
    if (!format::type_info(t).int_range) {
        FILE_CHECK(m.min == 0 && m.max == 0, place,
                   "a column of type " + num(t) + " with a numeric minimum and maximum in the index");
    }
    return Status::ok();
}

Status check_payload(const VarnReader& r, size_t chunk, size_t col, const Bytes& payload) {
    const uint8_t t = r.columns()[col].type_code;
    const StreamChunkColMeta& m = r.meta(chunk, col);
    const size_t rows = r.chunk_rows(chunk);
    const auto e = static_cast<ColumnEncoding>(m.encoding);
    const std::string place = r.record_place(chunk, col);
    VARN_RETURN_IF_ERROR(check_unused_stats(r, chunk, col));

    if (is_integer(t)) {
        FILE_CHECK(format::encoding_allowed(t, m.encoding), place,
                   "encoding " + num(m.encoding) + " for a column of type " + num(t));
        VARN_RETURN_IF_ERROR(r.check_rows_fit(chunk, col, sizeof(int64_t)));
        std::vector<int64_t> v;
        Status st = t == format::kTypeInt ? decode_int_payload(e, as_bytes(payload), rows, v)
                                          : decode_float_payload(e, as_bytes(payload), rows, v);
        if (st.failed()) return r.payload_fault(chunk, col, st);
        // Float statistics are the cells truncated, the payload the cells
        // scaled and rounded: only their order can be checked.
        return check_numeric_stats(r, chunk, col, v, t == format::kTypeInt);
    }
    if (is_flags(t)) {
        FILE_CHECK(format::encoding_allowed(t, m.encoding), place,
                   "encoding " + num(m.encoding) + " for a column of type " + num(t));
        VARN_RETURN_IF_ERROR(r.check_rows_fit(chunk, col, 1 + sizeof(int64_t)));
        std::vector<uint8_t> flags;
        Status st = decode_flags(as_bytes(payload), rows, flags);
        if (st.failed()) return r.payload_fault(chunk, col, st);
        // Bool statistics come from the cells (an Int cell 5 counts 5), not
        // from the flags, so only their order can be checked.
        std::vector<int64_t> v(flags.begin(), flags.end());
        return check_numeric_stats(r, chunk, col, v, false);
    }
    FILE_CHECK(format::encoding_allowed(t, m.encoding), place,
               "encoding " + num(m.encoding) + " for a column of type " + num(t));
    if (is_text(t)) return check_text_column(r, chunk, col, payload);
    VARN_RETURN_IF_ERROR(r.check_rows_fit(chunk, col, sizeof(ByteView)));
    std::vector<ByteView> entries;
    Status st = decode_length_prefixed(as_bytes(payload), rows, entries);
    if (st.failed()) return r.payload_fault(chunk, col, st);
    if (is_nested(t)) {
        uint64_t nulls = 0;
        KVal value;
        for (size_t i = 0; i < entries.size(); ++i) {
            Status vs = decode_nested_val(entries[i], value);
            if (vs.failed()) {
                return r.payload_fault(chunk, col, vs.prefixed("row " + num(i) + ": "));
            }
            nulls += value.is_null() ? 1 : 0;
        }
        FILE_CHECK(nulls == m.null_count, place,
                   "null count " + num(m.null_count) + ", but " + num(nulls) +
                       " cells hold the null value");
        return Status::ok();
    }
    // Byte strings: nulls are stored as the empty string.
    uint64_t empties = 0;
    for (const ByteView& b : entries) empties += b.empty() ? 1 : 0;
    FILE_CHECK(empties >= m.null_count, place,
               "null count " + num(m.null_count) + " exceeds the " + num(empties) +
                   " empty strings nulls are stored as");
    return Status::ok();
}

}  // namespace

bool statistics_withheld(const StreamChunkColMeta& m) {
    return m.min_str.empty() && m.max_str.empty() && m.min == 0 && m.max == 0 &&
           std::all_of(m.bloom.begin(), m.bloom.end(), [](uint64_t w) { return w == ~uint64_t{0}; });
}

Status check_index_layout(const VarnReader& r) {
    const VarnFileHeader& h = r.header();
    const uint64_t most_rows = std::max<uint64_t>(h.chunk_size, 1);
    const std::string place = "index block at offset " + num(h.index_offset);
    uint64_t end = h.records_offset;
    for (size_t chunk = 0; chunk < r.chunk_count(); ++chunk) {
        FILE_CHECK(r.chunk_rows(chunk) <= most_rows, place,
                   "chunk " + num(chunk) + " holds " + num(r.chunk_rows(chunk)) +
                       " rows, more than the header's chunk size of " + num(most_rows));
        for (size_t col = 0; col < r.column_count(); ++col) {
            const StreamChunkColMeta& m = r.meta(chunk, col);
            FILE_CHECK(m.block_offset >= end, r.record_place(chunk, col),
                       "the record starts before " + num(end) +
                           ", the end of the record listed before it (records overlap or repeat)");
            end = m.block_offset + format::kRecordPrefixSize + m.block_len;
        }
    }
    return Status::ok();
}

Status check_column_key(VarnReader& reader, size_t col) {
    if (col == reader.first_encrypted()) VARN_RETURN_IF_ERROR(reader.key_status());
    for (size_t chunk = 0; chunk < reader.chunk_count(); ++chunk) {
        if (reader.chunk_rows(chunk) == 0) continue;
        Status st = check_record(reader, chunk, col);
        if (st.failed()) {
            return Status::invalid_input("the key given for column " + quoted(reader.columns()[col].name) +
                                         " does not decrypt it (wrong key?): " + st.message());
        }
        return Status::ok();
    }
    return Status::ok();
}

Status verify_file(VarnReader& r, VerifyReport& report,
                   const std::function<void(size_t chunk)>& progress, unsigned threads) {
    report = VerifyReport{};
    const VarnFileHeader& h = r.header();
    bool any_encrypted = false;
    for (size_t c = 0; c < r.column_count(); ++c) any_encrypted = any_encrypted || r.encrypted(c);
    FILE_CHECK(any_encrypted || salt_is_zero(h.salt), "header at offset 32",
               "the bytes 32 to 47 (the salt of a file with encrypted columns) are not all zero, "
               "but no column is encrypted");
    // Bytes 48..63 hold the key check value of a file with encrypted columns
    // and a salt; otherwise they are reserved and zero.
    FILE_CHECK(h.reserved_zero || (any_encrypted && !salt_is_zero(h.salt)), "header at offset 48",
               any_encrypted ? "the bytes 48 to 63 (a key check value) are not all zero, but the "
                               "file has no salt"
                             : "the reserved bytes 48 to 63 are not all zero");
    VARN_RETURN_IF_ERROR(r.key_status());
    FILE_CHECK(h.chunk_count == r.chunk_count(), "header at offset 16",
               "chunk count " + num(h.chunk_count) + ", but the index lists " +
                   num(r.chunk_count()) + " chunks");
    FILE_CHECK(h.total_rows == r.index_rows(), "header at offset 8",
               "total rows " + num(h.total_rows) + ", but the index's chunks hold " +
                   num(r.index_rows()));
    for (size_t c = 0; c < r.column_count(); ++c) {
        const uint8_t flags = r.columns()[c].flags;
        FILE_CHECK((flags & ~format::kFlagEncrypt) == 0, "schema block at offset 68",
                   "column " + num(c) + " " + quoted(r.columns()[c].name) +
                       " has unknown flag bits " + hex_bytes(&flags, 1).insert(0, "0x"));
    }
    {
        Bytes dict;
        VARN_RETURN_IF_ERROR(r.read_dictionary(dict));
        FILE_CHECK(dict.size() == 1 && dict[0] == 0,
                   "dictionary block at offset " + num(h.records_offset - h.dict_len),
                   "decodes to " + num(dict.size()) + " bytes, not the empty dictionary (00)");
    }

    VARN_RETURN_IF_ERROR(check_index_layout(r));
    // The records follow one another in chunk order, column order, from the
    // end of the dictionary block to the index block.
    uint64_t expected = h.records_offset;
    for (size_t chunk = 0; chunk < r.chunk_count(); ++chunk) {
        FILE_CHECK(r.chunk_rows(chunk) > 0, "index block at offset " + num(h.index_offset),
                   "chunk " + num(chunk) + " holds 0 rows");
        for (size_t col = 0; col < r.column_count(); ++col) {
            const StreamChunkColMeta& m = r.meta(chunk, col);
            FILE_CHECK(m.block_offset == expected, r.record_place(chunk, col),
                       "the record should start at " + num(expected) +
                           ", where the one before it ends");
            expected = m.block_offset + format::kRecordPrefixSize + m.block_len;
        }
    }
    FILE_CHECK(expected == h.index_offset, "index block at offset " + num(h.index_offset),
               "the last column record ends at " + num(expected) +
                   ", not where the index block starts");

    const size_t cols = r.column_count();
    if (cols == 0) {
        for (size_t chunk = 0; chunk < r.chunk_count(); ++chunk) {
            report.rows += r.chunk_rows(chunk);
            if (progress) progress(chunk);
        }
        return Status::ok();
    }
    // Record i is (chunk i / cols, column i % cols). Workers read and check
    // records, each with its own buffers; the report is summed in file order
    // on this thread, which stops at the first record that fails.
    if (threads == 0) threads = 1;
    struct Checked {
        uint64_t payload_bytes = 0;
        bool skipped = false;  // encrypted, no key: checked up to decompression
    };
    const size_t window = 4 * static_cast<size_t>(threads);
    std::vector<Checked> checked(window);
    std::vector<VarnReader::RecordBuffers> buffers(threads);
    std::vector<Bytes> payloads(threads);
    const VarnReader& cr = r;
    return run_ordered(
        r.chunk_count() * cols, threads, window,
        [&](size_t i, unsigned w) -> Status {
            const size_t chunk = i / cols, col = i % cols;
            Checked& c = checked[i % window];
            Bytes& payload = payloads[w];
            c.skipped = cr.encrypted(col) && !cr.has_key(col);
            if (c.skipped) {
                VARN_RETURN_IF_ERROR(cr.read_block(chunk, col, payload, buffers[w]));
            } else {
                VARN_RETURN_IF_ERROR(cr.read_payload(chunk, col, payload, buffers[w]));
            }
            c.payload_bytes = payload.size();
            if (c.skipped) return Status::ok();
            return check_payload(cr, chunk, col, payload);
        },
        [&](size_t i) -> Status {
            const size_t chunk = i / cols, col = i % cols;
            const Checked& c = checked[i % window];
            ++report.records;
            report.compressed_bytes += r.meta(chunk, col).block_len;
            report.payload_bytes += c.payload_bytes;
            if (c.skipped)
                ++report.encrypted_skipped;
            else
                ++report.payloads_decoded;
            if (col + 1 == cols) {
                report.rows += r.chunk_rows(chunk);
                if (progress) progress(chunk);
            }
            return Status::ok();
        });
}

Status check_record(VarnReader& r, size_t chunk, size_t col) {
    Bytes payload;
    VARN_RETURN_IF_ERROR(r.read_payload(chunk, col, payload));
    return check_payload(r, chunk, col, payload);
}

// ---------------------------------------------------------------------------

Result<double> block_compression_saved_percent(const std::string& path,
                                               const ReaderOptions& options) {
    // Every failure, a read error included, is reported as the file not
    // being valid (the form this call's callers rely on).
    auto invalid = [&](const std::string& why) {
        return Status::corrupt("Not a valid VARN v2 file: " + path + ": " + why);
    };
    auto opened = VarnReader::open(path, options);
    if (opened.failed()) return invalid(opened.message());
    const VarnReader& r = *opened.value();
    uint64_t decoded = 0, compressed = 0;
    // Records are decompressed on every core and summed in file order, so
    // the first fault named is the one a single thread would meet.
    const size_t cols = r.column_count();
    const unsigned threads = available_cores();
    const size_t window = 4 * static_cast<size_t>(threads);
    std::vector<uint64_t> sizes(window);
    std::vector<VarnReader::RecordBuffers> buffers(threads);
    std::vector<Bytes> payloads(threads);
    Status st = run_ordered(
        r.chunk_count() * cols, threads, window,
        [&](size_t i, unsigned w) -> Status {
            VARN_RETURN_IF_ERROR(r.read_block(i / cols, i % cols, payloads[w], buffers[w]));
            sizes[i % window] = payloads[w].size();
            return Status::ok();
        },
        [&](size_t i) -> Status {
            decoded += sizes[i % window];
            compressed += r.meta(i / cols, i % cols).block_len;
            return Status::ok();
        });
    if (st.failed()) return invalid(st.message());
    if (decoded == 0) return 0.0;
    return (static_cast<double>(decoded) - static_cast<double>(compressed)) /
           static_cast<double>(decoded) * 100.0;
}

#undef FILE_CHECK

}  // namespace varn
