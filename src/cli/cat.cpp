// varn cat: the rows of a VARN v2 file as CSV text that `varn compress`
// reads back as the same cells (RFC 4180: a cell is quoted when it holds the
// delimiter, a quote, a line break or white space at an edge), or with
// --plain in compress_csv's own dialect (cells joined by commas, one row per
// line, no quoting), so that converting the output again gives the same
// file. This is the CSV sink of a scan (scan/scan.h): the scan decides which
// chunks and rows (--where, in the filter language of docs/filters.md) and
// decodes the chunks ahead on every core; this file only writes text. Output
// goes through one large buffer with a single memcpy per text cell.
#include <unistd.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli.h"
#include "render/cell_text.h"
#include "common/text_scan.h"
#include "csv/csv_records.h"
#include "format/type_codes.h"
#include "format/column/nested_value.h"
#include "scan/filter.h"
#include "scan/null_rule.h"
#include "scan/scan.h"

namespace varn::cli {

namespace {

constexpr const char* kCommand = "cat";

// The delimiters varn compress detects from the header line, in the order
// that breaks ties.
constexpr std::string_view kDetectable(CsvRecordReader::kCandidates, 4);

constexpr const char* kHelp =
    "usage: varn cat FILE [--columns A,B,...] [--where EXPR]... [--stats]\n"
    "                     [--delimiter C | --plain] [--key-file PATH]\n"
    "                     [--max-memory SIZE]\n"
    "\n"
    "Writes the header line and the rows to standard output as CSV that varn\n"
    "compress reads back as the same cells: cells joined by commas (or\n"
    "--delimiter), one row per line ending in LF. A cell or column name that\n"
    "holds the delimiter, a double quote, a CR or LF, or white space at either\n"
    "end is quoted as RFC 4180 says: wrapped in double quotes, with each quote\n"
    "inside doubled. Other cells are written as they are, so a file without\n"
    "such cells gives the same bytes as --plain. A column name holding another\n"
    "of , ; TAB | is quoted too when that character would otherwise be taken for\n"
    "the delimiter; with one column and a delimiter other than a comma, give\n"
    "varn compress the same --delimiter. A row that would be a blank line (one\n"
    "column, empty cell) is written as \"\". Cells whose bytes are not UTF-8 are\n"
    "written as they are and counted in a warning: varn compress refuses them.\n"
    "With --plain, the dialect of compress_csv instead: no quoting at all.\n"
    "\n"
    "Text cells are written as stored; int cells as decimal integers, float cells\n"
    "as exact decimals of the stored 1/10000 units, bool cells as true or false,\n"
    "bytes cells as hex digits and json cells as compact JSON. A null cell is an\n"
    "empty field where the file can tell it is null: text, bytes and json cells,\n"
    "and int, float or bool cells of a chunk whose null count equals its cells\n"
    "holding 0 or false. Where a chunk holds more such cells than nulls, the file\n"
    "does not say which were null and they are written as 0 or false (a warning\n"
    "says how many); a chunk with fewer is refused as damaged (see\n"
    "docs/filters.md for this rule). With --plain, a row that would\n"
    "be a blank line (one column, empty cell) is written as a single comma, which\n"
    "compress_csv reads back as the same empty cell; converting the output of a\n"
    "converted CSV with compress_csv gives the same file apart from its creation\n"
    "time; cells that dialect cannot carry (with a comma or line break, white\n"
    "space at an edge, or bytes that are not UTF-8) are written as they are and\n"
    "counted in a warning.\n"
    "\n"
    "options:\n"
    "  --columns A,B,...  write only these columns, in this order\n"
    "  --where EXPR       write only the rows EXPR matches; repeat it to require\n"
    "                     several (AND). EXPR is NAME=VALUE, NAME!=VALUE,\n"
    "                     NAME<VALUE, NAME<=VALUE, NAME>VALUE, NAME>=VALUE,\n"
    "                     'NAME in (A,B,C)' or 'NAME not in (A,B,C)'. VALUE is\n"
    "                     written as cat writes cells (decimal integers and\n"
    "                     decimals, true/false, hex digits for bytes); text\n"
    "                     compares by bytes. Spaces around the operator and at\n"
    "                     the ends of a value are dropped; put a value in double\n"
    "                     quotes to keep them, or to hold a comma or parenthesis\n"
    "                     in a list (a quote inside doubled): 'city in (\"A, B\",C)'.\n"
    "                     A null cell matches no comparison (!= and not in too),\n"
    "                     except that NAME= (an empty value, also inside an in\n"
    "                     list) on a text or bytes column matches the empty\n"
    "                     cells, null ones included; NAME!= keeps the non-empty\n"
    "                     cells. An empty value on an int, float or bool column\n"
    "                     is refused. Cells written as 0 or false because the\n"
    "                     file does not say which were null compare as 0 or\n"
    "                     false. Chunks the index (minimum/maximum, null count,\n"
    "                     Bloom filter) rules out are skipped unread. The\n"
    "                     language and its meaning are those of the Python\n"
    "                     package's filters: see docs/filters.md\n"
    "  --stats            report on standard error how many chunks were read and\n"
    "                     skipped and how many rows were written\n"
    "  --delimiter C      the field delimiter of the output (one character other\n"
    "                     than a quote or a line end; \\t for a tab); default ,\n"
    "  --plain            compress_csv's dialect: commas, no quoting\n"
    "  --key-file PATH    key of the encrypted columns (32 raw bytes or 64 hex\n"
    "                     digits); a wrong key is refused before any row is\n"
    "                     written (exit 1)\n"
    "  --max-memory SIZE  the most memory one block, or the columns of the chunks\n"
    "                     decoded at once, may take (e.g. 512M, 2G; default an\n"
    "                     eighth of the physical memory): a chunk that would need\n"
    "                     more stops the output there\n";

constexpr OptionSpec kOptions[] = {
    {"columns", true},
    {"where", true},
    {"stats", false},
    {"key-file", true},
    {"max-memory", true},
    {"delimiter", true},
    {"plain", false},
};
constexpr Command kSpec{kCommand, kHelp, kOptions, 1, "one FILE"};

using Kind = format::ColumnKind;
using format::kind_of;

// One column of the chunk being written: the scan's decoded column and,
// for a text column written straight from its payload, the walk along it.
struct Slot {
    size_t col = 0;
    Kind kind = Kind::Text;
    const scan::DecodedColumn* d = nullptr;  // of the current chunk
    // Text written straight from the payload, walked a tile at a time
    // (every length checked on the way) instead of one view per row made
    // up front; its empty cells are counted for the null rule.
    bool walk = false;
    EntryWalk entry;
    uint64_t empties = 0;
};

// The field text of a cell that is not plain text.
Status render(const Slot& s, size_t row, std::string& out) {
    out.clear();
    switch (s.kind) {
        case Kind::Text: out.assign(reinterpret_cast<const char*>(s.d->entries[row].data()), s.d->entries[row].size()); break;
        case Kind::Bytes: append_hex_text(s.d->entries[row], out); break;
        case Kind::Nested:
            // The scan gives json values as their JSON text; a json null is null.
            if (!s.d->is_null(row)) {
                out.assign(reinterpret_cast<const char*>(s.d->entries[row].data()), s.d->entries[row].size());
            }
            break;
        case Kind::Int:
            if (!s.d->is_null(row)) append_int_text(s.d->ints[row], out);
            break;
        case Kind::Float:
            if (!s.d->is_null(row)) append_scaled_text(s.d->ints[row], out);
            break;
        case Kind::Flags:
            if (!s.d->is_null(row)) append_bool_text(s.d->flags[row] != 0, out);
            break;
    }
    return Status::ok();
}

// Byte classes for the dialect check: 1 for the separators, 2 for non-ASCII.
constexpr std::array<uint8_t, 256> kByteClass = [] {
    std::array<uint8_t, 256> t{};
    t[','] = 1;
    t['\n'] = 1;
    for (int b = 0x80; b < 0x100; ++b) t[b] = 2;
    return t;
}();

// Whether the converter would not read the cell p[0..n) back as it is: it
// holds a separator (comma, line feed), is not UTF-8, or starts or ends with
// white space (which the converter trims).
bool breaks_dialect(const uint8_t* p, size_t n, bool separator, bool non_ascii) {
    if (n == 0) return false;
    if (separator) return true;
    if (non_ascii && !utf8_valid(p, n)) return true;
    return space_prefix(p, p + n) != 0 || space_suffix(p, p + n) != 0;
}

bool breaks_dialect(const uint8_t* p, size_t n) {
    uint8_t acc = 0;
    for (size_t i = 0; i < n; ++i) acc |= kByteClass[p[i]];
    return breaks_dialect(p, n, acc & 1, acc & 2);
}

// What the quoting output does with a cell: quote it (it holds the
// delimiter, a quote, a CR or LF, or White_Space at an edge, which an
// unquoted field loses), and whether varn compress refuses it all the same
// (bytes that are not UTF-8). `special` and `non_ascii` say whether any such
// byte or any byte above 0x7F is in the cell.
struct QuoteLook {
    bool quote = false;
    bool bad = false;
};

QuoteLook look_quoted(const uint8_t* p, size_t n, bool special, bool non_ascii) {
    QuoteLook look;
    if (n == 0) return look;
    look.bad = non_ascii && !utf8_valid(p, n);
    look.quote = special || space_prefix(p, p + n) != 0 || space_suffix(p, p + n) != 0;
    return look;
}

QuoteLook look_quoted(const uint8_t* p, size_t n, uint8_t delimiter) {
    bool special = false, non_ascii = false;
    for (size_t i = 0; i < n; ++i) {
        const uint8_t b = p[i];
        special = special || b == delimiter || b == '"' || b == '\n' || b == '\r';
        non_ascii = non_ascii || b > 0x7F;
    }
    return look_quoted(p, n, special, non_ascii);
}

// Bytes p[0..n) take in quoted form: the two quotes and one more per quote.
size_t quoted_size(const uint8_t* p, size_t n) {
    return n + 2 + static_cast<size_t>(std::count(p, p + n, uint8_t{'"'}));
}

// Writes p[0..n) to d wrapped in double quotes, each quote inside doubled;
// returns the bytes written (quoted_size).
size_t put_quoted(const uint8_t* p, size_t n, uint8_t* d) {
    uint8_t* const start = d;
    *d++ = '"';
    for (;;) {
        const auto* q = static_cast<const uint8_t*>(std::memchr(p, '"', n));
        const size_t k = q ? static_cast<size_t>(q - p) + 1 : n;
        if (k) std::memcpy(d, p, k);
        d += k;
        if (!q) break;
        *d++ = '"';
        p += k;
        n -= k;
    }
    *d++ = '"';
    return static_cast<size_t>(d - start);
}

// Copies the cell p[0..n) to `d` and classifies its bytes in the same pass,
// eight bytes at a time (a byte is zero in v exactly when (v - 0x01..) & ~v &
// 0x80.. has its high bit set). When eight bytes can be read from the last
// partial word (before `readable_end`) and written (before `writable_end`),
// that word is moved whole: up to seven bytes past d + n are written, which
// the caller overwrites afterwards. Returns whether the cell cannot be
// written as it is: kQuoted, it needs quotes around it (or is not UTF-8);
// otherwise the converter of the plain dialect would not read it back.
template <bool kQuoted>
inline bool copy_cell(const uint8_t* p, size_t n, uint8_t* d, const uint8_t* readable_end,
                      const uint8_t* writable_end, uint8_t delimiter = ',') {
    constexpr uint64_t kOnes = 0x0101010101010101ULL, kHigh = 0x8080808080808080ULL;
    if (n == 0) return false;
    uint64_t high = 0, sep = 0;
    auto classify = [&](uint64_t w) {
        const uint64_t c = w ^ (kOnes * (kQuoted ? delimiter : ',')), l = w ^ (kOnes * '\n');
        sep |= ((c - kOnes) & ~c) | ((l - kOnes) & ~l);
        if constexpr (kQuoted) {
            const uint64_t q = w ^ (kOnes * '"'), r = w ^ (kOnes * '\r');
            sep |= ((q - kOnes) & ~q) | ((r - kOnes) & ~r);
        }
        high |= w;
    };
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t w;
        std::memcpy(&w, p + i, 8);
        std::memcpy(d + i, &w, 8);
        classify(w);
    }
    uint8_t acc = 0;
    if (i < n) {
        if (std::endian::native == std::endian::little && readable_end - (p + i) >= 8 &&
            writable_end - (d + i) >= 8) {
            uint64_t w;
            std::memcpy(&w, p + i, 8);
            std::memcpy(d + i, &w, 8);
            // Bytes past the cell become zero, which is neither separator
            // nor high.
            classify(w & (~uint64_t{0} >> (64 - 8 * (n - i))));
        } else {
            for (; i < n; ++i) {
                d[i] = p[i];
                if constexpr (kQuoted) {
                    const uint8_t b = p[i];
                    acc |= (b == delimiter || b == '"' || b == '\n' || b == '\r' ? 1 : 0) |
                           (b > 0x7F ? 2 : 0);
                } else {
                    acc |= kByteClass[p[i]];
                }
            }
        }
    }
    const bool separator = (sep & kHigh) != 0 || (acc & 1);
    const bool non_ascii = (high & kHigh) != 0 || (acc & 2);
    // The common case: plain ASCII, so only its two ends need a look.
    if (!separator && !non_ascii) return ascii_space(p[0]) || ascii_space(p[n - 1]);
    if constexpr (kQuoted) {
        const QuoteLook look = look_quoted(p, n, separator, non_ascii);
        return look.quote || look.bad;
    } else {
        return breaks_dialect(p, n, separator, non_ascii);
    }
}

// True when no byte of p[0..n) could make a cell unreadable by the
// converter: none is a comma, ASCII white space (0x09 to 0x0D, which takes in
// the line feed, and 0x20) or above 0x7F; kQuoted, none is a double quote or
// the delimiter either. A payload span that passes holds only cells that
// need no look of their own; its length bytes are tested with them, so a
// span with such a length byte (a cell of 9 to 13, 32 or 44 bytes, say)
// merely takes the slower way.
template <bool kQuoted>
bool plain_span(const uint8_t* p, size_t n, uint8_t delimiter = ',') {
    constexpr uint64_t kOnes = 0x0101010101010101ULL, kHigh = 0x8080808080808080ULL;
    constexpr uint64_t kLow7 = kOnes * 0x7F;
    uint64_t flags = 0;
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t w;
        std::memcpy(&w, p + i, 8);
        const uint64_t c = w ^ (kOnes * ','), s = w ^ (kOnes * ' ');
        // Bytes strictly between 0x08 and 0x0E, without carries between bytes.
        const uint64_t in_range =
            ((kOnes * (127 + 0x0E) - (w & kLow7)) & ~w & ((w & kLow7) + kOnes * (127 - 0x08)));
        flags |= in_range | ((c - kOnes) & ~c) | ((s - kOnes) & ~s) | w;
        if constexpr (kQuoted) {
            const uint64_t q = w ^ (kOnes * '"'), dl = w ^ (kOnes * delimiter);
            flags |= ((q - kOnes) & ~q) | ((dl - kOnes) & ~dl);
        }
        if (flags & kHigh) return false;  // most spans of such columns fail early
    }
    bool bad = false;
    for (; i < n; ++i) {
        bad = bad || ascii_space(p[i]) || p[i] == ',' || p[i] > 0x7F;
        if constexpr (kQuoted) bad = bad || p[i] == '"' || p[i] == delimiter;
    }
    return !bad;
}

// copy_cell for a cell of a plain span: the bytes need no look.
inline void copy_plain(const uint8_t* p, size_t n, uint8_t* d, const uint8_t* readable_end,
                       const uint8_t* writable_end) {
    if (n <= 8 && readable_end - p >= 8 && writable_end - d >= 8)
        std::memcpy(d, p, 8);
    else if (n)
        std::memcpy(d, p, n);
}

// Writes one column's cells of a tile to their lines: cell k goes to start +
// at[k] (SIZE_MAX: the row is filtered out), followed by `after` (the
// delimiter, or the line feed after the last column), and at[k] moves past
// it. Unquoted output: a lone column's empty cell gets a comma first, so the
// line is not blank. Cells of a plain span are copied without a look.
// Returns the number of cells that cannot be written as they are (kQuoted: a
// lone empty cell too, which needs quotes), and the first one's index in
// `first_bad`.
template <bool kPlain, bool kQuoted>
size_t put_column(const ByteView* cells, size_t nrows, size_t* at, const size_t* line_end,
                  uint8_t* start, const uint8_t* readable, uint8_t after, bool lone,
                  uint8_t delimiter, size_t& first_bad) {
    size_t bad = 0;
    for (size_t k = 0; k < nrows; ++k) {
        const size_t to = at[k];
        if (to == SIZE_MAX) continue;
        const ByteView t = cells[k];
        uint8_t* d = start + to;
        if constexpr (kPlain) {
            copy_plain(t.data(), t.size(), d, readable, start + line_end[k]);
        } else if (copy_cell<kQuoted>(t.data(), t.size(), d, readable, start + line_end[k], delimiter)) {
            if (bad++ == 0) first_bad = k;
        }
        d += t.size();
        if (lone && t.empty()) {
            if constexpr (kQuoted) {
                if (bad++ == 0) first_bad = k;
            }
            *d++ = ',';
        }
        *d++ = after;
        at[k] = static_cast<size_t>(d - start);
    }
    return bad;
}

struct Stats {
    uint64_t rows = 0;
    uint64_t bad_cells = 0;
    std::string first_bad;
    uint64_t hidden_nulls = 0;  // nulls written as their stored 0 / false
};

// The columns to write: every column, or those named, in the order named.
// Returns the exit status when a name is no column.
std::optional<int> select_columns(const VarnReader& reader, const Args& args,
                                  const std::string& path, std::vector<size_t>& selection) {
    auto names = args.value("columns");
    if (!names) {
        for (size_t c = 0; c < reader.column_count(); ++c) selection.push_back(c);
        return std::nullopt;
    }
    size_t start = 0;
    for (;;) {
        size_t comma = names->find(',', start);
        std::string name =
            names->substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        while (!name.empty() && (name.back() == ' ' || name.back() == '\t')) name.pop_back();
        while (!name.empty() && (name.front() == ' ' || name.front() == '\t')) name.erase(0, 1);
        auto col = reader.find_column(name);
        if (!col) return usage_error(kCommand, "no column named '" + name + "' in " + path);
        selection.push_back(*col);
        if (comma == std::string::npos) return std::nullopt;
        start = comma + 1;
    }
}

// The row filters of --where, each in the filter language. Returns the
// exit status when one is not.
std::optional<int> parse_where(const VarnReader& reader, const Args& args, const std::string& path,
                               std::vector<scan::Filter>& filters) {
    for (const std::string& expr : args.values("where")) {
        Result<scan::Filter> f = scan::parse_filter_text(reader, expr);
        if (f.failed()) return usage_error(kCommand, "--where: " + path + ": " + f.message());
        filters.push_back(f.take());
    }
    return std::nullopt;
}

// The delimiter varn compress detects in a header line: the one of , ; TAB |
// that occurs most often outside quotes, the first of them on a tie.
uint8_t detected_delimiter(std::string_view line) {
    size_t counts[4] = {0, 0, 0, 0};
    bool quoted = false;
    for (char c : line) {
        if (c == '"') {
            quoted = !quoted;
        } else if (!quoted) {
            for (int k = 0; k < 4; ++k) counts[k] += c == kDetectable[k];
        }
    }
    int best = 0;
    for (int k = 1; k < 4; ++k)
        if (counts[k] > counts[best]) best = k;
    return static_cast<uint8_t>(kDetectable[best]);
}

// What is decoded per chunk: one slot per distinct column the scan decodes
// (the --where columns first), and the slot of each printed column.
struct Plan {
    std::vector<size_t> selection;
    std::vector<scan::Filter> filters;
    std::vector<Slot> slots;
    std::vector<Slot*> selected;
    bool all_text = true;
    // The output dialect: RFC 4180 quoting (with this delimiter), or
    // compress_csv's plain one (commas, no quoting).
    bool quoted = true;
    uint8_t delimiter = ',';
};

// The output dialect of --plain and --delimiter; returns the exit status
// when they are wrong.
std::optional<int> parse_dialect(const Args& args, Plan& plan) {
    const auto given = args.value("delimiter");
    if (args.flag("plain")) {
        if (given) return usage_error(kCommand, "--plain writes commas: --delimiter does not apply");
        plan.quoted = false;
        return std::nullopt;
    }
    if (given) {
        const auto delimiter = parse_delimiter(*given);
        if (!delimiter) return usage_error(kCommand, bad_delimiter_message(*given));
        plan.delimiter = *delimiter;
    }
    return std::nullopt;
}

// Fills the plan's slots, one per column the scan decodes (`needed`, the
// filter columns first; output column i is needed[output_index[i]]);
// returns the exit status when a column needed is encrypted and no key was
// given.
std::optional<int> plan_slots(const VarnReader& reader, const std::vector<size_t>& needed,
                              const std::vector<size_t>& output_index, Plan& plan) {
    for (size_t col : needed) {
        plan.slots.emplace_back();
        plan.slots.back().col = col;
        plan.slots.back().kind = kind_of(reader.columns()[col].type_code);
        if (reader.encrypted(col) && !reader.has_key(col)) {
            return failure(kCommand, "column '" + printable(reader.columns()[col].name) +
                                         "' is encrypted: give its key with --key-file");
        }
    }
    for (size_t j : output_index) {
        plan.selected.push_back(&plan.slots[j]);
        plan.all_text = plan.all_text && plan.selected.back()->kind == Kind::Text;
    }
    // A text column printed once, and not a filter column, is walked from
    // its payload; a column printed twice would need two cursors, so it
    // keeps its views like the filter columns.
    if (plan.all_text) {
        std::vector<size_t> times(plan.slots.size(), 0);
        for (size_t j : output_index) ++times[j];
        std::vector<uint8_t> filter_column(reader.column_count(), 0);
        for (const scan::Filter& f : plan.filters) filter_column[f.column] = 1;
        for (size_t j = 0; j < plan.slots.size(); ++j)
            plan.slots[j].walk = times[j] == 1 && !filter_column[plan.slots[j].col];
    }
    return std::nullopt;
}

// The CSV side of the scan: the walked text columns are read as their
// payloads only; everything else is done on the writing thread.
class CatSink : public scan::ChunkSink {
public:
    explicit CatSink(const Plan& plan) : plan_(plan) {}
    bool payload_only(size_t index, size_t, bool) const override {
        return index < plan_.slots.size() && plan_.slots[index].walk;
    }

private:
    const Plan& plan_;
};

// Writes the rows of a planned file, chunk by chunk, into the output
// buffer. A fault in the file comes back as a failed Status; what was
// decoded before it is in the output.
class RowWriter {
public:
    RowWriter(VarnReader& reader, Plan& plan, Output& out)
        : reader_(reader),
          plan_(plan),
          out_(out),
          // Rows per tile: a tile's cells of every column stay in the
          // nearest caches.
          tile_rows_(std::clamp<size_t>(size_t{16384} / std::max<size_t>(plan.selected.size(), 1),
                                        1, 256)),
          at_(tile_rows_),
          line_end_(tile_rows_),
          tile_cells_(plan.all_text ? tile_rows_ * plan.selected.size() : 0),
          plain_(plan.selected.size()) {}

    void write_header();
    Status write_chunks(scan::Scan& scan);
    const Stats& stats() const { return stats_; }

private:
    void count_hidden_nulls();
    Status write_text_tiles(size_t chunk);
    Status write_tile(size_t chunk, size_t r0, size_t nrows);
    void write_tile_quoted(size_t chunk, size_t r0, size_t nrows);
    Status write_rendered_rows(size_t chunk);
    bool put_field(const uint8_t* p, size_t n, bool lone);
    std::string header_line(bool quote_candidates, std::vector<size_t>& bad) const;
    void note_bad(size_t chunk, uint64_t row, size_t col);

    VarnReader& reader_;
    Plan& plan_;
    Output& out_;
    Stats stats_;
    bool filtered_ = false;       // the chunk's rows are those of match_
    std::vector<uint8_t> match_;  // per row of the chunk: passes --where
    const size_t tile_rows_;
    std::vector<size_t> at_;                // where the next cell of each row goes
    std::vector<size_t> line_end_;          // where each line ends
    std::vector<ByteView> tile_cells_;      // column-major
    std::vector<uint8_t> plain_;            // per column: the tile's span passed plain_span
    std::string cell_;
};

void RowWriter::note_bad(size_t chunk, uint64_t row, size_t col) {
    if (stats_.bad_cells++ == 0) {
        stats_.first_bad = chunk == SIZE_MAX
                               ? "the header, column " + std::to_string(col)
                               : "chunk " + std::to_string(chunk) + ", row " + std::to_string(row) +
                                     ", column '" + printable(reader_.columns()[col].name) + "'";
    }
}

// Writes one field (not the delimiter after it). A lone field (the row's
// only one) that is empty is written as "" (unquoted output: a comma), so
// that the line is not blank. Returns whether the cell does not read back
// as it is.
bool RowWriter::put_field(const uint8_t* p, size_t n, bool lone) {
    if (!plan_.quoted) {
        uint8_t* d = out_.reserve(n);
        const bool bad = copy_cell<false>(p, n, d, p + n, d + n);
        out_.commit(n);
        if (lone && n == 0) out_.put(',');
        return bad;
    }
    if (n == 0) {
        if (lone) out_.append("\"\"", 2);
        return false;
    }
    uint8_t* d = out_.reserve(n);
    if (!copy_cell<true>(p, n, d, p + n, d + n, plan_.delimiter)) {
        out_.commit(n);
        return false;
    }
    const QuoteLook look = look_quoted(p, n, plan_.delimiter);
    if (!look.quote) {
        out_.commit(n);
    } else {
        d = out_.reserve(quoted_size(p, n));
        out_.commit(put_quoted(p, n, d));
    }
    return look.bad;
}

// The header line of the quoting output, its line feed left out; `bad`
// gets the columns whose names do not read back. A name is quoted like a
// cell, and also when it starts with a byte-order mark (which the reader
// drops at the start of the input) or, with `quote_candidates`, when it
// holds any of the delimiters the reader detects.
std::string RowWriter::header_line(bool quote_candidates, std::vector<size_t>& bad) const {
    const std::vector<size_t>& selection = plan_.selection;
    std::string line;
    bad.clear();
    for (size_t j = 0; j < selection.size(); ++j) {
        const std::string& name = reader_.columns()[selection[j]].name;
        const auto* p = reinterpret_cast<const uint8_t*>(name.data());
        if (j) line += static_cast<char>(plan_.delimiter);
        const QuoteLook look = look_quoted(p, name.size(), plan_.delimiter);
        if (look.bad) bad.push_back(selection[j]);
        bool quote = look.quote || (selection.size() == 1 && name.empty()) ||
                     (j == 0 && name.rfind("\xEF\xBB\xBF", 0) == 0);
        for (char c : kDetectable) quote = quote || (quote_candidates && name.find(c) != std::string::npos);
        if (!quote) {
            line += name;
            continue;
        }
        const size_t at = line.size();
        line.resize(at + quoted_size(p, name.size()));
        put_quoted(p, name.size(), reinterpret_cast<uint8_t*>(line.data() + at));
    }
    return line;
}

void RowWriter::write_header() {
    const std::vector<size_t>& selection = plan_.selection;
    if (!plan_.quoted) {
        for (size_t j = 0; j < selection.size(); ++j) {
            const std::string& name = reader_.columns()[selection[j]].name;
            if (j) out_.put(',');
            out_.append(name);
            if (breaks_dialect(reinterpret_cast<const uint8_t*>(name.data()), name.size()))
                note_bad(SIZE_MAX, 0, selection[j]);
        }
        out_.put('\n');
        return;
    }
    std::vector<size_t> bad;
    std::string line = header_line(false, bad);
    // varn compress takes the delimiter that occurs most often outside
    // quotes in the header line (the first of , ; TAB | on a tie): when a
    // name's other one of them would win, such names are quoted too.
    if (detected_delimiter(line) != plan_.delimiter) line = header_line(true, bad);
    for (size_t col : bad) note_bad(SIZE_MAX, 0, col);
    out_.append(line);
    out_.put('\n');
}

void RowWriter::count_hidden_nulls() {
    const std::vector<size_t>& selection = plan_.selection;
    for (const Slot& s : plan_.slots) {
        const bool printed = std::find(selection.begin(), selection.end(), s.col) != selection.end();
        if (printed && (s.kind == Kind::Int || s.kind == Kind::Float || s.kind == Kind::Flags))
            stats_.hidden_nulls += s.d->hidden;
    }
}

// Writes the chunks the scan gives out, in order.
Status RowWriter::write_chunks(scan::Scan& scan) {
    for (;;) {
        Result<scan::DecodedChunk*> next = scan.next();
        if (next.failed()) return next.status();
        const scan::DecodedChunk* chunk = next.value();
        if (!chunk) return Status::ok();
        for (size_t j = 0; j < plan_.slots.size(); ++j) {
            Slot& s = plan_.slots[j];
            s.d = &chunk->columns[j];
            s.empties = 0;
            if (s.walk) {
                Status st = s.entry.start(as_bytes(s.d->payload), chunk->rows);
                if (st.failed()) return reader_.payload_fault(chunk->chunk, s.col, st);
            }
        }
        filtered_ = !chunk->all;
        if (filtered_) {
            match_.assign(chunk->rows, 0);
            for (uint32_t row : chunk->selected) match_[row] = 1;
        }
        count_hidden_nulls();
        VARN_RETURN_IF_ERROR(plan_.all_text ? write_text_tiles(chunk->chunk) : write_rendered_rows(chunk->chunk));
        if (out_.failed()) {
            scan.stop();
            return Status::ok();
        }
    }
}

// Text columns only: tiles of rows, filled column by column. Each column's
// payload is read in order (row order would interleave as many streams as
// there are columns), and the tile's lines are laid out first so every cell
// knows where it goes. The filter column keeps its views; the others are
// walked from their payloads.
Status RowWriter::write_text_tiles(size_t chunk) {
    const size_t rows = reader_.chunk_rows(chunk);
    for (size_t r0 = 0; r0 < rows; r0 += tile_rows_)
        VARN_RETURN_IF_ERROR(write_tile(chunk, r0, std::min(rows - r0, tile_rows_)));
    // Every entry of a walked payload was taken: none may be left.
    for (const Slot& s : plan_.slots) {
        if (!s.walk) continue;
        Status st = s.entry.finish();
        if (st.failed()) return reader_.payload_fault(chunk, s.col, st);
        st = scan::settle_null_count(reader_.meta(chunk, s.col).null_count, s.empties).status;
        if (st.failed()) return reader_.payload_fault(chunk, s.col, st);
    }
    return Status::ok();
}

// One tile of rows r0 .. r0 + nrows: the cells' places and lengths, the
// lines laid out, then each column's cells copied to their lines.
Status RowWriter::write_tile(size_t chunk, size_t r0, size_t nrows) {
    const size_t ncols = plan_.selected.size();
    std::fill(line_end_.begin(), line_end_.begin() + static_cast<std::ptrdiff_t>(nrows), ncols);
    // Each cell's place and length, column by column; the walk along a
    // payload is a chain of dependent loads, taken once.
    for (size_t j = 0; j < ncols; ++j) {
        Slot& s = *plan_.selected[j];
        ByteView* cells = tile_cells_.data() + j * tile_rows_;
        if (s.walk) {
            const uint8_t* const from = s.entry.position();
            if (!s.entry.take(cells, nrows)) return reader_.payload_fault(chunk, s.col, s.entry.fault());
            const size_t span = static_cast<size_t>(s.entry.position() - from);
            // A lone column's empty cells need quotes, which only the look
            // per cell gives them.
            plain_[j] = !plan_.quoted ? plain_span<false>(from, span)
                                      : ncols > 1 && plain_span<true>(from, span, plan_.delimiter);
        } else {
            std::copy_n(s.d->entries.begin() + static_cast<std::ptrdiff_t>(r0), nrows, cells);
            plain_[j] = false;
        }
        size_t empties = 0;
        for (size_t k = 0; k < nrows; ++k) {
            line_end_[k] += cells[k].size();
            empties += cells[k].empty() ? 1 : 0;
        }
        s.empties += empties;
    }
    size_t total = 0;
    for (size_t k = 0; k < nrows; ++k) {
        if (filtered_ && !match_[r0 + k]) {
            at_[k] = SIZE_MAX;
            continue;
        }
        // One column, empty cell: written as a comma, not a blank line.
        const size_t len = line_end_[k] + (line_end_[k] == 1 ? 1 : 0);
        at_[k] = total;
        total += len;
        line_end_[k] = total;
        ++stats_.rows;
    }
    uint8_t* const start = out_.reserve(total);
    size_t bad = 0, bad_row = 0, bad_j = 0;
    const uint8_t delimiter = plan_.delimiter;
    for (size_t j = 0; j < ncols; ++j) {
        const Slot& s = *plan_.selected[j];
        const uint8_t* const readable = s.d->payload.data() + s.d->payload.size();
        const ByteView* cells = tile_cells_.data() + j * tile_rows_;
        const uint8_t after = j + 1 == ncols ? '\n' : delimiter;
        const bool lone = ncols == 1;
        size_t first = 0;
        size_t n;
        if (plain_[j])
            n = put_column<true, false>(cells, nrows, at_.data(), line_end_.data(), start, readable,
                                        after, lone, delimiter, first);
        else if (plan_.quoted)
            n = put_column<false, true>(cells, nrows, at_.data(), line_end_.data(), start, readable,
                                        after, lone, delimiter, first);
        else
            n = put_column<false, false>(cells, nrows, at_.data(), line_end_.data(), start,
                                         readable, after, lone, delimiter, first);
        // The first bad cell in row order: the lowest row, then the leftmost
        // column.
        if (n && (bad == 0 || first < bad_row)) {
            bad_row = first;
            bad_j = j;
        }
        bad += n;
    }
    if (bad && plan_.quoted) {
        // Some cell needs quotes: the tile is written again, field by field,
        // over what was laid out.
        write_tile_quoted(chunk, r0, nrows);
        return Status::ok();
    }
    out_.commit(total);
    if (bad) {
        note_bad(chunk, r0 + bad_row, plan_.selected[bad_j]->col);
        stats_.bad_cells += bad - 1;
    }
    return Status::ok();
}

// The tile's rows (whose cells are in tile_cells_) written field by field,
// each quoted where it needs to be.
void RowWriter::write_tile_quoted(size_t chunk, size_t r0, size_t nrows) {
    const size_t ncols = plan_.selected.size();
    for (size_t k = 0; k < nrows; ++k) {
        if (filtered_ && !match_[r0 + k]) continue;
        for (size_t j = 0; j < ncols; ++j) {
            if (j) out_.put(static_cast<char>(plan_.delimiter));
            const ByteView t = tile_cells_[j * tile_rows_ + k];
            if (put_field(t.data(), t.size(), ncols == 1)) note_bad(chunk, r0 + k, plan_.selected[j]->col);
        }
        out_.put('\n');
    }
}

// Any column kinds: row by row, each cell rendered to text and copied.
Status RowWriter::write_rendered_rows(size_t chunk) {
    const size_t rows = reader_.chunk_rows(chunk);
    const std::vector<Slot*>& selected = plan_.selected;
    for (size_t r = 0; r < rows; ++r) {
        if (filtered_ && !match_[r]) continue;
        ++stats_.rows;
        for (size_t j = 0; j < selected.size(); ++j) {
            const Slot& s = *selected[j];
            if (j) out_.put(static_cast<char>(plan_.delimiter));
            const uint8_t* p;
            size_t n;
            if (s.kind == Kind::Text) {
                p = s.d->entries[r].data();
                n = s.d->entries[r].size();
            } else {
                VARN_RETURN_IF_ERROR(render(s, r, cell_));
                p = reinterpret_cast<const uint8_t*>(cell_.data());
                n = cell_.size();
            }
            // One empty cell alone would be a blank line, which the converter
            // skips: put_field writes it so that it is not.
            if (put_field(p, n, selected.size() == 1)) note_bad(chunk, r, s.col);
        }
        out_.put('\n');
    }
    return Status::ok();
}

// The warnings, and with --stats the chunk and row counts, on standard error.
void report(const VarnReader& reader, const Args& args, const Stats& stats, const scan::ScanStats& scanned,
            bool quoted) {
    if (stats.bad_cells && quoted) {
        warn(kCommand, std::to_string(stats.bad_cells) +
                           " cells hold bytes that are not UTF-8 (the first: " + stats.first_bad +
                           "): varn compress does not read the output back");
    } else if (stats.bad_cells) {
        warn(kCommand, std::to_string(stats.bad_cells) +
                           " cells hold a comma, a line break, white space at an edge or bytes "
                           "that are not UTF-8 (the first: " +
                           stats.first_bad + "): the output does not read back as the same cells");
    }
    if (stats.hidden_nulls) {
        warn(kCommand, "the chunks read hold " + std::to_string(stats.hidden_nulls) +
                           " null cells in int, float or bool columns, written as their stored 0 "
                           "or false: the file does not record which cells were null");
    }
    if (args.flag("stats")) {
        const uint64_t skipped = scanned.chunks_skipped, by_bloom = scanned.skipped_by_bloom;
        std::fprintf(stderr,
                     "varn cat: %zu chunk%s: %llu read, %llu skipped (%llu by minimum/maximum, %llu "
                     "by Bloom filter); %llu row%s written\n",
                     reader.chunk_count(), reader.chunk_count() == 1 ? "" : "s",
                     static_cast<unsigned long long>(scanned.chunks_read.load()),
                     static_cast<unsigned long long>(skipped),
                     static_cast<unsigned long long>(skipped - by_bloom),
                     static_cast<unsigned long long>(by_bloom),
                     static_cast<unsigned long long>(stats.rows), stats.rows == 1 ? "" : "s");
    }
}

}  // namespace

int run_cat(std::span<char* const> argv) {
    Args args;
    std::unique_ptr<VarnReader> file;
    if (auto done = open_command(kSpec, argv, args, file)) return *done;
    const std::string& path = args.positional[0];
    VarnReader& reader = *file;

    Plan plan;
    if (auto done = select_columns(reader, args, path, plan.selection)) return *done;
    if (auto done = parse_where(reader, args, path, plan.filters)) return *done;
    if (auto done = parse_dialect(args, plan)) return *done;
    scan::ScanOptions options;
    options.columns = plan.selection;
    options.filters = plan.filters;
    auto scanned = std::make_shared<scan::ScanStats>();
    CatSink sink(plan);
    scan::Scan scan(reader, options, scanned, sink);
    if (auto done = plan_slots(reader, scan.needed(), scan.output_index(), plan)) return *done;
    // The key of every encrypted column printed or filtered on must hold
    // before anything is written.
    for (const Slot& s : plan.slots) {
        if (!reader.encrypted(s.col)) continue;
        if (Status st = check_column_key(reader, s.col); st.failed())
            return failure(kCommand, path + ": " + st.message());
    }

    Output out(STDOUT_FILENO, size_t{4} << 20);
    RowWriter rows(reader, plan, out);
    rows.write_header();
    Status st = rows.write_chunks(scan);
    scan.stop();
    out.flush();
    // A fault in the file stops the output; what was decoded before it is
    // still written out.
    if (st.failed()) return failure(kCommand, path + ": " + st.message());
    if (out.failed()) return failure(kCommand, out.error());
    report(reader, args, rows.stats(), *scanned, plan.quoted);
    return kExitOk;
}

}  // namespace varn::cli
