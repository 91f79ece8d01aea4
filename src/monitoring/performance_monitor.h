// The performance monitor: running totals and means of the input/output
// figures its caller records by hand, threshold alerts, and three exports
// (indented JSON text, exposition text, a snapshot for the Python dict).
//
// Two records, each behind its own mutex: `metrics` and `alerts`. They are
// always taken in that order (an alert is appended while the recording
// operation still holds `metrics`), never the other way round. Every
// operation reports an internal fault as a failed Status once a record is
// poisoned (see guarded.h).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/result.h"
#include "monitoring/guarded.h"

namespace varn {

struct VarnMetrics {
    uint64_t total_bytes_read = 0;      // wrapping sum
    uint64_t total_bytes_written = 0;   // wrapping sum
    uint64_t read_operations = 0;
    uint64_t write_operations = 0;
    double avg_read_latency_ms = 0.0;   // running mean
    double avg_write_latency_ms = 0.0;  // running mean
    double compression_ratio = 0.0;     // percent saved by the last record_compression
    uint64_t current_memory_bytes = 0;
    uint64_t peak_memory_bytes = 0;     // max(current, peak) of the last update_memory
    uint64_t rows_processed = 0;        // wrapping sum
    uint64_t columns_processed = 0;     // wrapping sum
    double cache_hit_rate = 0.0;        // fraction, as given
    uint32_t active_operations = 0;     // nothing changes it
    uint32_t total_errors = 0;          // wrapping at 2^32
    std::string timestamp;              // creation time of the monitor
};

enum class AlertType : uint8_t {
    HighLatency = 0,
    LowThroughput = 1,  // no operation raises it
    HighMemoryUsage = 2,
    HighErrorRate = 3,
    LowCacheHitRate = 4,
};

const char* alert_type_name(AlertType type);

struct AlertEvent {
    AlertType alert_type = AlertType::HighLatency;
    std::string message;
    std::string timestamp;
    double metric_value = 0.0;
    double threshold = 0.0;
};

// Alert thresholds; every comparison is strict.
inline constexpr double kReadLatencyThresholdMs = 1000.0;
inline constexpr uint64_t kMemoryThresholdBytes = 1000000000;
inline constexpr double kErrorRateThreshold = 0.05;
inline constexpr double kCacheHitRateThreshold = 0.3;

// Throughput in MB/s (MB = 10^6 bytes): the byte total over the summed
// latency of all operations (mean x count). 0.0 with no operations; infinite
// (NaN with no bytes) when the mean latency is 0.
double read_throughput_mbps(const VarnMetrics& m);
double write_throughput_mbps(const VarnMetrics& m);

// One alert, or a list of them, as compact JSON.
void append_alert_json(std::string& out, const AlertEvent& alert);
std::string alerts_to_json(const std::vector<AlertEvent>& alerts);

class PerformanceMonitor {
public:
    // All figures zero, no alerts, `timestamp` the current local time.
    PerformanceMonitor();
    PerformanceMonitor(const PerformanceMonitor&) = delete;
    PerformanceMonitor& operator=(const PerformanceMonitor&) = delete;

    // Recording. Each either applies completely, alert included, or (on an
    // internal fault) changes nothing and returns the fault.
    Status record_read(uint64_t bytes, double duration_ms);
    Status record_write(uint64_t bytes, double duration_ms);
    Status record_compression(uint64_t original_bytes, uint64_t compressed_bytes);
    Status record_rows_columns(uint64_t rows, uint64_t columns);
    Status update_memory(uint64_t current, uint64_t peak);
    Status update_cache_stats(double hit_rate);
    Status record_error();

    // A full copy of the metrics record.
    Result<VarnMetrics> get_metrics() const;
    // A copy of the alert list, oldest first.
    Result<std::vector<AlertEvent>> get_alerts() const;
    // Empties the alert list; the metrics are untouched.
    Status clear_alerts();

    // Seventeen "key": value lines between braces, no final line feed.
    Result<std::string> export_json() const;
    // Ten "name {} value" lines, each ending with a line feed.
    Result<std::string> export_prometheus() const;

private:
    friend struct PerformanceMonitorTestPeer;  // fault injection in tests

    // Appends an alert stamped with the current time. Called only with
    // `metrics` held, which keeps the lock order.
    Status create_alert(AlertType type, std::string message, double metric_value,
                        double threshold);

    mutable Guarded<VarnMetrics> metrics_;
    mutable Guarded<std::vector<AlertEvent>> alerts_;
};

}  // namespace varn
