// Shared pieces of the varn command: the subcommands' entry points, one
// option parser for all of them, the exit codes, the key file reader and a
// buffered standard output.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/json_string.h"
#include "common/result.h"
#include "format/file/reader.h"

namespace varn::cli {

enum ExitCode : int {
    kExitOk = 0,
    kExitFailure = 1,  // the operation failed, or verification found a fault
    kExitUsage = 2,    // the command line is wrong
};

// Each takes the arguments after the subcommand name.
int run_compress(std::span<char* const> args);
int run_info(std::span<char* const> args);
int run_verify(std::span<char* const> args);
int run_cat(std::span<char* const> args);

struct OptionSpec {
    const char* name;  // without the leading "--"
    bool takes_value;
};

// A parsed command line: positional arguments and options in order.
// Options are "--name value" or "--name=value"; "--" ends the options.
// "-h" and "--help" set `help`.
struct Args {
    std::vector<std::string> positional;
    std::vector<std::pair<std::string, std::string>> options;
    bool help = false;

    // The last value of a single-valued option.
    std::optional<std::string> value(std::string_view name) const;
    bool flag(std::string_view name) const;
    std::vector<std::string> values(std::string_view name) const;
};

// The message of a failure is meant for usage_error.
Result<Args> parse_args(std::span<char* const> args, std::span<const OptionSpec> specs);

// What a subcommand states about its command line; parse_command does the
// rest the same way for all of them.
struct Command {
    const char* name;  // "varn NAME" in messages
    const char* help;  // printed for -h or --help
    std::span<const OptionSpec> options;
    size_t operands;           // how many positional arguments it takes
    const char* operand_text;  // what they are, for "expected ..., got N arguments"
};

// Parses the subcommand's arguments into `args`. Returns the exit code when
// the subcommand has nothing more to do: after printing the help, or after
// a usage error (a bad option, or not `operands` positional arguments).
// The help wins over a wrong argument count.
std::optional<int> parse_command(const Command& command, std::span<char* const> argv, Args& args);

// parse_command, then FILE (the first positional argument) opened with the
// key of --key-file, if given, and the memory budget of --max-memory SIZE, if
// given (a usage error when SIZE is not a size); the key file is read first. Returns the exit
// code when the subcommand has nothing more to do: as parse_command, or
// after printing why the key file or FILE could not be read.
std::optional<int> open_command(const Command& command, std::span<char* const> argv, Args& args,
                                std::unique_ptr<VarnReader>& reader);

// "varn COMMAND: message" on standard error; the return value is the exit code.
int usage_error(const char* command, const std::string& message);
int failure(const char* command, const std::string& message);
void warn(const char* command, const std::string& message);
// Writes text to standard output unbuffered (help and short reports). After a
// failed write every later call is a no-op and stdout_error() says why.
void print(const std::string& text);
// Empty while every write to standard output (print or stdio) succeeded and
// what is buffered flushes; otherwise the message of the failure.
const std::string& stdout_error();

// A key file holds the 32 key bytes raw (a file of exactly 32 bytes), or as
// 64 hex digits with optional white space around them.
Result<ColumnKey> read_key_file(const std::string& path);

// The value of --delimiter (varn compress and varn cat): one ASCII character
// other than a double quote or a line end, or \t (the two characters) for a
// tab. Empty when the text is none of these.
std::optional<uint8_t> parse_delimiter(const std::string& text);
// The usage message for a --delimiter value parse_delimiter refuses.
std::string bad_delimiter_message(const std::string& text);

// Text for messages and tables: control bytes, quotes, backslashes and bytes
// that are not UTF-8 escaped; cut after `limit` bytes.
std::string printable(std::string_view text, size_t limit = 60);

// Buffered writer on a file descriptor: one write(2) per megabyte, no
// per-cell overhead. After a write error every later call is a no-op and
// error() holds the message.
class Output {
public:
    explicit Output(int fd, size_t capacity = size_t{1} << 20);
    ~Output();
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;

    void append(const char* p, size_t n) {
        if (n <= capacity_ - used_) {
            std::memcpy(buf_.get() + used_, p, n);
            used_ += n;
        } else {
            append_slow(p, n);
        }
    }
    void append(std::string_view s) { append(s.data(), s.size()); }
    // Room for n bytes at the end of the buffer, to be filled and then
    // committed; after a write error, scratch space that is never written.
    uint8_t* reserve(size_t n) {
        if (n > capacity_ - used_) make_room(n);
        return reinterpret_cast<uint8_t*>(buf_.get() + used_);
    }
    void commit(size_t n) {
        if (error_.empty()) used_ += n;
    }
    void put(char c) {
        if (used_ == capacity_) flush();
        if (used_ < capacity_) buf_[used_++] = c;
    }
    // Writes out what is buffered; false after a write error.
    bool flush();
    bool failed() const { return !error_.empty(); }
    const std::string& error() const { return error_; }

private:
    void append_slow(const char* p, size_t n);
    void make_room(size_t n);
    bool write_all(const char* p, size_t n);

    int fd_;
    std::unique_ptr<char[]> buf_;
    size_t capacity_;
    size_t used_ = 0;
    std::string error_;
};

}  // namespace varn::cli
