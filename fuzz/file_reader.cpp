// Fuzz target: the whole-file reader on arbitrary bytes. The input is
// written to a scratch file, opened, and every part the reader offers is
// read: the dictionary, verify_file with and without the key of encrypted
// columns, and every record of chunks up to 2^20 rows as a block, as cells
// and through the typed accessors (including the ones that do not fit the
// column, which must refuse).
// Everything must end in an error or a result, never a crash, a hang or an
// out-of-bounds access, and the results must agree with each other: a file
// that verifies reads back cell by cell, with one cell per row of its chunk.
//
// Column records carry a CRC-32, which random mutation almost never keeps
// right, so the payload decoders behind it would stay out of reach. The
// harness therefore fills in every record checksum that is stored as zero
// (the seed files keep theirs zero) before the reader sees the file; a
// mutated non-zero checksum still exercises the mismatch path.
#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "fuzz_common.h"
#include "common/bytes.h"
#include "format/format.h"
#include "format/file/reader.h"

namespace {

using varn::Bytes;
using varn::Status;
using varn::VarnReader;

// The key the seed files' encrypted columns use: bytes 0, 1, ..., 31.
varn::ColumnKey seed_key() {
    varn::ColumnKey k{};
    for (size_t i = 0; i < k.size(); ++i) k[i] = static_cast<uint8_t>(i);
    return k;
}

// Small enough that no block of a fuzz input can make the reader allocate
// much; the reader's own default is meant for real files.
varn::ReaderOptions options() {
    varn::ReaderOptions o;
    o.memory_budget = size_t{1} << 20;
    return o;
}

std::unique_ptr<VarnReader> open_file(const std::string& path) {
    auto opened = VarnReader::open(path, options());
    if (opened.failed()) {
        FUZZ_CHECK(!opened.message().empty(), "open failed without a message");
        return nullptr;
    }
    return opened.take();
}

// Stores the CRC-32 of each record whose checksum field is zero; true when
// anything changed. open() promises that every record lies inside the records
// area, between the dictionary block and the index block; checked here first.
bool fill_checksums(const VarnReader& r, Bytes& file) {
    const varn::VarnFileHeader& h = r.header();
    bool changed = false;
    for (size_t c = 0; c < r.chunk_count(); ++c) {
        for (size_t k = 0; k < r.column_count(); ++k) {
            const varn::StreamChunkColMeta& m = r.meta(c, k);
            FUZZ_CHECK(m.block_offset >= h.records_offset && m.block_offset <= h.index_offset &&
                           h.index_offset - m.block_offset >= varn::format::kRecordPrefixSize &&
                           m.block_len <= h.index_offset - m.block_offset - varn::format::kRecordPrefixSize &&
                           h.index_offset <= file.size(),
                       "chunk %zu column %zu: record at %llu (+12+%llu) outside [%llu, %llu)", c, k,
                       static_cast<unsigned long long>(m.block_offset),
                       static_cast<unsigned long long>(m.block_len),
                       static_cast<unsigned long long>(h.records_offset),
                       static_cast<unsigned long long>(h.index_offset));
            uint8_t* rec = file.data() + m.block_offset;
            if (varn::load_le<uint32_t>(rec) != 0) continue;
            const uint8_t* block = rec + varn::format::kRecordPrefixSize;
            const auto crc = static_cast<uint32_t>(crc32_z(0L, block, static_cast<size_t>(m.block_len)));
            varn::store_le<uint32_t>(rec, crc);
            changed = changed || crc != 0;
        }
    }
    return changed;
}

bool is_integer(uint8_t t) { return t == varn::format::kTypeInt || t == varn::format::kTypeFloat; }
bool is_flags(uint8_t t) { return t == varn::format::kTypeNone || t == varn::format::kTypeBool; }

// The most rows per chunk this caller reads cell by cell. The index may
// claim up to 2^32 - 1 rows for a chunk, and constant-delta or run-length
// payloads of a few bytes expand to that many values, so the reader leaves
// the limit to its caller. verify_file has no such limit and runs on every
// input regardless.
constexpr size_t kMaxCellRows = size_t{1} << 20;

// Reads every record every way; returns true when every cell read succeeded.
bool read_everything(VarnReader& r) {
    Bytes payload;
    std::vector<varn::KVal> cells;
    std::vector<varn::ByteView> entries;
    std::vector<int64_t> ints;
    std::vector<uint8_t> flags;
    bool all_cells = true;
    for (size_t c = 0; c < r.chunk_count(); ++c) {
        const size_t rows = r.chunk_rows(c);
        if (rows > kMaxCellRows) continue;
        for (size_t k = 0; k < r.column_count(); ++k) {
            const uint8_t t = r.columns()[k].type_code;
            const Status block = r.read_block(c, k, payload);
            const Status cell_st = r.read_cells(c, k, cells);
            if (cell_st.is_ok()) {
                FUZZ_CHECK(block.is_ok(), "cells read from a record whose block fails: %s",
                           block.message().c_str());
                FUZZ_CHECK(cells.size() == rows, "%zu cells for a chunk of %zu rows",
                           cells.size(), rows);
            } else {
                FUZZ_CHECK(!cell_st.message().empty(), "read_cells failed without a message");
                all_cells = false;
            }
            // Each typed accessor; the ones that do not fit the column must refuse.
            const Status e = r.read_entries(c, k, payload, entries);
            const Status i = r.read_integers(c, k, payload, ints);
            const Status f = r.read_flags(c, k, payload, flags);
            FUZZ_CHECK(!(is_integer(t) || is_flags(t)) || e.failed(), "entries from type %u", t);
            FUZZ_CHECK(is_integer(t) || i.failed(), "integers from type %u", t);
            FUZZ_CHECK(is_flags(t) || f.failed(), "flags from type %u", t);
            if (e.is_ok()) FUZZ_CHECK(entries.size() == rows, "%zu entries for %zu rows", entries.size(), rows);
            if (i.is_ok()) FUZZ_CHECK(ints.size() == rows, "%zu integers for %zu rows", ints.size(), rows);
            if (f.is_ok()) FUZZ_CHECK(flags.size() == rows, "%zu flags for %zu rows", flags.size(), rows);
            // Cells are built from the same payload the typed accessor decodes.
            if (cell_st.is_ok()) {
                FUZZ_CHECK(e.is_ok() || i.is_ok() || f.is_ok(),
                           "cells read, but the typed accessor for type %u failed: %s %s %s", t,
                           e.message().c_str(), i.message().c_str(), f.message().c_str());
            }
        }
    }
    return all_cells;
}

// verify_file, and what its report must say when it passes; true when it passed.
bool verify(VarnReader& r, bool keys) {
    varn::VerifyReport report;
    const Status st = varn::verify_file(r, report);
    if (st.failed()) {
        FUZZ_CHECK(!st.message().empty(), "verify failed without a message");
        return false;
    }
    FUZZ_CHECK(report.records == uint64_t{r.chunk_count()} * r.column_count(),
               "verified %llu records of %zu x %zu", static_cast<unsigned long long>(report.records),
               r.chunk_count(), r.column_count());
    FUZZ_CHECK(report.rows == r.index_rows(), "verified rows differ from the index");
    FUZZ_CHECK(report.payloads_decoded + report.encrypted_skipped == report.records,
               "decoded and skipped records do not add up");
    if (keys) FUZZ_CHECK(report.encrypted_skipped == 0, "encrypted records skipped with their key set");
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = fuzz::ScratchDir::get().path("input.varn");
    Bytes file(data, data + size);
    fuzz::write_file(path, file.data(), file.size());
    std::unique_ptr<VarnReader> r = open_file(path);
    if (!r) return 0;
    if (fill_checksums(*r, file)) {
        fuzz::write_file(path, file.data(), file.size());
        r = open_file(path);
        FUZZ_CHECK(r != nullptr, "filling in record checksums made the file unreadable");
    }

    const varn::VarnFileHeader& h = r->header();
    FUZZ_CHECK(h.file_size == size, "file size %llu, written %zu",
               static_cast<unsigned long long>(h.file_size), size);
    FUZZ_CHECK(r->column_count() == h.column_count, "schema and header disagree on the column count");
    for (size_t k = 0; k < r->column_count(); ++k) {
        const auto found = r->find_column(r->columns()[k].name);
        FUZZ_CHECK(found && *found <= k, "find_column misses column %zu", k);
    }
    Bytes dict;
    (void)r->read_dictionary(dict);

    bool any_encrypted = false;
    for (size_t k = 0; k < r->column_count(); ++k) any_encrypted = any_encrypted || r->encrypted(k);
    if (any_encrypted) {
        // Without the key: blocks are checked, payloads left alone.
        (void)verify(*r, false);
        r->set_key(seed_key());
    }
    const bool verified = verify(*r, true);
    const bool all_cells = read_everything(*r);
    // A file that verifies reads back: every record, every cell.
    FUZZ_CHECK(!verified || all_cells, "a verified file has a record whose cells do not read");
    return 0;
}
