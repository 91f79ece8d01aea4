// The performance monitor's recording operations, alerts and exports.
//
// A recording operation computes its new figures from the locked record,
// appends its alert if a threshold is crossed (still holding `metrics`, then
// taking `alerts`), and only then stores the figures. Other threads see the
// update and its alert together, and an operation that fails on the way
// leaves the metrics exactly as they were.
#include "monitoring/performance_monitor.h"

#include <utility>

#include "common/text_format.h"
#include "monitoring/monitor_text.h"

namespace varn {

namespace {

// mean' = (duration + mean * n) / (n + 1), in this order of operations, so
// the first call gives exactly `duration`.
double running_mean(double mean, uint64_t n, double duration_ms) {
    double sum = mean * static_cast<double>(n);
    sum = duration_ms + sum;
    return sum / static_cast<double>(n + 1);
}

double throughput_mbps(uint64_t bytes, uint64_t operations, double mean_ms) {
    if (operations == 0) return 0.0;
    double total_seconds = mean_ms * static_cast<double>(operations) / 1000.0;
    return (static_cast<double>(bytes) / 1000000.0) / total_seconds;
}

std::string with_fixed2(const char* prefix, double value, const char* suffix) {
    std::string text = prefix;
    append_fixed(text, value, 2);
    text += suffix;
    return text;
}

void json_line(std::string& out, const char* key, const std::string& value, bool last = false) {
    out += "  \"";
    out += key;
    out += "\": ";
    out += value;
    out += last ? "\n" : ",\n";
}

void prometheus_line(std::string& out, const char* name, const std::string& value) {
    out += name;
    out += " {} ";
    out += value;
    out += '\n';
}

std::string fixed2(double value) { return format_fixed(value, 2); }

}  // namespace

const char* alert_type_name(AlertType type) {
    switch (type) {
        case AlertType::HighLatency: return "HighLatency";
        case AlertType::LowThroughput: return "LowThroughput";
        case AlertType::HighMemoryUsage: return "HighMemoryUsage";
        case AlertType::HighErrorRate: return "HighErrorRate";
        case AlertType::LowCacheHitRate: return "LowCacheHitRate";
    }
    return "Unknown";
}

double read_throughput_mbps(const VarnMetrics& m) {
    return throughput_mbps(m.total_bytes_read, m.read_operations, m.avg_read_latency_ms);
}

double write_throughput_mbps(const VarnMetrics& m) {
    return throughput_mbps(m.total_bytes_written, m.write_operations, m.avg_write_latency_ms);
}

namespace {

// The figures both exports write, in export_json's order: counts as integers,
// the rest with two decimals. export_prometheus writes those that have an
// exposition name, under that name.
struct ExportedFigure {
    const char* json_name;
    const char* prometheus_name;  // nullptr: not in the exposition text
    std::string (*text)(const VarnMetrics&);
};

const ExportedFigure kExportedFigures[] = {
    {"total_bytes_read", "varn_total_bytes_read_total",
     [](const VarnMetrics& m) { return std::to_string(m.total_bytes_read); }},
    {"total_bytes_written", "varn_total_bytes_written_total",
     [](const VarnMetrics& m) { return std::to_string(m.total_bytes_written); }},
    {"read_operations", "varn_read_operations_total",
     [](const VarnMetrics& m) { return std::to_string(m.read_operations); }},
    {"write_operations", "varn_write_operations_total",
     [](const VarnMetrics& m) { return std::to_string(m.write_operations); }},
    {"avg_read_latency_ms", "varn_avg_read_latency_ms",
     [](const VarnMetrics& m) { return fixed2(m.avg_read_latency_ms); }},
    {"avg_write_latency_ms", "varn_avg_write_latency_ms",
     [](const VarnMetrics& m) { return fixed2(m.avg_write_latency_ms); }},
    {"read_throughput_mbps", nullptr, [](const VarnMetrics& m) { return fixed2(read_throughput_mbps(m)); }},
    {"write_throughput_mbps", nullptr, [](const VarnMetrics& m) { return fixed2(write_throughput_mbps(m)); }},
    {"compression_ratio", "varn_compression_ratio_percent",
     [](const VarnMetrics& m) { return fixed2(m.compression_ratio); }},
    {"peak_memory_bytes", nullptr, [](const VarnMetrics& m) { return std::to_string(m.peak_memory_bytes); }},
    {"current_memory_bytes", "varn_current_memory_bytes",
     [](const VarnMetrics& m) { return std::to_string(m.current_memory_bytes); }},
    {"rows_processed", nullptr, [](const VarnMetrics& m) { return std::to_string(m.rows_processed); }},
    {"columns_processed", nullptr, [](const VarnMetrics& m) { return std::to_string(m.columns_processed); }},
    {"cache_hit_rate", "varn_cache_hit_rate", [](const VarnMetrics& m) { return fixed2(m.cache_hit_rate); }},
    {"active_operations", nullptr, [](const VarnMetrics& m) { return std::to_string(m.active_operations); }},
    {"total_errors", "varn_total_errors", [](const VarnMetrics& m) { return std::to_string(m.total_errors); }},
};

}  // namespace

void append_alert_json(std::string& out, const AlertEvent& alert) {
    out += "{\"alert_type\":\"";
    out += alert_type_name(alert.alert_type);
    out += "\",\"message\":";
    append_json_string(alert.message, out);
    out += ",\"timestamp\":";
    append_json_string(alert.timestamp, out);
    out += ",\"metric_value\":";
    append_json_number(out, alert.metric_value);
    out += ",\"threshold\":";
    append_json_number(out, alert.threshold);
    out += '}';
}

std::string alerts_to_json(const std::vector<AlertEvent>& alerts) {
    std::string out = "[";
    for (size_t i = 0; i < alerts.size(); ++i) {
        if (i) out += ',';
        append_alert_json(out, alerts[i]);
    }
    out += ']';
    return out;
}

PerformanceMonitor::PerformanceMonitor()
    : metrics_("metrics",
               [] {
                   VarnMetrics m;
                   m.timestamp = now_rfc3339();
                   return m;
               }()),
      alerts_("alerts") {}

Status PerformanceMonitor::create_alert(AlertType type, std::string message, double metric_value,
                                        double threshold) {
    AlertEvent event;
    event.alert_type = type;
    event.message = std::move(message);
    event.timestamp = now_rfc3339();  // taken before `alerts` is locked
    event.metric_value = metric_value;
    event.threshold = threshold;
    return alerts_.with([&](std::vector<AlertEvent>& list) {
        list.push_back(std::move(event));
        return Status::ok();
    });
}

Status PerformanceMonitor::record_read(uint64_t bytes, double duration_ms) {
    return metrics_.with([&](VarnMetrics& m) {
        const uint64_t n = m.read_operations;
        const double mean = running_mean(m.avg_read_latency_ms, n, duration_ms);
        if (duration_ms > kReadLatencyThresholdMs) {
            VARN_RETURN_IF_ERROR(create_alert(AlertType::HighLatency,
                                              with_fixed2("Read operation took ", duration_ms, "ms"),
                                              duration_ms, kReadLatencyThresholdMs));
        }
        m.total_bytes_read += bytes;
        m.read_operations = n + 1;
        m.avg_read_latency_ms = mean;
        return Status::ok();
    });
}

Status PerformanceMonitor::record_write(uint64_t bytes, double duration_ms) {
    return metrics_.with([&](VarnMetrics& m) {
        const uint64_t n = m.write_operations;
        m.avg_write_latency_ms = running_mean(m.avg_write_latency_ms, n, duration_ms);
        m.total_bytes_written += bytes;
        m.write_operations = n + 1;
        return Status::ok();
    });
}

Status PerformanceMonitor::record_compression(uint64_t original_bytes, uint64_t compressed_bytes) {
    return metrics_.with([&](VarnMetrics& m) {
        // IEEE division: -inf for 0 original bytes, NaN when both are 0.
        m.compression_ratio =
            (1.0 - static_cast<double>(compressed_bytes) / static_cast<double>(original_bytes)) *
            100.0;
        return Status::ok();
    });
}

Status PerformanceMonitor::record_rows_columns(uint64_t rows, uint64_t columns) {
    return metrics_.with([&](VarnMetrics& m) {
        m.rows_processed += rows;
        m.columns_processed += columns;
        return Status::ok();
    });
}

Status PerformanceMonitor::update_memory(uint64_t current, uint64_t peak) {
    return metrics_.with([&](VarnMetrics& m) {
        if (current > kMemoryThresholdBytes) {
            VARN_RETURN_IF_ERROR(create_alert(
                AlertType::HighMemoryUsage,
                with_fixed2("Memory usage: ", static_cast<double>(current) / 1000000.0, "MB"),
                static_cast<double>(current), static_cast<double>(kMemoryThresholdBytes)));
        }
        // Replaced, not a running maximum: the caller reports its own peak.
        m.peak_memory_bytes = current > peak ? current : peak;
        m.current_memory_bytes = current;
        return Status::ok();
    });
}

Status PerformanceMonitor::update_cache_stats(double hit_rate) {
    return metrics_.with([&](VarnMetrics& m) {
        if (hit_rate < kCacheHitRateThreshold) {  // false for NaN
            VARN_RETURN_IF_ERROR(create_alert(AlertType::LowCacheHitRate,
                                              with_fixed2("Cache hit rate: ", hit_rate * 100.0, "%"),
                                              hit_rate, kCacheHitRateThreshold));
        }
        m.cache_hit_rate = hit_rate;
        return Status::ok();
    });
}

Status PerformanceMonitor::record_error() {
    return metrics_.with([&](VarnMetrics& m) {
        const uint32_t errors = m.total_errors + 1u;
        const uint64_t operations = m.read_operations + m.write_operations;
        // +inf with no reads or writes recorded yet.
        const double rate = static_cast<double>(errors) / static_cast<double>(operations);
        if (rate > kErrorRateThreshold) {
            VARN_RETURN_IF_ERROR(create_alert(AlertType::HighErrorRate,
                                              with_fixed2("Error rate: ", rate * 100.0, "%"), rate,
                                              kErrorRateThreshold));
        }
        m.total_errors = errors;
        return Status::ok();
    });
}

Result<VarnMetrics> PerformanceMonitor::get_metrics() const {
    VarnMetrics copy;
    VARN_RETURN_IF_ERROR(metrics_.with([&](VarnMetrics& m) {
        copy = m;
        return Status::ok();
    }));
    return copy;
}

Result<std::vector<AlertEvent>> PerformanceMonitor::get_alerts() const {
    std::vector<AlertEvent> copy;
    VARN_RETURN_IF_ERROR(alerts_.with([&](std::vector<AlertEvent>& list) {
        copy = list;
        return Status::ok();
    }));
    return copy;
}

Status PerformanceMonitor::clear_alerts() {
    return alerts_.with([](std::vector<AlertEvent>& list) {
        std::vector<AlertEvent>().swap(list);  // releases the storage too
        return Status::ok();
    });
}

Result<std::string> PerformanceMonitor::export_json() const {
    std::string out;
    VARN_RETURN_IF_ERROR(metrics_.with([&](VarnMetrics& m) {
        out += "{\n";
        for (const ExportedFigure& f : kExportedFigures) json_line(out, f.json_name, f.text(m));
        // Inserted as is: the timestamp is our own RFC 3339 text.
        json_line(out, "timestamp", "\"" + m.timestamp + "\"", true);
        out += "}";
        return Status::ok();
    }));
    return out;
}

Result<std::string> PerformanceMonitor::export_prometheus() const {
    std::string out;
    VARN_RETURN_IF_ERROR(metrics_.with([&](VarnMetrics& m) {
        for (const ExportedFigure& f : kExportedFigures) {
            if (f.prometheus_name) prometheus_line(out, f.prometheus_name, f.text(m));
        }
        return Status::ok();
    }));
    return out;
}

}  // namespace varn
