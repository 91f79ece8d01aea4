// One monitor used from several native threads at once: no update is lost,
// an alert is appended in the same locked section as the figures that raised
// it, and (under ThreadSanitizer, which also reports lock-order inversions)
// there is no data race and the metrics-then-alerts order holds.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "monitoring/performance_monitor.h"

namespace varn {
namespace {

constexpr int kWorkers = 4;
constexpr uint64_t kIterations = 1500;

uint64_t count_of(const std::vector<AlertEvent>& alerts, AlertType type) {
    uint64_t n = 0;
    for (const AlertEvent& a : alerts) n += a.alert_type == type;
    return n;
}

// Every recording operation fails only on a poisoned lock; count failures
// instead of asserting from worker threads.
void work(PerformanceMonitor& m, std::atomic<int>& failures) {
    for (uint64_t i = 0; i < kIterations; ++i) {
        bool ok = m.record_read(3, 1500.0).is_ok() &&              // HighLatency
                  m.record_write(5, 2.0).is_ok() &&
                  m.record_rows_columns(1, 2).is_ok() &&
                  m.update_memory(2000000000, i).is_ok() &&         // HighMemoryUsage
                  m.update_cache_stats(0.9).is_ok() &&
                  m.record_compression(100, 25).is_ok() &&
                  (i % 100 != 0 || m.record_error().is_ok());
        if (!ok) failures.fetch_add(1);
    }
}

TEST(MonitorThreads, NoLostUpdate) {
    PerformanceMonitor m;
    std::atomic<int> failures{0};
    std::atomic<bool> done{false};
    std::atomic<int> observations{0};
    // Reads every record while the workers write, through every path that
    // takes a lock.
    std::thread observer([&] {
        while (!done.load()) {
            if (m.get_alerts().failed() || m.get_metrics().failed() || m.export_json().failed() ||
                m.export_prometheus().failed())
                failures.fetch_add(1);
            observations.fetch_add(1);
        }
    });
    std::vector<std::thread> workers;
    for (int t = 0; t < kWorkers; ++t) workers.emplace_back([&] { work(m, failures); });
    for (std::thread& t : workers) t.join();
    done.store(true);
    observer.join();

    EXPECT_EQ(failures.load(), 0);
    EXPECT_GT(observations.load(), 0);

    const uint64_t n = kWorkers * kIterations;
    Result<VarnMetrics> r = m.get_metrics();
    ASSERT_TRUE(r.is_ok());
    const VarnMetrics& v = r.value();
    EXPECT_EQ(v.read_operations, n);
    EXPECT_EQ(v.total_bytes_read, 3 * n);
    EXPECT_EQ(v.write_operations, n);
    EXPECT_EQ(v.total_bytes_written, 5 * n);
    EXPECT_EQ(v.rows_processed, n);
    EXPECT_EQ(v.columns_processed, 2 * n);
    EXPECT_EQ(v.total_errors, static_cast<uint32_t>(kWorkers * (kIterations / 100)));
    EXPECT_EQ(v.avg_read_latency_ms, 1500.0);
    EXPECT_EQ(v.avg_write_latency_ms, 2.0);
    EXPECT_EQ(v.compression_ratio, 75.0);

    Result<std::vector<AlertEvent>> alerts = m.get_alerts();
    ASSERT_TRUE(alerts.is_ok());
    EXPECT_EQ(count_of(alerts.value(), AlertType::HighLatency), n);
    EXPECT_EQ(count_of(alerts.value(), AlertType::HighMemoryUsage), n);
    EXPECT_EQ(count_of(alerts.value(), AlertType::LowCacheHitRate), 0u);
}

// Every read here raises an alert. A snapshot of the metrics followed by one
// of the alerts must show at least as many alerts as reads, and the reverse
// order at least as many reads as alerts; an alert appended after `metrics`
// was released would break the first. The window is narrow, so several
// rounds are run.
TEST(MonitorThreads, AlertAppendedWithItsUpdate) {
    constexpr int kRounds = 8;
    constexpr int kReads = 1000;
    int violations = 0, observations = 0, failures = 0;
    for (int round = 0; round < kRounds; ++round) {
        PerformanceMonitor m;
        std::atomic<bool> done{false};
        std::thread observer([&] {
            while (!done.load()) {
                Result<VarnMetrics> metrics = m.get_metrics();
                Result<std::vector<AlertEvent>> alerts = m.get_alerts();
                if (metrics.failed() || alerts.failed()) {
                    ++failures;
                    return;
                }
                if (alerts.value().size() < metrics.value().read_operations) ++violations;
                alerts = m.get_alerts();
                metrics = m.get_metrics();
                if (metrics.failed() || alerts.failed()) {
                    ++failures;
                    return;
                }
                if (metrics.value().read_operations < alerts.value().size()) ++violations;
                ++observations;
            }
        });
        std::vector<std::thread> workers;
        std::atomic<int> worker_failures{0};
        for (int t = 0; t < kWorkers; ++t)
            workers.emplace_back([&] {
                for (int i = 0; i < kReads; ++i)
                    if (m.record_read(1, 1500.0).failed()) worker_failures.fetch_add(1);
            });
        for (std::thread& t : workers) t.join();
        done.store(true);
        observer.join();
        failures += worker_failures.load();
    }
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(violations, 0);
    EXPECT_GT(observations, 0);
}

TEST(MonitorThreads, ClearingWhileRecording) {
    PerformanceMonitor m;
    std::atomic<int> failures{0};
    std::atomic<bool> done{false};
    std::thread clearer([&] {
        while (!done.load()) {
            if (m.clear_alerts().failed() || m.get_alerts().failed()) failures.fetch_add(1);
        }
    });
    std::vector<std::thread> workers;
    for (int t = 0; t < kWorkers; ++t) workers.emplace_back([&] { work(m, failures); });
    for (std::thread& t : workers) t.join();
    done.store(true);
    clearer.join();

    EXPECT_EQ(failures.load(), 0);
    Result<VarnMetrics> r = m.get_metrics();
    ASSERT_TRUE(r.is_ok());
    EXPECT_EQ(r.value().read_operations, kWorkers * kIterations);
    EXPECT_EQ(r.value().total_bytes_written, 5 * kWorkers * kIterations);
    // Clearing touched only the alert list.
    Result<std::string> before = m.export_json();
    ASSERT_TRUE(m.clear_alerts().is_ok());
    Result<std::vector<AlertEvent>> alerts = m.get_alerts();
    ASSERT_TRUE(alerts.is_ok());
    EXPECT_TRUE(alerts.value().empty());
    Result<std::string> after = m.export_json();
    ASSERT_TRUE(before.is_ok() && after.is_ok());
    EXPECT_EQ(before.value(), after.value());
}

}  // namespace
}  // namespace varn
