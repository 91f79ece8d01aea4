// Errors are values: every fallible operation of the core returns a Status or
// a Result<T> carrying a human-readable message. The Python module turns the
// message into the exception its caller expects; nothing in the core throws.
#pragma once

#include <optional>
#include <string>
#include <utility>

namespace varn {

class [[nodiscard]] Status {
public:
    Status() = default;
    static Status ok() { return Status(); }
    static Status error(std::string message) { return Status(std::move(message), true); }

    bool is_ok() const { return !failed_; }
    bool failed() const { return failed_; }
    const std::string& message() const { return message_; }
    std::string take_message() { return std::move(message_); }

private:
    Status(std::string message, bool failed) : message_(std::move(message)), failed_(failed) {}
    std::string message_;
    bool failed_ = false;
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
    const std::string& message() const { return status_.message(); }
    Status status() const { return failed() ? status_ : Status::ok(); }

private:
    std::optional<T> value_;
    Status status_;
};

}  // namespace varn

// Early exit on failure; every early exit of the core looks the same.
#define VARN_RETURN_IF_ERROR(expr)                      \
    do {                                                \
        ::varn::Status varn_status_ = (expr);           \
        if (varn_status_.failed()) return varn_status_; \
    } while (0)
