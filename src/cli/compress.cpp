// varn compress: the RFC 4180 conversion (or compress_csv's with --plain),
// with column types, encryption, input encodings and skipped lines from the
// command line and a progress bar on a terminal. The bar is drawn from the
// converter's after-batch hook and cleared before each report line.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

#include "cli.h"
#include "common/fd.h"
#include "common/memory_budget.h"
#include "common/text_format.h"
#include "convert/csv_converter.h"
#include "csv/field_parse.h"
#include "format/type_codes.h"

namespace varn::cli {

namespace {

constexpr const char* kCommand = "compress";

constexpr const char* kHelp =
    "usage: varn compress [OPTIONS] IN.csv OUT.varn\n"
    "\n"
    "Converts a CSV file to a VARN v2 file. IN.csv is a path or - for standard\n"
    "input; pipes and FIFOs work, and gzip, zstd, bzip2 or xz input is\n"
    "decompressed on the fly. On a terminal a progress bar shows the bytes read,\n"
    "the rows, the speed and the time left. A short report (input, dialect,\n"
    "schema, rows, chunks, sizes, speed, warnings) goes to standard error.\n"
    "OUT.varn is written as a temporary file beside it\n"
    "(.OUT.varn.varn-HOSTTAG-PID-XXXXXX.tmp) and renamed over it only when\n"
    "complete; any failure removes it. Those that killed conversions of the same\n"
    "OUT.varn on this host left are removed when the next one starts.\n"
    "\n"
    "The CSV is read as RFC 4180: double quotes around a field allow the\n"
    "delimiter, line breaks and doubled quotes (\"\") inside it; a quoted field is\n"
    "kept exactly, an unquoted one is trimmed of white space. Lines end at LF,\n"
    "CR LF or CR; a byte-order mark is dropped; blank lines are skipped; a row\n"
    "with fewer fields than the header gets empty cells. Text in UTF-16 or\n"
    "UTF-32 with a byte-order mark is transcoded to UTF-8; other encodings\n"
    "take --encoding.\n"
    "\n"
    "options:\n"
    "  --delimiter C      the field delimiter (one character; \\t for a tab);\n"
    "                     default: the one of , ; TAB | that occurs most often\n"
    "                     in the header line (a comma on a tie)\n"
    "  --extra-fields drop\n"
    "                     drop the fields of a row past the header's columns\n"
    "                     (default: such a row stops the conversion, exit 1)\n"
    "  --no-infer         keep every column as text (no type inference)\n"
    "  --encoding NAME    the text's encoding, transcoded to UTF-8 as it is read:\n"
    "                     any name iconv knows (latin1, cp1252, shift_jis,\n"
    "                     utf-16, ...); default UTF-8\n"
    "  --skip-lines N     skip the first N lines (a preamble before the header)\n"
    "  --comment C        skip every line that starts with the character C,\n"
    "                     before and after the header (e.g. '#')\n"
    "  --type NAME=TYPE   store column NAME as TYPE (repeatable); TYPE is int,\n"
    "                     float, bool, text, bytes or json\n"
    "  --lossy            let --type columns lose data instead of stopping:\n"
    "                     empty cells stored as 0/false, floats rounded to 4\n"
    "                     decimals and saturated, JSON numbers rounded\n"
    "  --plain            the dialect of compress_csv instead: one line a row,\n"
    "                     every comma separates, no quoting; every column text\n"
    "                     (unless --type); the same bytes as compress_csv (but\n"
    "                     for the creation time) and compress_csv's report\n"
    "  --encrypt NAME     encrypt the records of column NAME (repeatable); needs\n"
    "                     --key-file\n"
    "  --key-file PATH    the key for --encrypt: a file of exactly 32 raw bytes,\n"
    "                     or of 64 hex digits (white space around them allowed)\n"
    "  --level LEVEL      how hard the block compressor works: fast, default or\n"
    "                     small. fast writes fastest (a slightly larger file),\n"
    "                     small writes the smallest file (never larger than\n"
    "                     default) and takes longest; every reader reads all\n"
    "                     three; with --plain too\n"
    "  --max-memory SIZE  the memory budget (e.g. 512M, 2G; default: an eighth\n"
    "                     of the physical memory, as for reading). A row takes\n"
    "                     about 3 times its length while it is converted, so a\n"
    "                     row longer than a third of the budget stops the\n"
    "                     conversion (exit 1, naming its line) before it is\n"
    "                     read whole\n"
    "  --no-progress      do not draw the progress bar\n"
    "  --threads N        worker threads that analyse and compress the columns\n"
    "                     while the next rows are read (default: one per CPU\n"
    "                     this process may use; 1: none, all on one thread;\n"
    "                     at most 8 are started); the output is the same for\n"
    "                     every N\n"
    "\n"
    "Types. Without --no-infer, a column becomes int, float or bool when every\n"
    "cell of the whole file is stored exactly and varn cat writes it back as the\n"
    "same text; otherwise it stays text. The schema chosen is printed.\n"
    "  int    -?(0|[1-9][0-9]*), signed 64-bit: -9223372036854775808 to\n"
    "         9223372036854775807\n"
    "  float  an int, or a decimal with 1 to 4 decimals, the last not 0\n"
    "         (1.25, -0.5); stored as value x 10000 in 64 bits, so at most\n"
    "         4 decimals and about +-9.2e14\n"
    "  bool   true or false\n"
    "  text   anything (UTF-8)\n"
    "No empty cell, leading zero (007), plus sign or exponent is inferred:\n"
    "int, float and bool columns cannot mark an empty cell.\n"
    "\n"
    "Field text of --type columns (anything that does not fit, or would be\n"
    "stored differently in value, stops the conversion with an error naming the\n"
    "line, the column and the value, unless --lossy):\n"
    "  int    [+|-]digits, within the signed 64-bit range\n"
    "  float  [+|-]digits[.digits][e[+|-]digits] or .digits...; no hex, inf or\n"
    "         nan; at most 4 decimals, |value| below about 9.2e14\n"
    "  bool   true, false, 1 or 0, in any letter case (written back as\n"
    "         true/false)\n"
    "  text   the field as it is\n"
    "  bytes  an even number of hex digits\n"
    "  json   one JSON value; its numbers must be 64-bit integers or doubles\n"
    "         that are written back as the same number\n"
    "An empty cell of an int, float or bool column is an error; with --lossy it\n"
    "is stored as 0 or false, and the file counts such cells but does not\n"
    "record which they are.\n";

constexpr OptionSpec kOptions[] = {
    {"type", true},
    {"encrypt", true},
    {"key-file", true},
    {"no-progress", false},
    {"threads", true},
    {"delimiter", true},
    {"extra-fields", true},
    {"no-infer", false},
    {"lossy", false},
    {"plain", false},
    {"encoding", true},
    {"skip-lines", true},
    {"comment", true},
    {"level", true},
    {"max-memory", true},
};
constexpr Command kSpec{kCommand, kHelp, kOptions, 2, "IN.csv and OUT.varn"};

// The progress bar on standard error.
// Set by SIGINT, SIGTERM or SIGHUP: the conversion stops after the batch in
// hand and the unfinished output is removed.
volatile std::sig_atomic_t g_stop_signal = 0;

extern "C" void on_stop_signal(int sig) { g_stop_signal = sig; }

class ProgressBar {
public:
    explicit ProgressBar(uint64_t total) : total_(total), start_(Clock::now()) {}

    void update(uint64_t bytes, uint64_t rows) {
        // The converter prints a progress line after the batch whose end
        // makes the row count a multiple of 1,000,000: clear the bar first.
        if ((rows + format::kChunkRows) % 1000000 == 0) {
            clear();
            return;
        }
        const auto now = Clock::now();
        if (drawn_ && now - last_ < std::chrono::milliseconds(100)) return;
        last_ = now;
        const double elapsed = std::chrono::duration<double>(now - start_).count();
        const double mb = static_cast<double>(bytes) / 1048576.0;
        const double total_mb = static_cast<double>(total_) / 1048576.0;
        const double fraction =
            total_ ? std::min(1.0, static_cast<double>(bytes) / static_cast<double>(total_)) : 1.0;
        const double rate = elapsed > 0 ? mb / elapsed : 0.0;
        constexpr int kWidth = 20;
        const int filled = static_cast<int>(fraction * kWidth);
        std::string line = "\r[";
        line.append(static_cast<size_t>(filled), '#');
        line.append(static_cast<size_t>(kWidth - filled), '-');
        line += "] " + format_fixed(fraction * 100.0, 0) + "% " + format_fixed(mb, 1) + "/" +
                format_fixed(total_mb, 1) + " MB " + format_fixed(static_cast<double>(rows) / 1e6, 2) +
                "M rows " + format_fixed(rate, 1) + " MB/s";
        if (rate > 0 && bytes < total_) {
            line += ' ';
            line += clock_text((total_mb - mb) / rate);
            line += " left";
        }
        line += "\x1b[K\r";
        emit(line);
        drawn_ = true;
    }

    void clear() {
        if (!drawn_) return;
        emit("\r\x1b[K");
        drawn_ = false;
    }

private:
    using Clock = std::chrono::steady_clock;

    static std::string clock_text(double seconds) {
        const long s = static_cast<long>(seconds + 0.5);
        char buf[32];
        if (s >= 3600) {
            std::snprintf(buf, sizeof buf, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
        } else {
            std::snprintf(buf, sizeof buf, "%ld:%02ld", s / 60, s % 60);
        }
        return buf;
    }
    static void emit(const std::string& s) {
        (void)write_all(STDERR_FILENO, s.data(), s.size());  // a progress bar is best effort
    }

    uint64_t total_;
    Clock::time_point start_;
    Clock::time_point last_{};
    bool drawn_ = false;
};

uint64_t file_size_or_zero(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

}  // namespace

int run_compress(std::span<char* const> argv) {
    Args args;
    if (auto done = parse_command(kSpec, argv, args)) return *done;

    // One declaration per named column, in the order of first mention.
    std::vector<ColumnDeclaration> declarations;
    std::map<std::string, size_t> by_name;
    std::map<std::string, bool> typed;
    auto declaration = [&](const std::string& name) -> ColumnDeclaration& {
        auto [it, fresh] = by_name.emplace(name, declarations.size());
        if (fresh) {
            declarations.emplace_back();
            declarations.back().name = name;
        }
        return declarations[it->second];
    };
    for (const std::string& spec : args.values("type")) {
        const size_t eq = spec.rfind('=');
        if (eq == std::string::npos)
            return usage_error(kCommand, "--type takes NAME=TYPE, not '" + spec + "'");
        const std::string name = spec.substr(0, eq);
        const auto code = format::type_code_from_name(spec.substr(eq + 1));
        if (!code) {
            return usage_error(kCommand, "unknown type '" + spec.substr(eq + 1) +
                                             "' (int, float, bool, text, bytes or json)");
        }
        if (typed[name]) return usage_error(kCommand, "column '" + name + "' is given two types");
        typed[name] = true;
        declaration(name).type_code = *code;
    }
    const auto encrypt = args.values("encrypt");
    const auto key_file = args.value("key-file");
    if (!encrypt.empty() && !key_file) return usage_error(kCommand, "--encrypt needs --key-file");
    if (encrypt.empty() && key_file) return usage_error(kCommand, "--key-file is only used with --encrypt");
    if (key_file) {
        // The output replaces whatever is at its path: never the only copy of the key.
        struct stat key_st, out_st;
        if (::stat(key_file->c_str(), &key_st) == 0 && ::stat(args.positional[1].c_str(), &out_st) == 0 &&
            key_st.st_dev == out_st.st_dev && key_st.st_ino == out_st.st_ino) {
            return failure(kCommand, "refusing to write " + args.positional[1] +
                                         ": it names the key file " + *key_file);
        }
        auto key = read_key_file(*key_file);
        if (key.failed()) return failure(kCommand, key.message());
        for (const std::string& name : encrypt) {
            ColumnDeclaration& d = declaration(name);
            d.encrypt = true;
            d.key = key.value();
        }
    }

    unsigned threads = 0;
    if (const auto given = args.value("threads")) {
        const std::string& t = *given;
        char* end = nullptr;
        errno = 0;
        const unsigned long n = t.empty() || t[0] < '0' || t[0] > '9' ? 0 : std::strtoul(t.c_str(), &end, 10);
        if (n == 0 || errno != 0 || *end != '\0' || n > 1024)
            return usage_error(kCommand, "--threads takes a whole number from 1 to 1024, not '" + t + "'");
        threads = static_cast<unsigned>(n);
    }

    ConvertOptions options;
    options.declarations = std::move(declarations);
    options.threads = threads;
    options.lossy = args.flag("lossy");
    options.infer_types = !args.flag("no-infer");
    if (const auto level = args.value("level")) {
        const auto parsed = block_level_from_name(*level);
        if (!parsed) return usage_error(kCommand, "--level takes fast, default or small, not '" + *level + "'");
        options.level = *parsed;
    }
    if (const auto size = args.value("max-memory")) {
        auto budget = parse_memory_size(*size);
        if (budget.failed()) return usage_error(kCommand, "--max-memory: " + budget.message());
        options.max_memory = budget.value();
    }
    if (args.flag("plain")) {
        options.dialect = CsvDialect::Plain;
        options.infer_types = false;
        if (args.value("delimiter") || args.value("extra-fields"))
            return usage_error(kCommand, "--plain reads commas only and drops extra fields: "
                                         "--delimiter and --extra-fields do not apply");
        if (args.value("encoding") || args.value("skip-lines") || args.value("comment"))
            return usage_error(kCommand, "--plain reads UTF-8 lines from the first: "
                                         "--encoding, --skip-lines and --comment do not apply");
    }
    if (const auto e = args.value("encoding")) {
        if (e->empty()) return usage_error(kCommand, "--encoding takes a name, e.g. latin1");
        options.encoding = *e;
    }
    if (const auto n = args.value("skip-lines")) {
        char* end = nullptr;
        errno = 0;
        const unsigned long long v =
            n->empty() || (*n)[0] < '0' || (*n)[0] > '9' ? 0 : std::strtoull(n->c_str(), &end, 10);
        if (n->empty() || (*n)[0] < '0' || (*n)[0] > '9' || errno != 0 || *end != '\0')
            return usage_error(kCommand, "--skip-lines takes a whole number, not '" + *n + "'");
        options.skip_lines = v;
    }
    if (const auto c = args.value("comment")) {
        if (c->size() != 1 || static_cast<unsigned char>((*c)[0]) >= 0x80 || (*c)[0] == '"' || (*c)[0] == '\n' ||
            (*c)[0] == '\r')
            return usage_error(kCommand, "--comment takes one ASCII character other than a quote or a line end, not '" +
                                             *c + "'");
        options.comment = static_cast<uint8_t>((*c)[0]);
    }
    if (const auto d = args.value("delimiter")) {
        const auto delimiter = parse_delimiter(*d);
        if (!delimiter) return usage_error(kCommand, bad_delimiter_message(*d));
        options.delimiter = *delimiter;
    }
    if (const auto e = args.value("extra-fields")) {
        if (*e == "drop")
            options.extra_fields = ExtraFields::Drop;
        else if (*e == "error")
            options.extra_fields = ExtraFields::Error;
        else
            return usage_error(kCommand, "--extra-fields takes drop or error, not '" + *e + "'");
    }

    const std::string& csv = args.positional[0];
    const std::string& out = args.positional[1];
    ConversionHooks hooks;
    std::unique_ptr<ProgressBar> bar;
    if (!args.flag("no-progress") && ::isatty(STDERR_FILENO))
        bar = std::make_unique<ProgressBar>(file_size_or_zero(csv));
    hooks.after_batch = [&bar](uint64_t bytes, uint64_t rows) {
        if (bar) bar->update(bytes, rows);
        return g_stop_signal == 0;
    };
    hooks.before_report_line = [&bar] {
        if (bar) bar->clear();
    };
    struct sigaction stop {}, old[3];
    stop.sa_handler = on_stop_signal;
    sigemptyset(&stop.sa_mask);
    const int signals[3] = {SIGINT, SIGTERM, SIGHUP};
    for (int i = 0; i < 3; ++i) ::sigaction(signals[i], &stop, &old[i]);
    Result<ConversionSummary> outcome = convert_csv(csv, out, options, hooks);
    for (int i = 0; i < 3; ++i) ::sigaction(signals[i], &old[i], nullptr);
    if (bar) bar->clear();
    if (outcome.kind() == ErrorKind::interrupted) {
        failure(kCommand, "interrupted: " + out + " was not written");
        return 128 + static_cast<int>(g_stop_signal);
    }
    if (outcome.failed()) return failure(kCommand, outcome.message());
    return kExitOk;
}

}  // namespace varn::cli
