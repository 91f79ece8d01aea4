// run_ordered: items 0..n-1 worked on by a pool of threads and consumed on
// the calling thread in item order, as each becomes ready. Used to decode the
// records of a file on every core while its checks and its output keep file
// order. Items are taken in order and at most `window` past the first one
// not yet consumed, so a worker may keep item i's result in slot i % window.
// The first failure in item order is returned, exactly as a loop over the
// items would return it; the workers then stop, and every thread is joined
// before run_ordered returns.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <thread>
#include <vector>

#include "common/result.h"

namespace varn {

// work(i, worker) -> Status runs on worker thread `worker` (0..threads-1);
// consume(i) -> Status runs on the calling thread. With threads <= 1 both
// run on the calling thread, one item after the other.
template <class Work, class Consume>
Status run_ordered(size_t n, unsigned threads, size_t window, Work&& work, Consume&& consume) {
    if (threads <= 1 || n <= 1) {
        for (size_t i = 0; i < n; ++i) {
            VARN_RETURN_IF_ERROR(work(i, 0u));
            VARN_RETURN_IF_ERROR(consume(i));
        }
        return Status::ok();
    }
    if (window == 0) window = 1;
    std::mutex mu;
    std::condition_variable work_cv, done_cv;
    size_t next = 0, consumed = 0;
    bool stop = false;
    std::vector<Status> status(window);
    std::vector<char> done(window, 0);

    auto worker = [&](unsigned w) {
        std::unique_lock<std::mutex> lock(mu);
        for (;;) {
            work_cv.wait(lock, [&] { return stop || next >= n || next < consumed + window; });
            if (stop || next >= n) return;
            const size_t i = next++;
            lock.unlock();
            Status st = work(i, w);
            lock.lock();
            status[i % window] = std::move(st);
            done[i % window] = 1;
            done_cv.notify_all();
        }
    };
    std::vector<std::thread> pool;
    pool.reserve(threads);
    for (unsigned w = 0; w < threads; ++w) {
        try {
            pool.emplace_back(worker, w);
        } catch (...) {
            break;  // fewer workers give the same result
        }
    }
    auto stop_all = [&] {
        {
            std::lock_guard<std::mutex> lock(mu);
            stop = true;
        }
        work_cv.notify_all();
        for (std::thread& t : pool) t.join();
    };
    if (pool.empty()) {
        stop_all();
        return run_ordered(n, 1, window, work, consume);
    }
    Status result;
    for (size_t i = 0; i < n && result.is_ok(); ++i) {
        {
            std::unique_lock<std::mutex> lock(mu);
            done_cv.wait(lock, [&] { return done[i % window] != 0; });
            done[i % window] = 0;
            result = std::move(status[i % window]);
            status[i % window] = Status::ok();
        }
        if (result.is_ok()) result = consume(i);
        {
            std::lock_guard<std::mutex> lock(mu);
            consumed = i + 1;
        }
        work_cv.notify_all();
    }
    stop_all();
    return result;
}

}  // namespace varn
