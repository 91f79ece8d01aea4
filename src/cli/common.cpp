// Helpers every subcommand uses: option parsing and the common start of a
// subcommand (help, usage errors, opening FILE with its key), messages, the
// key file, escaping for messages and JSON, and the buffered output.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "cli.h"
#include "common/fd.h"
#include "common/os_error.h"
#include "common/text_scan.h"

namespace varn::cli {

std::optional<std::string> Args::value(std::string_view name) const {
    std::optional<std::string> v;
    for (const auto& [k, x] : options) {
        if (k == name) v = x;
    }
    return v;
}

bool Args::flag(std::string_view name) const { return value(name).has_value(); }

std::vector<std::string> Args::values(std::string_view name) const {
    std::vector<std::string> out;
    for (const auto& [k, x] : options) {
        if (k == name) out.push_back(x);
    }
    return out;
}

Result<Args> parse_args(std::span<char* const> args, std::span<const OptionSpec> specs) {
    Args out;
    bool options_done = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string a = args[i];
        if (options_done || a.size() < 2 || a[0] != '-') {
            out.positional.push_back(a);
            continue;
        }
        if (a == "--") {
            options_done = true;
            continue;
        }
        if (a == "-h" || a == "--help") {
            out.help = true;
            continue;
        }
        if (a[1] != '-') return Status::invalid_input("unknown option '" + a + "'");
        std::string name = a.substr(2);
        std::optional<std::string> inline_value;
        if (size_t eq = name.find('='); eq != std::string::npos) {
            inline_value = name.substr(eq + 1);
            name.resize(eq);
        }
        const OptionSpec* spec = nullptr;
        for (const OptionSpec& s : specs) {
            if (name == s.name) spec = &s;
        }
        if (!spec) return Status::invalid_input("unknown option '--" + name + "'");
        if (!spec->takes_value) {
            if (inline_value) return Status::invalid_input("option '--" + name + "' takes no value");
            out.options.emplace_back(name, "");
            continue;
        }
        if (!inline_value) {
            if (i + 1 >= args.size()) return Status::invalid_input("option '--" + name + "' needs a value");
            inline_value = args[++i];
        }
        out.options.emplace_back(name, *inline_value);
    }
    return out;
}

std::optional<int> parse_command(const Command& command, std::span<char* const> argv, Args& args) {
    auto parsed = parse_args(argv, command.options);
    if (parsed.failed()) return usage_error(command.name, parsed.message());
    args = parsed.take();
    if (args.help) {
        print(command.help);
        return kExitOk;
    }
    if (args.positional.size() != command.operands) {
        return usage_error(command.name, std::string("expected ") + command.operand_text +
                                             ", got " + std::to_string(args.positional.size()) +
                                             " arguments");
    }
    return std::nullopt;
}

std::optional<int> open_command(const Command& command, std::span<char* const> argv, Args& args,
                                std::unique_ptr<VarnReader>& reader) {
    if (auto done = parse_command(command, argv, args)) return done;
    const std::string& path = args.positional[0];
    std::optional<ColumnKey> key;
    if (auto key_file = args.value("key-file")) {
        auto k = read_key_file(*key_file);
        if (k.failed()) return failure(command.name, k.message());
        key = k.value();
    }
    ReaderOptions options;
    if (auto size = args.value("max-memory")) {
        auto budget = parse_memory_size(*size);
        if (budget.failed()) return usage_error(command.name, "--max-memory: " + budget.message());
        options.memory_budget = budget.value();
    }
    auto opened = VarnReader::open(path, options);
    if (opened.failed()) return failure(command.name, path + ": " + opened.message());
    reader = opened.take();
    if (key) {
        reader->set_key(*key);
        if (Status st = reader->key_status(); st.failed())
            return failure(command.name, path + ": " + st.message());
    }
    return std::nullopt;
}

int usage_error(const char* command, const std::string& message) {
    std::fprintf(stderr, "varn %s: %s\nTry 'varn %s --help'.\n", command, message.c_str(), command);
    return kExitUsage;
}

int failure(const char* command, const std::string& message) {
    std::fprintf(stderr, "varn %s: %s\n", command, message.c_str());
    return kExitFailure;
}

void warn(const char* command, const std::string& message) {
    std::fprintf(stderr, "varn %s: warning: %s\n", command, message.c_str());
}

namespace {
std::string g_stdout_error;  // the first failed write to standard output
}

void print(const std::string& text) {
    if (!g_stdout_error.empty()) return;
    const bool written = std::fwrite(text.data(), 1, text.size(), stdout) == text.size();
    if (!written || std::fflush(stdout) != 0)
        g_stdout_error = "cannot write the output: " + last_os_error();
}

const std::string& stdout_error() {
    if (g_stdout_error.empty() && (std::fflush(stdout) != 0 || std::ferror(stdout)))
        g_stdout_error = "cannot write the output: " + last_os_error();
    return g_stdout_error;
}

Result<ColumnKey> read_key_file(const std::string& path) {
    const int fd = open_fd(path.c_str(), O_RDONLY);
    if (fd < 0) return Status::io_error("cannot open key file " + path + ": " + last_os_error());
    // Anything longer than 64 hex digits and some white space is not a key.
    char buf[256];
    size_t n = 0;
    while (n < sizeof buf) {
        ssize_t r = read_fd(fd, buf + n, sizeof buf - n);
        if (r < 0) {
            std::string err = last_os_error();
            ::close(fd);
            return Status::io_error("cannot read key file " + path + ": " + err);
        }
        if (r == 0) break;
        n += static_cast<size_t>(r);
    }
    ::close(fd);
    ColumnKey key{};
    if (n == key.size()) {
        std::memcpy(key.data(), buf, n);
        return key;
    }
    size_t b = 0, e = n;
    auto space = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
    while (b < e && space(buf[b])) ++b;
    while (e > b && space(buf[e - 1])) --e;
    auto hex = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    bool ok = e - b == 2 * key.size();
    for (size_t i = 0; ok && i < key.size(); ++i) {
        int hi = hex(buf[b + 2 * i]), lo = hex(buf[b + 2 * i + 1]);
        ok = hi >= 0 && lo >= 0;
        if (ok) key[i] = static_cast<uint8_t>(hi << 4 | lo);
    }
    if (!ok) {
        return Status::invalid_input("key file " + path + " holds neither 32 raw bytes nor 64 hex digits");
    }
    return key;
}

std::optional<uint8_t> parse_delimiter(const std::string& text) {
    if (text == "\\t" || text == "\t") return uint8_t{'\t'};
    if (text.size() == 1 && static_cast<unsigned char>(text[0]) < 0x80 && text != "\"" &&
        text != "\n" && text != "\r")
        return static_cast<uint8_t>(text[0]);
    return std::nullopt;
}

std::string bad_delimiter_message(const std::string& text) {
    return "--delimiter takes one character other than a quote or a line end (\\t for a tab), not '" +
           text + "'";
}

std::string printable(std::string_view text, size_t limit) {
    const auto* p = reinterpret_cast<const uint8_t*>(text.data());
    const size_t n = std::min(text.size(), limit);
    const bool utf8 = utf8_valid(p, text.size());
    std::string out;
    char esc[8];
    for (size_t i = 0; i < n; ++i) {
        const uint8_t b = p[i];
        if (b < 0x20 || b == 0x7F || b == '\\' || b == '"' || (b >= 0x80 && !utf8)) {
            std::snprintf(esc, sizeof esc, "\\x%02X", b);
            out += esc;
        } else {
            out += static_cast<char>(b);
        }
    }
    if (text.size() > limit) {
        // Do not end inside a UTF-8 sequence.
        while (!out.empty() && (static_cast<uint8_t>(out.back()) & 0xC0) == 0x80) out.pop_back();
        if (!out.empty() && static_cast<uint8_t>(out.back()) >= 0xC0) out.pop_back();
        out += "...";
    }
    return out;
}

// ---------------------------------------------------------------------------

Output::Output(int fd, size_t capacity)
    : fd_(fd), buf_(new char[capacity]), capacity_(capacity) {}

Output::~Output() = default;

bool Output::write_all(const char* p, size_t n) {
    if (!error_.empty()) return false;
    Status st = varn::write_all(fd_, p, n);
    if (st.failed()) error_ = "cannot write the output: " + st.message();
    return error_.empty();
}

bool Output::flush() {
    if (used_ > 0 && error_.empty()) write_all(buf_.get(), used_);
    used_ = 0;
    return error_.empty();
}

void Output::make_room(size_t n) {
    flush();
    if (n > capacity_) {
        std::unique_ptr<char[]> bigger(new char[n]);
        buf_ = std::move(bigger);
        capacity_ = n;
    }
    used_ = 0;
}

void Output::append_slow(const char* p, size_t n) {
    flush();
    if (!error_.empty()) return;
    if (n >= capacity_) {
        write_all(p, n);
        return;
    }
    std::memcpy(buf_.get(), p, n);
    used_ = n;
}

}  // namespace varn::cli
