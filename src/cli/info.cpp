// varn info: what a VARN v2 file holds, from its header, schema and index,
// and the first byte (the tag) of each block: one byte read per record, so
// it answers at once for any size.
#include <cstdio>
#include <ctime>
#include <map>
#include <string>
#include <vector>

#include "cli.h"
#include "format/block/block_compression.h"
#include "format/format.h"
#include "render/cell_text.h"
#include "format/type_codes.h"

namespace varn::cli {

namespace {

constexpr const char* kCommand = "info";

constexpr const char* kHelp =
    "usage: varn info FILE [--json] [--max-memory SIZE]\n"
    "\n"
    "Shows the header fields, the layout, the schema (names, types and flags:\n"
    "encrypt for an encrypted column, - for none) and, per column over all\n"
    "chunks: the encodings used (with their chunk counts), the compressed bytes\n"
    "(block lengths), how the blocks are compressed (their tags, with block\n"
    "counts: Lz, LzHuffman, LzRange, Huffman, Range or Stored), the null\n"
    "count and the smallest and largest value the index records. Text columns\n"
    "record texts (compared byte by byte); int, float and bool columns record\n"
    "integers (for float columns, the values truncated toward zero); other\n"
    "types record none. The statistics of an encrypted column are withheld\n"
    "(the index does not keep them). A line above the table counts the tags\n"
    "of all blocks. Only the header, schema, index and the first byte of each\n"
    "block are read (no checksum is checked: see varn verify).\n"
    "\n"
    "options:\n"
    "  --json   print one JSON object instead of the table\n"
    "  --max-memory SIZE\n"
    "           the most memory one block of FILE may take (e.g. 512M, 2G;\n"
    "           default an eighth of the physical memory)\n";

constexpr OptionSpec kOptions[] = {{"json", false}, {"max-memory", true}};
constexpr Command kSpec{kCommand, kHelp, kOptions, 1, "one FILE"};

const char* encoding_name(uint8_t id) {
    switch (id) {
        case 0: return "Plain";
        case 1: return "Rle";
        case 2: return "Delta";
        case 4: return "BitPacked";
        case 6: return "ConstDelta";
        case 7: return "FrameOfReference";
        default: return "unknown";
    }
}

// The name of a block's first byte (how the block is compressed); an empty
// block has none.
std::string tag_name(int tag) {
    switch (tag) {
        case -1: return "empty";
        case static_cast<int>(BlockTag::Lz): return "Lz";
        case static_cast<int>(BlockTag::LzHuffman): return "LzHuffman";
        case static_cast<int>(BlockTag::Stored): return "Stored";
        case static_cast<int>(BlockTag::Huffman): return "Huffman";
        case static_cast<int>(BlockTag::Range): return "Range";
        case static_cast<int>(BlockTag::LzRange): return "LzRange";
        default: return "unknown" + std::to_string(tag);
    }
}

using TagCounts = std::map<int, uint64_t>;  // tag (-1: empty block) -> blocks

struct ColumnSummary {
    std::map<uint8_t, uint64_t> encodings;  // id -> chunks
    TagCounts tags;
    uint64_t block_bytes = 0;
    uint64_t nulls = 0;
    bool has_range = false;  // some chunk holds a non-null cell with statistics
    std::string min_text, max_text;
    int64_t min = 0, max = 0;
};

bool keeps_text_range(uint8_t t) { return format::type_info(t).text_range; }
bool keeps_int_range(uint8_t t) { return format::type_info(t).int_range; }

// The index has checked that every record lies inside the file, so a tag
// that cannot be read is an I/O error.
Result<std::vector<ColumnSummary>> summarize(const VarnReader& r) {
    std::vector<ColumnSummary> out(r.column_count());
    for (size_t chunk = 0; chunk < r.chunk_count(); ++chunk) {
        for (size_t col = 0; col < r.column_count(); ++col) {
            const StreamChunkColMeta& m = r.meta(chunk, col);
            ColumnSummary& s = out[col];
            ++s.encodings[m.encoding];
            int tag = -1;
            if (m.block_len > 0) {
                uint8_t b = 0;
                Status st = r.source()->read_at(m.block_offset + format::kRecordPrefixSize, 1, &b);
                if (st.failed()) return st.prefixed(r.record_place(chunk, col) + ": block tag: ");
                tag = b;
            }
            ++s.tags[tag];
            s.block_bytes += m.block_len;
            s.nulls += m.null_count;
            const uint8_t t = r.columns()[col].type_code;
            // A chunk of null cells only has no range; an encrypted column keeps none.
            if (m.null_count >= r.chunk_rows(chunk) || r.encrypted(col)) continue;
            if (keeps_text_range(t)) {
                auto less = [](const std::string& a, const std::string& b) {
                    return compare_text(reinterpret_cast<const uint8_t*>(a.data()), a.size(),
                                        reinterpret_cast<const uint8_t*>(b.data()), b.size()) < 0;
                };
                if (!s.has_range || less(m.min_str, s.min_text)) s.min_text = m.min_str;
                if (!s.has_range || less(s.max_text, m.max_str)) s.max_text = m.max_str;
                s.has_range = true;
            } else if (keeps_int_range(t)) {
                s.min = s.has_range ? std::min(s.min, m.min) : m.min;
                s.max = s.has_range ? std::max(s.max, m.max) : m.max;
                s.has_range = true;
            }
        }
    }
    return out;
}

std::string time_text(uint64_t seconds) {
    const time_t t = static_cast<time_t>(seconds);
    struct tm tm {};
    char buf[64];
    if (!::gmtime_r(&t, &tm) || std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S UTC", &tm) == 0)
        return "?";
    return buf;
}

std::string n(uint64_t v) { return std::to_string(v); }

std::string range_cell(const ColumnSummary& s, uint8_t t, bool max) {
    if (!s.has_range) return "-";
    if (keeps_text_range(t)) {
        std::string out(1, '"');
        out += printable(max ? s.max_text : s.min_text, 32);
        out += '"';
        return out;
    }
    return std::to_string(max ? s.max : s.min);
}

std::string tags_cell(const TagCounts& tags) {
    std::string out;
    for (const auto& [tag, count] : tags) {
        if (!out.empty()) out += ",";
        out += tag_name(tag) + "(" + n(count) + ")";
    }
    return out.empty() ? "-" : out;
}

// Every block's tag, the most frequent first: "LzHuffman 30 (75%), Stored 10 (25%)".
std::string tags_line(const std::vector<ColumnSummary>& summary) {
    TagCounts all;
    uint64_t total = 0;
    for (const auto& s : summary)
        for (const auto& [tag, count] : s.tags) {
            all[tag] += count;
            total += count;
        }
    std::vector<std::pair<int, uint64_t>> sorted(all.begin(), all.end());
    std::stable_sort(sorted.begin(), sorted.end(), [](const auto& a, const auto& b) { return a.second > b.second; });
    std::string out = n(total);
    for (size_t i = 0; i < sorted.size(); ++i) {
        out += i ? ", " : ": ";
        const uint64_t pct = (sorted[i].second * 1000 / total + 5) / 10;
        out += tag_name(sorted[i].first) + " " + n(sorted[i].second) + " (" + n(pct) + "%)";
    }
    return out;
}

std::string encodings_cell(const ColumnSummary& s) {
    std::string out;
    for (const auto& [id, count] : s.encodings) {
        if (!out.empty()) out += ",";
        out += std::string(encoding_name(id)) + "(" + n(count) + ")";
    }
    return out.empty() ? "-" : out;
}

void print_table(const VarnReader& r, const std::string& path, const std::vector<ColumnSummary>& summary) {
    const VarnFileHeader& h = r.header();
    std::string out;
    const uint64_t records = h.index_offset - h.records_offset;
    out += "file      " + path + "\n";
    out += "size      " + n(h.file_size) + " bytes: header 64, schema block " + n(h.schema_len) +
           " (+4), dictionary block " + n(h.dict_len) + " (+8), column records " + n(records) +
           ", index block " + n(h.index_len) + ", trailer 16\n";
    out += "format    VARN v" + n(h.version) + "\n";
    out += "created   " + time_text(h.created) + " (" + n(h.created) + ")\n";
    out += "rows      " + n(h.total_rows) + " in " + n(h.chunk_count) + " chunks of up to " +
           n(h.chunk_size) + " rows\n";
    if (h.total_rows != r.index_rows() || h.chunk_count != r.chunk_count()) {
        out += "note      the index lists " + n(r.index_rows()) + " rows in " + n(r.chunk_count()) +
               " chunks\n";
    }
    out += "columns   " + n(r.column_count()) + "\n";
    out += "blocks    " + tags_line(summary) + "\n";

    std::vector<std::vector<std::string>> rows;
    rows.push_back({"#", "name", "type", "flags", "encodings", "compressed", "blocks", "nulls", "min", "max"});
    for (size_t c = 0; c < r.column_count(); ++c) {
        const KColumn& k = r.columns()[c];
        const ColumnSummary& s = summary[c];
        // Codes that share a name (bytes, json) show which one it is.
        const format::ColumnKind kind = format::kind_of(k.type_code);
        std::string type = format::type_info(k.type_code).name;
        if (kind == format::ColumnKind::Bytes || kind == format::ColumnKind::Nested)
            type += "(" + n(k.type_code) + ")";
        std::string flags = k.flags == 0 ? "-" : k.flags == format::kFlagEncrypt ? "encrypt" : "";
        if (flags.empty()) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "0x%02X", k.flags);
            flags = buf;
        }
        const bool withheld = r.encrypted(c);
        rows.push_back({n(c), printable(k.name, 32), type, flags,
                        encodings_cell(s), n(s.block_bytes), tags_cell(s.tags), n(s.nulls),
                        withheld ? "withheld" : range_cell(s, k.type_code, false),
                        withheld ? "withheld" : range_cell(s, k.type_code, true)});
    }
    // Display widths count UTF-8 characters, not bytes.
    auto width = [](const std::string& s) {
        size_t w = 0;
        for (unsigned char ch : s) w += (ch & 0xC0) != 0x80;
        return w;
    };
    std::vector<size_t> widths(rows[0].size(), 0);
    for (const auto& row : rows)
        for (size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], width(row[i]));
    out += "\n";
    for (const auto& row : rows) {
        std::string line;
        for (size_t i = 0; i < row.size(); ++i) {
            line += row[i];
            if (i + 1 < row.size()) line.append(widths[i] - width(row[i]) + 2, ' ');
        }
        out += line + "\n";
    }
    print(out);
}

void append_tags_json(const TagCounts& tags, std::string& out) {
    out += '{';
    bool first = true;
    for (const auto& [tag, count] : tags) {
        out += first ? "\"" : ",\"";
        out += tag_name(tag) + "\":" + n(count);
        first = false;
    }
    out += '}';
}

void print_json(const VarnReader& r, const std::string& path, const std::vector<ColumnSummary>& summary) {
    const VarnFileHeader& h = r.header();
    std::string out = "{\"path\":";
    append_json_string(path, out);
    out += ",\"file_size\":" + n(h.file_size);
    out += ",\"version\":" + n(h.version);
    out += ",\"created\":" + n(h.created);
    out += ",\"total_rows\":" + n(h.total_rows);
    out += ",\"chunk_count\":" + n(h.chunk_count);
    out += ",\"chunk_size\":" + n(h.chunk_size);
    out += ",\"column_count\":" + n(h.column_count);
    out += ",\"index_rows\":" + n(r.index_rows());
    out += ",\"index_chunks\":" + n(r.chunk_count());
    out += ",\"chunk_rows\":[";
    for (size_t c = 0; c < r.chunk_count(); ++c) {
        if (c) out += ',';
        out += n(r.chunk_rows(c));
    }
    out += "],\"layout\":{\"schema_block\":" + n(h.schema_len) +
           ",\"dictionary_block\":" + n(h.dict_len) + ",\"records_offset\":" + n(h.records_offset) +
           ",\"index_offset\":" + n(h.index_offset) + ",\"index_block\":" + n(h.index_len) + "}";
    TagCounts all;
    for (const auto& s : summary)
        for (const auto& [tag, count] : s.tags) all[tag] += count;
    out += ",\"blocks\":";
    append_tags_json(all, out);
    out += ",\"columns\":[";
    for (size_t c = 0; c < r.column_count(); ++c) {
        const KColumn& k = r.columns()[c];
        const ColumnSummary& s = summary[c];
        out += c ? ",{" : "{";
        out += "\"index\":" + n(c) + ",\"name\":";
        append_json_string(k.name, out);
        out += ",\"type\":\"" + std::string(format::type_info(k.type_code).name) + "\",\"type_code\":" +
               n(k.type_code) + ",\"flags\":" + n(k.flags) +
               ",\"encrypted\":" + (r.encrypted(c) ? "true" : "false") + ",\"encodings\":{";
        bool first = true;
        for (const auto& [id, count] : s.encodings) {
            out += first ? "\"" : ",\"";
            out += std::string(encoding_name(id)) + "\":" + n(count);
            first = false;
        }
        out += "},\"compressed_bytes\":" + n(s.block_bytes) + ",\"blocks\":";
        append_tags_json(s.tags, out);
        out += ",\"null_count\":" + n(s.nulls);
        out += std::string(",\"statistics_withheld\":") + (r.encrypted(c) ? "true" : "false");
        out += ",\"min\":";
        if (!s.has_range) {
            out += "null,\"max\":null";
        } else if (keeps_text_range(k.type_code)) {
            append_json_string(s.min_text, out);
            out += ",\"max\":";
            append_json_string(s.max_text, out);
        } else {
            out += std::to_string(s.min) + ",\"max\":" + std::to_string(s.max);
        }
        out += "}";
    }
    out += "]}\n";
    print(out);
}

}  // namespace

int run_info(std::span<char* const> argv) {
    Args args;
    std::unique_ptr<VarnReader> reader;
    if (auto done = open_command(kSpec, argv, args, reader)) return *done;
    const std::string& path = args.positional[0];
    auto summary = summarize(*reader);
    if (summary.failed()) return failure(kCommand, path + ": " + summary.message());
    if (args.flag("json")) {
        print_json(*reader, path, summary.value());
    } else {
        print_table(*reader, path, summary.value());
    }
    return kExitOk;
}

}  // namespace varn::cli
