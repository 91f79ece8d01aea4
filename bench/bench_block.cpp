// Throughput of the block compressor on realistic column payloads (raw text
// columns as the writer produces them: LEB128 length + bytes per cell, 65,536
// cells), beside zlib at levels 6 and 1 on the same bytes in the same run.
//
//   bench_block [seconds-per-measurement [column-name]]   (default 1.0, all columns)
#include <zlib.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "cpu_timing.h"
#include "format/block/block_compression.h"

using namespace varn;

namespace {

constexpr size_t kCells = 65536;

Bytes payload(const std::function<std::string(size_t)>& cell) {
    Bytes b;
    for (size_t i = 0; i < kCells; ++i) {
        std::string s = cell(i);
        put_leb128(b, s.size());
        b.insert(b.end(), s.begin(), s.end());
    }
    return b;
}

std::string pseudo_word(std::mt19937_64& rng) {
    static const char* syll[] = {"ka", "to", "ri", "an", "el", "mo", "su", "ne", "li", "ra", "de", "th",
                                 "or", "is", "en", "at", "ul", "ve", "co", "mi", "pa", "st", "er", "on"};
    std::string w;
    int n = 1 + static_cast<int>(rng() % 3);
    for (int i = 0; i < n; ++i) w += syll[rng() % std::size(syll)];
    return w;
}

struct Column {
    const char* name;
    Bytes data;
};

std::vector<Column> make_columns() {
    std::mt19937_64 rng(12345);
    std::vector<Column> cols;
    cols.push_back({"ids", payload([](size_t i) { return std::to_string(10000000 + i); })});

    long long t = 1700000000;
    cols.push_back({"timestamps", payload([&](size_t) {
                        t += static_cast<long long>(rng() % 90);
                        long long s = t % 86400;
                        char buf[32];
                        std::snprintf(buf, sizeof buf, "2024-%02lld-%02lld %02lld:%02lld:%02lld",
                                      1 + (t / 2592000) % 12, 1 + (t / 86400) % 28, s / 3600, (s / 60) % 60,
                                      s % 60);
                        return std::string(buf);
                    })});

    std::vector<std::string> cats;
    for (int i = 0; i < 40; ++i) cats.push_back(pseudo_word(rng));
    // Zipf-like choice among 40 categories.
    cols.push_back({"categories", payload([&](size_t) {
                        double u = std::uniform_real_distribution<double>(0, 1)(rng);
                        size_t k = static_cast<size_t>(std::pow(40.0, u)) - 1;
                        return cats[std::min<size_t>(k, cats.size() - 1)];
                    })});

    cols.push_back({"floats", payload([&](size_t) {
                        double v = std::normal_distribution<double>(500.0, 180.0)(rng);
                        char buf[32];
                        std::snprintf(buf, sizeof buf, "%.*f", 1 + static_cast<int>(rng() % 4), v);
                        return std::string(buf);
                    })});

    std::vector<std::string> vocab;
    for (int i = 0; i < 2000; ++i) vocab.push_back(pseudo_word(rng));
    cols.push_back({"free text", payload([&](size_t) {
                        std::string s;
                        int words = 4 + static_cast<int>(rng() % 14);
                        for (int w = 0; w < words; ++w) {
                            double u = std::uniform_real_distribution<double>(0, 1)(rng);
                            size_t k = static_cast<size_t>(std::pow(2000.0, u)) - 1;
                            if (w) s += ' ';
                            s += vocab[std::min<size_t>(k, vocab.size() - 1)];
                        }
                        s += '.';
                        return s;
                    })});

    cols.push_back({"uuids", payload([&](size_t) {
                        char buf[40];
                        uint64_t a = rng(), b = rng();
                        std::snprintf(buf, sizeof buf, "%08llx-%04llx-4%03llx-%04llx-%012llx",
                                      static_cast<unsigned long long>(a >> 32),
                                      static_cast<unsigned long long>((a >> 16) & 0xFFFF),
                                      static_cast<unsigned long long>(a & 0xFFF),
                                      static_cast<unsigned long long>(b >> 48),
                                      static_cast<unsigned long long>(b & 0xFFFFFFFFFFFFull));
                        return std::string(buf);
                    })});
    return cols;
}

// Runs fn for `seconds` of CPU time (at least 3 times); returns MB/s (10^6 bytes).
double measure(double seconds, size_t bytes, const std::function<void()>& fn) {
    return static_cast<double>(bytes) / varn_bench::seconds_per_run(seconds, fn) / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 1.0;
    const std::vector<Column> cols = make_columns();
    std::printf("%-11s %9s | %9s %9s %9s | %9s %9s %9s | %6s %6s  tag\n", "column", "bytes", "varn", "zlib6",
                "zlib1", "varn MB/s", "z6 MB/s", "z1 MB/s", "v/z6", "v/z1");
    BlockCompressor compressor;
    Bytes out;
    size_t total_in = 0, total_v = 0, total_z6 = 0, total_z1 = 0;
    double time_v = 0, time_z6 = 0, time_z1 = 0;
    for (const Column& c : cols) {
        if (argc > 2 && std::string(argv[2]) != c.name) continue;
        const Bytes& in = c.data;
        std::vector<Bytef> z(compressBound(static_cast<uLong>(in.size())));
        uLongf zlen6 = 0, zlen1 = 0;
        auto zlib = [&](int level, uLongf& len) {
            len = static_cast<uLongf>(z.size());
            if (compress2(z.data(), &len, in.data(), static_cast<uLong>(in.size()), level) != Z_OK) std::abort();
        };
        double v = measure(seconds, in.size(), [&] { compressor.compress(as_bytes(in), out); });
        const size_t vlen = out.size();
        const int tag = out[0];
        Bytes back;
        if (decompress_block(as_bytes(out), back, in.size()).failed() || back != in) {
            std::fprintf(stderr, "round trip failed on %s\n", c.name);
            return 1;
        }
        double z6 = measure(seconds, in.size(), [&] { zlib(6, zlen6); });
        double z1 = measure(seconds, in.size(), [&] { zlib(1, zlen1); });
        std::printf("%-11s %9zu | %9zu %9lu %9lu | %9.1f %9.1f %9.1f | %6.2f %6.2f  %d\n", c.name, in.size(), vlen,
                    static_cast<unsigned long>(zlen6), static_cast<unsigned long>(zlen1), v, z6, z1, v / z6, v / z1,
                    tag);
        total_in += in.size();
        total_v += vlen;
        total_z6 += zlen6;
        total_z1 += zlen1;
        time_v += static_cast<double>(in.size()) / v;
        time_z6 += static_cast<double>(in.size()) / z6;
        time_z1 += static_cast<double>(in.size()) / z1;
    }
    const double all = static_cast<double>(total_in);
    std::printf("%-11s %9zu | %9zu %9zu %9zu | %9.1f %9.1f %9.1f | %6.2f %6.2f\n", "all", total_in, total_v, total_z6,
                total_z1, all / time_v, all / time_z6, all / time_z1, time_z6 / time_v, time_z1 / time_v);
    return 0;
}
