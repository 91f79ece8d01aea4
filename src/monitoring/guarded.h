// A record behind its own mutex that remembers an interrupted update.
//
// The monitor's records are only ever touched through `with`, which runs a
// function on the locked record. If a C++ exception (in practice
// std::bad_alloc) escapes that function, the record is marked poisoned and
// the failure comes back as a Status; from then on every `with` on that
// record fails at once, so no operation ever builds on a half-finished one.
#pragma once

#include <exception>
#include <mutex>
#include <string>
#include <utility>

#include "common/forced_unwind.h"
#include "common/result.h"

namespace varn {

template <class T>
class Guarded {
public:
    // `name` names the record in fault messages ("metrics", "alerts"); it
    // must outlive the Guarded (a string literal).
    explicit Guarded(const char* name, T value = T{}) : name_(name), value_(std::move(value)) {}
    Guarded(const Guarded&) = delete;
    Guarded& operator=(const Guarded&) = delete;

    // Runs fn(T&) -> Status with the lock held and returns its status, or an
    // internal-fault status when the record is poisoned or fn throws.
    template <class Fn>
    Status with(Fn&& fn) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (poisoned_) return Status::internal(std::string("performance monitor: the ") + name_ +
                                            " lock is poisoned by an earlier internal fault");
        try {
            return std::forward<Fn>(fn)(value_);
        }
        VARN_RETHROW_FORCED_UNWIND
        catch (const std::exception& e) {
            poisoned_ = true;
            return fault(e.what());
        } catch (...) {
            poisoned_ = true;
            return fault("unknown exception");
        }
    }

private:
    Status fault(const char* what) const {
        return Status::internal(std::string("performance monitor: internal fault while holding the ") +
                             name_ + " lock: " + what);
    }

    const char* name_;
    std::mutex mutex_;
    bool poisoned_ = false;
    T value_;
};

}  // namespace varn
