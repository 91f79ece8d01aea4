// Tests of the performance monitor: number and timestamp texts, recording
// arithmetic, alerts, exports, and the poisoned-lock behaviour.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>
#include <new>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "common/text_format.h"
#include "monitoring/monitor_text.h"
#include "monitoring/performance_monitor.h"

namespace varn {

// Reaches the monitor's records directly, to poison them or to set figures
// that would take billions of calls to reach.
struct PerformanceMonitorTestPeer {
    template <class Fn>
    static Status metrics(PerformanceMonitor& m, Fn fn) {
        return m.metrics_.with(fn);
    }
    template <class Fn>
    static Status alerts(PerformanceMonitor& m, Fn fn) {
        return m.alerts_.with(fn);
    }
};

namespace {

using Peer = PerformanceMonitorTestPeer;
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

VarnMetrics metrics_of(const PerformanceMonitor& m) {
    Result<VarnMetrics> r = m.get_metrics();
    EXPECT_TRUE(r.is_ok()) << r.message();
    return r.is_ok() ? r.take() : VarnMetrics{};
}

std::vector<AlertEvent> alerts_of(const PerformanceMonitor& m) {
    Result<std::vector<AlertEvent>> r = m.get_alerts();
    EXPECT_TRUE(r.is_ok()) << r.message();
    return r.is_ok() ? r.take() : std::vector<AlertEvent>{};
}

std::string json_of(const PerformanceMonitor& m) {
    Result<std::string> r = m.export_json();
    EXPECT_TRUE(r.is_ok()) << r.message();
    return r.is_ok() ? r.take() : std::string();
}

std::string prometheus_of(const PerformanceMonitor& m) {
    Result<std::string> r = m.export_prometheus();
    EXPECT_TRUE(r.is_ok()) << r.message();
    return r.is_ok() ? r.take() : std::string();
}

// The value text of one "  \"key\": value" line of the JSON export.
std::string json_value(const std::string& json, const std::string& key) {
    std::string needle = "\n  \"" + key + "\": ";
    size_t at = json.find(needle);
    if (at == std::string::npos) return "<missing>";
    at += needle.size();
    size_t end = json.find_first_of(",\n", at);
    return json.substr(at, end - at);
}

#define ASSERT_OK(expr)                                   \
    do {                                                  \
        ::varn::Status s_ = (expr);                       \
        ASSERT_TRUE(s_.is_ok()) << #expr ": " << s_.message(); \
    } while (0)

// --- number and text forms ---

TEST(MonitorText, Fixed2RoundsTheExactBinaryValue) {
    struct Case {
        double value;
        const char* text;
    } cases[] = {
        {2.675, "2.67"},   // stored just below 2.675
        {2.345, "2.35"},   // stored just above 2.345
        {0.125, "0.12"},   // exact tie: to even
        {0.375, "0.38"},   // exact tie: to even, upwards
        {-0.125, "-0.12"},
        {1500.0, "1500.00"},
        {0.0, "0.00"},
        {1e20, "100000000000000000000.00"},
        {kInf, "inf"},
        {-kInf, "-inf"},
        {kNaN, "NaN"},
        {-kNaN, "NaN"},
    };
    for (const Case& c : cases) EXPECT_EQ(format_fixed(c.value, 2), c.text) << c.value;
}

TEST(MonitorText, JsonNumberNotationBoundaries) {
    struct Case {
        double value;
        const char* text;
    } cases[] = {
        {1e16, "1e+16"},
        {2.5e-7, "2.5e-7"},
        {1000000000.0, "1000000000.0"},
        {0.05, "0.05"},
        {0.3, "0.3"},
        {0.1, "0.1"},
        {1000.0, "1000.0"},
        {1500.0, "1500.0"},
        {0.0, "0.0"},
        {-0.0, "-0.0"},
        {1.0, "1.0"},
        {-1500.25, "-1500.25"},
        {1e15, "1000000000000000.0"},             // exponent 15: still fixed
        {9999999999999998.0, "9999999999999998.0"},
        {1.2345e16, "1.2345e+16"},
        {1e-5, "0.00001"},                        // exponent -5: still fixed
        {1.5e-5, "0.000015"},
        {9.5e-6, "9.5e-6"},                       // exponent -6: exponent form
        {123456789.125, "123456789.125"},
        {1e100, "1e+100"},
        {-2.5e-7, "-2.5e-7"},
        {1.7976931348623157e308, "1.7976931348623157e+308"},
        {5e-324, "5e-324"},
        {kInf, "null"},
        {-kInf, "null"},
        {kNaN, "null"},
    };
    for (const Case& c : cases) EXPECT_EQ(json_number(c.value), c.text) << c.value;
}

TEST(MonitorText, JsonNumberReadsBackAsTheSameDouble) {
    std::mt19937_64 rng(12345);
    for (int i = 0; i < 20000; ++i) {
        uint64_t bits = rng();
        double v;
        static_assert(sizeof v == sizeof bits);
        std::memcpy(&v, &bits, sizeof v);
        if (!std::isfinite(v)) continue;
        std::string text = json_number(v);
        EXPECT_EQ(std::strtod(text.c_str(), nullptr), v) << text;
        // Fixed notation always carries a fractional part.
        if (text.find('e') == std::string::npos) {
            EXPECT_NE(text.find('.'), std::string::npos) << text;
        }
    }
}

TEST(JsonString, EscapesOneWayForEveryCaller) {
    struct Case {
        std::string input;
        JsonComma comma;
        std::string expected;
    };
    const Case cases[] = {
        {"a\"b\\c/d\b\t\n\f\r\x01\x1f\x7f\xc3\xa9", JsonComma::kKeep,
         "\"a\\\"b\\\\c/d\\b\\t\\n\\f\\r\\u0001\\u001f\x7f\xc3\xa9\""},
        {"a,b", JsonComma::kKeep, "\"a,b\""},
        {"a,b", JsonComma::kEscape, "\"a\\u002cb\""},
        // Bytes outside a well-formed UTF-8 sequence: a lone continuation
        // byte, a cut sequence, an overlong form.
        {"x\x80y\xe6\x9dz\xc0\xaf", JsonComma::kKeep, "\"x\\u0080y\\u00e6\\u009dz\\u00c0\\u00af\""},
        {"\xf0\x9f\x98\x80", JsonComma::kKeep, "\"\xf0\x9f\x98\x80\""},
        {std::string("\0", 1), JsonComma::kKeep, "\"\\u0000\""},
    };
    for (const Case& c : cases) {
        std::string out = "<";
        append_json_string(c.input, out, c.comma);
        EXPECT_EQ(out, "<" + c.expected) << c.input;
    }
}

TEST(MonitorText, Rfc3339Forms) {
    std::tm t{};
    t.tm_year = 2026 - 1900;
    t.tm_mon = 0;
    t.tm_mday = 2;
    t.tm_hour = 3;
    t.tm_min = 4;
    t.tm_sec = 5;
    struct Case {
        uint32_t nanos;
        long offset;
        const char* text;
    } cases[] = {
        {0, 0, "2026-01-02T03:04:05+00:00"},
        {678000000, 3600, "2026-01-02T03:04:05.678+01:00"},
        {1000000, 3600, "2026-01-02T03:04:05.001+01:00"},
        {123456000, -16200, "2026-01-02T03:04:05.123456-04:30"},
        {1000, 19800, "2026-01-02T03:04:05.000001+05:30"},
        {1, -36000, "2026-01-02T03:04:05.000000001-10:00"},
        {120000500, 0, "2026-01-02T03:04:05.120000500+00:00"},
        {999999999, 50400, "2026-01-02T03:04:05.999999999+14:00"},
        {0, 561, "2026-01-02T03:04:05+00:09"},   // offset seconds are cut
        {0, -30, "2026-01-02T03:04:05+00:00"},   // never "-00:00"
    };
    for (const Case& c : cases) EXPECT_EQ(format_rfc3339(t, c.nanos, c.offset), c.text);

    t.tm_year = 999 - 1900;
    t.tm_mon = 11;
    t.tm_mday = 31;
    t.tm_hour = 23;
    t.tm_min = 59;
    t.tm_sec = 60;  // a leap second
    EXPECT_EQ(format_rfc3339(t, 0, 0), "0999-12-31T23:59:60+00:00");
}

TEST(MonitorText, NowIsLocalRfc3339) {
    const std::regex form(
        R"(\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2}(\.\d{3}|\.\d{6}|\.\d{9})?[+-]\d{2}:\d{2})");
    std::string now = now_rfc3339();
    EXPECT_TRUE(std::regex_match(now, form)) << now;
    EXPECT_EQ(now.find('Z'), std::string::npos);
}

// --- recording ---

TEST(Monitor, NewMonitorIsZero) {
    PerformanceMonitor m;
    VarnMetrics v = metrics_of(m);
    EXPECT_EQ(v.total_bytes_read, 0u);
    EXPECT_EQ(v.read_operations, 0u);
    EXPECT_EQ(v.total_errors, 0u);
    EXPECT_EQ(v.avg_read_latency_ms, 0.0);
    EXPECT_EQ(v.compression_ratio, 0.0);
    EXPECT_EQ(read_throughput_mbps(v), 0.0);
    EXPECT_EQ(write_throughput_mbps(v), 0.0);
    EXPECT_FALSE(v.timestamp.empty());
    EXPECT_TRUE(alerts_of(m).empty());
}

TEST(Monitor, RunningMeansInTheStatedOrder) {
    // Chosen so that the incremental form mean + (d - mean) / (n + 1) gives
    // different bits from (d + mean * n) / (n + 1).
    const double durations[] = {0.1, 0.2, 0.7, 1.3, 0.9, 3.3, 0.01, 7.77};
    PerformanceMonitor m;
    double expected = 0.0;
    uint64_t n = 0;
    for (double d : durations) {
        ASSERT_OK(m.record_read(10, d));
        ASSERT_OK(m.record_write(20, d));
        expected = (d + expected * static_cast<double>(n)) / static_cast<double>(n + 1);
        ++n;
        VarnMetrics v = metrics_of(m);
        EXPECT_EQ(v.avg_read_latency_ms, expected) << n;
        EXPECT_EQ(v.avg_write_latency_ms, expected) << n;
    }
    VarnMetrics v = metrics_of(m);
    EXPECT_EQ(v.read_operations, 8u);
    EXPECT_EQ(v.write_operations, 8u);
    EXPECT_EQ(v.total_bytes_read, 80u);
    EXPECT_EQ(v.total_bytes_written, 160u);

    PerformanceMonitor two;
    ASSERT_OK(two.record_read(1000, 10.0));
    ASSERT_OK(two.record_read(3000, 30.0));
    v = metrics_of(two);
    EXPECT_EQ(v.total_bytes_read, 4000u);
    EXPECT_EQ(v.read_operations, 2u);
    EXPECT_EQ(v.avg_read_latency_ms, 20.0);
}

TEST(Monitor, CountersWrap) {
    PerformanceMonitor m;
    const uint64_t max = std::numeric_limits<uint64_t>::max();
    ASSERT_OK(m.record_read(max, 1.0));
    ASSERT_OK(m.record_read(2, 1.0));
    ASSERT_OK(m.record_write(max, 1.0));
    ASSERT_OK(m.record_write(max, 1.0));
    ASSERT_OK(m.record_rows_columns(max, 1));
    ASSERT_OK(m.record_rows_columns(3, max));
    VarnMetrics v = metrics_of(m);
    EXPECT_EQ(v.total_bytes_read, 1u);
    EXPECT_EQ(v.total_bytes_written, max - 1);
    EXPECT_EQ(v.rows_processed, 2u);
    EXPECT_EQ(v.columns_processed, 0u);

    // total_errors wraps at 2^32; the wrapped count gives rate 0: no alert.
    ASSERT_OK(Peer::metrics(m, [](VarnMetrics& r) {
        r.total_errors = std::numeric_limits<uint32_t>::max();
        return Status::ok();
    }));
    ASSERT_OK(m.clear_alerts());
    ASSERT_OK(m.record_error());
    EXPECT_EQ(metrics_of(m).total_errors, 0u);
    EXPECT_TRUE(alerts_of(m).empty());
}

TEST(Monitor, RowsColumnsCompressionMemoryCache) {
    PerformanceMonitor m;
    ASSERT_OK(m.record_rows_columns(10, 3));
    ASSERT_OK(m.record_rows_columns(10, 3));
    VarnMetrics v = metrics_of(m);
    EXPECT_EQ(v.rows_processed, 20u);
    EXPECT_EQ(v.columns_processed, 6u);

    struct Ratio {
        uint64_t original, compressed;
        double expected;
    } ratios[] = {{1000, 250, 75.0}, {1000, 1500, -50.0}, {1000, 1000, 0.0}, {0, 5, -kInf}};
    for (const Ratio& r : ratios) {
        ASSERT_OK(m.record_compression(r.original, r.compressed));
        EXPECT_EQ(metrics_of(m).compression_ratio, r.expected);
    }
    ASSERT_OK(m.record_compression(0, 0));
    EXPECT_TRUE(std::isnan(metrics_of(m).compression_ratio));

    // The peak is replaced on every call, not kept as a running maximum.
    ASSERT_OK(m.update_memory(5, 3));
    v = metrics_of(m);
    EXPECT_EQ(v.peak_memory_bytes, 5u);
    EXPECT_EQ(v.current_memory_bytes, 5u);
    ASSERT_OK(m.update_memory(1, 2));
    v = metrics_of(m);
    EXPECT_EQ(v.peak_memory_bytes, 2u);
    EXPECT_EQ(v.current_memory_bytes, 1u);

    ASSERT_OK(m.update_cache_stats(1.5));
    EXPECT_EQ(metrics_of(m).cache_hit_rate, 1.5);
    ASSERT_OK(m.update_cache_stats(kNaN));
    EXPECT_TRUE(std::isnan(metrics_of(m).cache_hit_rate));
    EXPECT_TRUE(alerts_of(m).empty());  // none of these cross a threshold
}

TEST(Monitor, ThroughputDividesByTheSummedLatency) {
    struct Case {
        std::vector<std::pair<uint64_t, double>> reads;
        double mbps;
    } cases[] = {
        {{}, 0.0},
        {{{2000000, 500.0}}, 4.0},
        // Two such reads move 4 MB in 1 s: still 4 MB/s.
        {{{2000000, 500.0}, {2000000, 500.0}}, 4.0},
        {{{1000000, 100.0}, {3000000, 300.0}}, 10.0},
        {{{10, 0.0}}, kInf},
        {{{0, 0.0}}, kNaN},
    };
    for (const Case& c : cases) {
        PerformanceMonitor m;
        for (auto [bytes, ms] : c.reads) {
            ASSERT_OK(m.record_read(bytes, ms));
            ASSERT_OK(m.record_write(bytes, ms));
        }
        VarnMetrics v = metrics_of(m);
        if (std::isnan(c.mbps)) {
            EXPECT_TRUE(std::isnan(read_throughput_mbps(v)));
            EXPECT_TRUE(std::isnan(write_throughput_mbps(v)));
        } else {
            EXPECT_DOUBLE_EQ(read_throughput_mbps(v), c.mbps) << c.reads.size();
            EXPECT_DOUBLE_EQ(write_throughput_mbps(v), c.mbps) << c.reads.size();
        }
    }
}

// --- alerts ---

TEST(MonitorAlerts, EachKindWithMessageAndValues) {
    struct Case {
        const char* what;
        std::function<Status(PerformanceMonitor&)> act;
        AlertType type;
        const char* message;
        double metric_value;
        double threshold;
    } cases[] = {
        {"slow read", [](PerformanceMonitor& m) { return m.record_read(100, 1500.0); },
         AlertType::HighLatency, "Read operation took 1500.00ms", 1500.0, 1000.0},
        {"infinite read", [](PerformanceMonitor& m) { return m.record_read(1, kInf); },
         AlertType::HighLatency, "Read operation took infms", kInf, 1000.0},
        {"memory", [](PerformanceMonitor& m) { return m.update_memory(2000000000, 0); },
         AlertType::HighMemoryUsage, "Memory usage: 2000.00MB", 2000000000.0, 1000000000.0},
        {"memory +1", [](PerformanceMonitor& m) { return m.update_memory(1000000001, 0); },
         AlertType::HighMemoryUsage, "Memory usage: 1000.00MB", 1000000001.0, 1000000000.0},
        {"cache", [](PerformanceMonitor& m) { return m.update_cache_stats(0.25); },
         AlertType::LowCacheHitRate, "Cache hit rate: 25.00%", 0.25, 0.3},
        {"cache 0.29", [](PerformanceMonitor& m) { return m.update_cache_stats(0.29); },
         AlertType::LowCacheHitRate, "Cache hit rate: 29.00%", 0.29, 0.3},
        {"error rate 0.1",
         [](PerformanceMonitor& m) {
             for (int i = 0; i < 10; ++i) VARN_RETURN_IF_ERROR(m.record_read(1, 1.0));
             return m.record_error();
         },
         AlertType::HighErrorRate, "Error rate: 10.00%", 0.1, 0.05},
        {"first error", [](PerformanceMonitor& m) { return m.record_error(); },
         AlertType::HighErrorRate, "Error rate: inf%", kInf, 0.05},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        PerformanceMonitor m;
        ASSERT_OK(c.act(m));
        std::vector<AlertEvent> alerts = alerts_of(m);
        ASSERT_EQ(alerts.size(), 1u);
        EXPECT_EQ(alerts[0].alert_type, c.type);
        EXPECT_EQ(alerts[0].message, c.message);
        EXPECT_EQ(alerts[0].metric_value, c.metric_value);
        EXPECT_EQ(alerts[0].threshold, c.threshold);
        EXPECT_FALSE(alerts[0].timestamp.empty());
    }
}

TEST(MonitorAlerts, ThresholdsAreStrict) {
    PerformanceMonitor m;
    ASSERT_OK(m.record_read(0, 1000.0));
    ASSERT_OK(m.record_read(0, kNaN));
    ASSERT_OK(m.update_memory(1000000000, 5000000000));
    ASSERT_OK(m.update_cache_stats(0.3));
    ASSERT_OK(m.update_cache_stats(kNaN));
    ASSERT_OK(m.record_write(0, 5000.0));  // writes raise no alert
    ASSERT_OK(m.record_compression(1, 1000));
    EXPECT_TRUE(alerts_of(m).empty());
    ASSERT_OK(m.record_read(0, 1000.5));
    EXPECT_EQ(alerts_of(m).size(), 1u);
}

TEST(MonitorAlerts, ErrorRateAfterHundredReads) {
    PerformanceMonitor m;
    for (int i = 0; i < 100; ++i) ASSERT_OK(m.record_read(1, 1.0));
    for (int i = 0; i < 5; ++i) ASSERT_OK(m.record_error());  // 5/100 is not above 0.05
    EXPECT_TRUE(alerts_of(m).empty());
    ASSERT_OK(m.record_error());
    std::vector<AlertEvent> alerts = alerts_of(m);
    ASSERT_EQ(alerts.size(), 1u);
    EXPECT_EQ(alerts[0].message, "Error rate: 6.00%");
    EXPECT_EQ(alerts[0].metric_value, 0.06);
}

TEST(MonitorAlerts, ListGrowsAndClearsWithoutTouchingMetrics) {
    PerformanceMonitor m;
    ASSERT_OK(m.record_read(1, 1500.0));
    ASSERT_OK(m.record_read(1, 1500.0));
    ASSERT_OK(m.update_cache_stats(0.1));
    ASSERT_OK(m.record_error());
    std::vector<AlertEvent> alerts = alerts_of(m);
    ASSERT_EQ(alerts.size(), 4u);
    EXPECT_EQ(alerts[0].message, alerts[1].message);
    EXPECT_EQ(alerts[2].alert_type, AlertType::LowCacheHitRate);
    EXPECT_EQ(alerts[3].alert_type, AlertType::HighErrorRate);

    std::string before = json_of(m);
    ASSERT_OK(m.clear_alerts());
    EXPECT_TRUE(alerts_of(m).empty());
    EXPECT_EQ(json_of(m), before);
    EXPECT_EQ(metrics_of(m).total_errors, 1u);
    EXPECT_EQ(metrics_of(m).cache_hit_rate, 0.1);
    ASSERT_OK(m.update_cache_stats(0.1));
    EXPECT_EQ(alerts_of(m).size(), 1u);
}

TEST(MonitorAlerts, JsonForm) {
    AlertEvent a;
    a.alert_type = AlertType::HighLatency;
    a.message = "Read operation took 1500.00ms";
    a.timestamp = "2026-01-02T03:04:05.678+01:00";
    a.metric_value = 1500.0;
    a.threshold = 1000.0;
    AlertEvent b;
    b.alert_type = AlertType::HighErrorRate;
    b.message = "q\"\\\n";
    b.timestamp = "t";
    b.metric_value = kInf;
    b.threshold = 0.05;
    EXPECT_EQ(alerts_to_json({}), "[]");
    EXPECT_EQ(alerts_to_json({a, b}),
              "[{\"alert_type\":\"HighLatency\",\"message\":\"Read operation took 1500.00ms\","
              "\"timestamp\":\"2026-01-02T03:04:05.678+01:00\",\"metric_value\":1500.0,"
              "\"threshold\":1000.0},"
              "{\"alert_type\":\"HighErrorRate\",\"message\":\"q\\\"\\\\\\n\",\"timestamp\":\"t\","
              "\"metric_value\":null,\"threshold\":0.05}]");

    const char* names[] = {"HighLatency", "LowThroughput", "HighMemoryUsage", "HighErrorRate",
                           "LowCacheHitRate"};
    for (int i = 0; i < 5; ++i)
        EXPECT_STREQ(alert_type_name(static_cast<AlertType>(i)), names[i]);

    // A real alert, whole.
    PerformanceMonitor m;
    ASSERT_OK(m.update_memory(2000000000, 0));
    std::vector<AlertEvent> alerts = alerts_of(m);
    ASSERT_EQ(alerts.size(), 1u);
    EXPECT_EQ(alerts_to_json(alerts),
              "[{\"alert_type\":\"HighMemoryUsage\",\"message\":\"Memory usage: 2000.00MB\","
              "\"timestamp\":\"" + alerts[0].timestamp +
                  "\",\"metric_value\":2000000000.0,\"threshold\":1000000000.0}]");
}

// --- exports ---

TEST(MonitorExports, NewMonitorTextsWhole) {
    PerformanceMonitor m;
    const std::string ts = metrics_of(m).timestamp;
    EXPECT_EQ(json_of(m),
              "{\n"
              "  \"total_bytes_read\": 0,\n"
              "  \"total_bytes_written\": 0,\n"
              "  \"read_operations\": 0,\n"
              "  \"write_operations\": 0,\n"
              "  \"avg_read_latency_ms\": 0.00,\n"
              "  \"avg_write_latency_ms\": 0.00,\n"
              "  \"read_throughput_mbps\": 0.00,\n"
              "  \"write_throughput_mbps\": 0.00,\n"
              "  \"compression_ratio\": 0.00,\n"
              "  \"peak_memory_bytes\": 0,\n"
              "  \"current_memory_bytes\": 0,\n"
              "  \"rows_processed\": 0,\n"
              "  \"columns_processed\": 0,\n"
              "  \"cache_hit_rate\": 0.00,\n"
              "  \"active_operations\": 0,\n"
              "  \"total_errors\": 0,\n"
              "  \"timestamp\": \"" + ts + "\"\n"
              "}");
    EXPECT_EQ(prometheus_of(m),
              "varn_total_bytes_read_total {} 0\n"
              "varn_total_bytes_written_total {} 0\n"
              "varn_read_operations_total {} 0\n"
              "varn_write_operations_total {} 0\n"
              "varn_avg_read_latency_ms {} 0.00\n"
              "varn_avg_write_latency_ms {} 0.00\n"
              "varn_compression_ratio_percent {} 0.00\n"
              "varn_current_memory_bytes {} 0\n"
              "varn_cache_hit_rate {} 0.00\n"
              "varn_total_errors {} 0\n");
}

TEST(MonitorExports, FilledMonitorTextsWhole) {
    PerformanceMonitor m;
    ASSERT_OK(m.record_read(2000000, 500.0));
    ASSERT_OK(m.record_write(3000000, 250.0));
    ASSERT_OK(m.record_write(1000000, 750.0));
    ASSERT_OK(m.record_compression(1000, 250));
    ASSERT_OK(m.update_memory(5, 9));
    ASSERT_OK(m.record_rows_columns(18446744073709551615ull, 7));
    ASSERT_OK(m.update_cache_stats(0.125));
    ASSERT_OK(m.record_error());
    const std::string ts = metrics_of(m).timestamp;
    EXPECT_EQ(json_of(m),
              "{\n"
              "  \"total_bytes_read\": 2000000,\n"
              "  \"total_bytes_written\": 4000000,\n"
              "  \"read_operations\": 1,\n"
              "  \"write_operations\": 2,\n"
              "  \"avg_read_latency_ms\": 500.00,\n"
              "  \"avg_write_latency_ms\": 500.00,\n"
              "  \"read_throughput_mbps\": 4.00,\n"
              "  \"write_throughput_mbps\": 4.00,\n"
              "  \"compression_ratio\": 75.00,\n"
              "  \"peak_memory_bytes\": 9,\n"
              "  \"current_memory_bytes\": 5,\n"
              "  \"rows_processed\": 18446744073709551615,\n"
              "  \"columns_processed\": 7,\n"
              "  \"cache_hit_rate\": 0.12,\n"
              "  \"active_operations\": 0,\n"
              "  \"total_errors\": 1,\n"
              "  \"timestamp\": \"" + ts + "\"\n"
              "}");
    EXPECT_EQ(prometheus_of(m),
              "varn_total_bytes_read_total {} 2000000\n"
              "varn_total_bytes_written_total {} 4000000\n"
              "varn_read_operations_total {} 1\n"
              "varn_write_operations_total {} 2\n"
              "varn_avg_read_latency_ms {} 500.00\n"
              "varn_avg_write_latency_ms {} 500.00\n"
              "varn_compression_ratio_percent {} 75.00\n"
              "varn_current_memory_bytes {} 5\n"
              "varn_cache_hit_rate {} 0.12\n"
              "varn_total_errors {} 1\n");
}

TEST(MonitorExports, Fixed2ValuesInTheTexts) {
    struct Case {
        double latency;
        const char* text;
    } cases[] = {{2.675, "2.67"}, {2.345, "2.35"}, {0.125, "0.12"}, {kInf, "inf"},
                 {-kInf, "-inf"}, {kNaN, "NaN"},   {-3.5, "-3.50"}};
    for (const Case& c : cases) {
        PerformanceMonitor m;
        ASSERT_OK(m.record_read(1, c.latency));
        ASSERT_OK(m.update_cache_stats(c.latency));
        std::string json = json_of(m);
        EXPECT_EQ(json_value(json, "avg_read_latency_ms"), c.text);
        EXPECT_EQ(json_value(json, "cache_hit_rate"), c.text);
        EXPECT_NE(prometheus_of(m).find(std::string("\nvarn_avg_read_latency_ms {} ") + c.text +
                                        "\n"),
                  std::string::npos);
    }

    PerformanceMonitor nan_ratio;
    ASSERT_OK(nan_ratio.record_compression(0, 0));
    ASSERT_OK(nan_ratio.record_read(0, 0.0));
    std::string json = json_of(nan_ratio);
    EXPECT_EQ(json_value(json, "compression_ratio"), "NaN");
    EXPECT_EQ(json_value(json, "read_throughput_mbps"), "NaN");
    EXPECT_NE(prometheus_of(nan_ratio).find("\nvarn_compression_ratio_percent {} NaN\n"),
              std::string::npos);
}

TEST(MonitorExports, ExportsDoNotChangeTheMetrics) {
    PerformanceMonitor m;
    ASSERT_OK(m.record_read(7, 3.0));
    std::string a = json_of(m), p = prometheus_of(m);
    EXPECT_EQ(json_of(m), a);
    EXPECT_EQ(prometheus_of(m), p);
    EXPECT_EQ(metrics_of(m).read_operations, 1u);
}

// --- poisoned records ---

TEST(MonitorPoison, FaultUnderAlertsLock) {
    PerformanceMonitor m;
    ASSERT_OK(m.record_read(10, 5.0));
    Status fault = Peer::alerts(m, [](std::vector<AlertEvent>&) -> Status {
        throw std::bad_alloc();
    });
    ASSERT_TRUE(fault.failed());
    EXPECT_NE(fault.message().find("alerts"), std::string::npos) << fault.message();

    EXPECT_TRUE(m.get_alerts().failed());
    EXPECT_TRUE(m.clear_alerts().failed());
    // An operation that needs no alert still works; one that raises an alert
    // fails and records nothing.
    ASSERT_OK(m.record_read(10, 5.0));
    Status slow = m.record_read(1000, 1500.0);
    EXPECT_TRUE(slow.failed());
    EXPECT_NE(slow.message().find("poisoned"), std::string::npos) << slow.message();
    EXPECT_TRUE(m.update_memory(2000000000, 0).failed());
    EXPECT_TRUE(m.record_error().failed());  // rate above 0.05 with 2 reads
    VarnMetrics v = metrics_of(m);
    EXPECT_EQ(v.read_operations, 2u);
    EXPECT_EQ(v.total_bytes_read, 20u);
    EXPECT_EQ(v.avg_read_latency_ms, 5.0);
    EXPECT_EQ(v.current_memory_bytes, 0u);
    EXPECT_EQ(v.total_errors, 0u);
    EXPECT_TRUE(m.export_json().is_ok());
    EXPECT_TRUE(m.export_prometheus().is_ok());
}

TEST(MonitorPoison, FaultUnderMetricsLock) {
    PerformanceMonitor m;
    ASSERT_OK(m.record_read(1, 1500.0));
    Status fault = Peer::metrics(m, [](VarnMetrics& v) -> Status {
        v.read_operations = 99;  // a half-done update is never seen again
        throw std::bad_alloc();
    });
    ASSERT_TRUE(fault.failed());
    EXPECT_NE(fault.message().find("metrics"), std::string::npos) << fault.message();

    std::vector<Status> failed;
    failed.push_back(m.record_read(1, 1.0));
    failed.push_back(m.record_write(1, 1.0));
    failed.push_back(m.record_compression(1, 1));
    failed.push_back(m.record_rows_columns(1, 1));
    failed.push_back(m.update_memory(1, 1));
    failed.push_back(m.update_cache_stats(0.9));
    failed.push_back(m.record_error());
    failed.push_back(m.get_metrics().status());
    failed.push_back(m.export_json().status());
    failed.push_back(m.export_prometheus().status());
    for (size_t i = 0; i < failed.size(); ++i) EXPECT_TRUE(failed[i].failed()) << i;

    // The alert list is a separate record and stays usable.
    EXPECT_EQ(alerts_of(m).size(), 1u);
    ASSERT_OK(m.clear_alerts());
    EXPECT_TRUE(alerts_of(m).empty());
}

}  // namespace
}  // namespace varn
