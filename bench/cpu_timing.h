// CPU-time measuring shared by the C++ benchmarks: the machine may be shared,
// and every figure is measured the same way, so the ratios stay fair.
#pragma once

#include <ctime>

namespace varn_bench {

// CPU time of this process, in seconds.
inline double cpu_seconds() {
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// CPU seconds per call of fn, after one warm-up call, over at least
// `seconds` of CPU time and 3 calls.
template <class Fn>
double seconds_per_run(double seconds, const Fn& fn) {
    fn();
    int runs = 0;
    const double start = cpu_seconds();
    double elapsed = 0;
    do {
        fn();
        ++runs;
        elapsed = cpu_seconds() - start;
    } while (elapsed < seconds || runs < 3);
    return elapsed / runs;
}

}  // namespace varn_bench
