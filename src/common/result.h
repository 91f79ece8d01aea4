// Errors are values: every fallible operation of the core returns a Status or
// a Result<T> carrying a category and a human-readable message. The category
// says what kind of failure it is, so that each front end (the Python module,
// the command line) maps it to its own form in one place; nothing in the core
// throws. A Status is built only on the error path: an ok Status allocates
// nothing.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

namespace varn {

enum class ErrorKind : uint8_t {
    none,           // not a failure
    io,             // the operating system refused, or a stream could not be read as text
    invalid_input,  // the input (CSV, declarations, arguments) is not what the call takes
    corrupt,        // a stored file (or a compressed input) is damaged, or not one of ours
    interrupted,    // a caller asked to stop (a signal, a callback)
    out_of_memory,  // an allocation failed
    internal,       // a broken invariant of the library itself
};

// The category's name, for tests and diagnostics ("io", "corrupt", ...).
const char* error_kind_name(ErrorKind kind);

class [[nodiscard]] Status {
public:
    Status() = default;
    static Status ok() { return Status(); }
    static Status error(ErrorKind kind, std::string message) {
        return Status(kind == ErrorKind::none ? ErrorKind::internal : kind, std::move(message));
    }
    static Status io_error(std::string message) { return error(ErrorKind::io, std::move(message)); }
    static Status invalid_input(std::string message) {
        return error(ErrorKind::invalid_input, std::move(message));
    }
    static Status corrupt(std::string message) { return error(ErrorKind::corrupt, std::move(message)); }
    static Status interrupted(std::string message) {
        return error(ErrorKind::interrupted, std::move(message));
    }
    static Status out_of_memory(std::string message) {
        return error(ErrorKind::out_of_memory, std::move(message));
    }
    static Status internal(std::string message) { return error(ErrorKind::internal, std::move(message)); }

    bool is_ok() const { return kind_ == ErrorKind::none; }
    bool failed() const { return kind_ != ErrorKind::none; }
    ErrorKind kind() const { return kind_; }
    const std::string& message() const { return message_; }
    std::string take_message() { return std::move(message_); }
    // The same failure with context put before its message (the category stays).
    Status prefixed(const std::string& prefix) const { return Status(kind_, prefix + message_); }

private:
    Status(ErrorKind kind, std::string message) : message_(std::move(message)), kind_(kind) {}
    std::string message_;
    ErrorKind kind_ = ErrorKind::none;
};

template <class T>
class [[nodiscard]] Result {
public:
    Result(T value) : value_(std::move(value)) {}  // NOLINT: implicit on purpose
    Result(Status status) : status_(std::move(status)) {}  // NOLINT: must be a failure

    bool is_ok() const { return value_.has_value(); }
    bool failed() const { return !value_.has_value(); }
    T& value() { return *value_; }
    const T& value() const { return *value_; }
    T take() { return std::move(*value_); }
    ErrorKind kind() const { return status_.kind(); }
    const std::string& message() const { return status_.message(); }
    Status status() const { return failed() ? status_ : Status::ok(); }

private:
    std::optional<T> value_;
    Status status_;
};

inline const char* error_kind_name(ErrorKind kind) {
    switch (kind) {
        case ErrorKind::none: return "none";
        case ErrorKind::io: return "io";
        case ErrorKind::invalid_input: return "invalid_input";
        case ErrorKind::corrupt: return "corrupt";
        case ErrorKind::interrupted: return "interrupted";
        case ErrorKind::out_of_memory: return "out_of_memory";
        case ErrorKind::internal: return "internal";
    }
    return "unknown";
}

}  // namespace varn

// Early exit on failure; every early exit of the core looks the same.
#define VARN_RETURN_IF_ERROR(expr)                      \
    do {                                                \
        ::varn::Status varn_status_ = (expr);           \
        if (varn_status_.failed()) return varn_status_; \
    } while (0)
