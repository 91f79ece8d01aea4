// Decode throughput of the block decoder on the column records of real VARN
// files: every payload is read once, compressed again (compress_block is a
// pure function, so this is the block the writer stored) and then decoded
// over and over. Reports MB/s of decoded payload per block form, in CPU time;
// for the forms that code an LZ stream, also the coder stage alone (MB/s of
// the LZ stream it yields).
//
//   bench_block_decode [--seconds S] FILE.varn...
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "cpu_timing.h"
#include "format/block/block_compression.h"
#include "format/file/reader.h"

using namespace varn;

namespace {

const char* tag_name(int tag) {
    static const char* names[] = {"lz", "lz+huffman", "stored", "huffman", "range", "lz+range"};
    return tag >= 0 && tag < 6 ? names[tag] : "?";
}

struct Block {
    Bytes block;
    size_t size;
};

}  // namespace

int main(int argc, char** argv) {
    double seconds = 1.0;
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) {
            seconds = std::atof(argv[++i]);
        } else {
            files.emplace_back(argv[i]);
        }
    }
    if (files.empty()) {
        std::fprintf(stderr, "usage: bench_block_decode [--seconds S] FILE.varn...\n");
        return 2;
    }
    std::printf("%-28s %-11s %7s %10s %9s\n", "file", "form", "blocks", "bytes", "MB/s");
    for (const std::string& path : files) {
        auto opened = VarnReader::open(path);
        if (!opened.is_ok()) {
            std::fprintf(stderr, "%s: %s\n", path.c_str(), opened.status().message().c_str());
            return 1;
        }
        VarnReader& r = *opened.value();
        std::map<int, std::vector<Block>> by_tag;
        Bytes payload;
        BlockCompressor compressor;
        for (size_t chunk = 0; chunk < r.chunk_count(); ++chunk) {
            for (size_t col = 0; col < r.column_count(); ++col) {
                if (r.read_payload(chunk, col, payload).failed() || payload.empty()) continue;
                Block b;
                compressor.compress(as_bytes(payload), b.block);
                b.size = payload.size();
                by_tag[b.block[0]].push_back(std::move(b));
            }
        }
        const char* base = std::strrchr(path.c_str(), '/');
        base = base ? base + 1 : path.c_str();
        Bytes out, scratch;
        size_t all_bytes = 0;
        double all_time = 0;
        auto fail = [&] {
            std::fprintf(stderr, "%s: a block does not decode\n", base);
            std::exit(1);
        };
        for (const auto& [tag, blocks] : by_tag) {
            size_t bytes = 0;
            for (const Block& b : blocks) bytes += b.size;
            const double t = varn_bench::seconds_per_run(seconds, [&] {
                for (const Block& b : blocks) {
                    if (decompress_block(as_bytes(b.block), out, b.size, scratch).failed() ||
                        out.size() != b.size)
                        fail();
                }
            });
            std::printf("%-28s %-11s %7zu %10zu %9.1f\n", base, tag_name(tag), blocks.size(), bytes,
                        static_cast<double>(bytes) / t / 1e6);
            all_bytes += bytes;
            all_time += t;
            if (tag != static_cast<int>(BlockTag::LzHuffman) && tag != static_cast<int>(BlockTag::LzRange))
                continue;
            size_t stream_bytes = 0;
            const double tc = varn_bench::seconds_per_run(seconds, [&] {
                stream_bytes = 0;
                for (const Block& b : blocks) {
                    const ByteView coded = as_bytes(b.block).subspan(1);
                    const Status st = tag == static_cast<int>(BlockTag::LzHuffman)
                                          ? huffman_decompress(coded, scratch, 5 * b.size)
                                          : range_decompress(coded, scratch, 5 * b.size);
                    if (st.failed()) fail();
                    stream_bytes += scratch.size();
                }
            });
            std::printf("%-28s %-11s %7s %10zu %9.1f\n", base,
                        tag == static_cast<int>(BlockTag::LzHuffman) ? " huffman" : " range", "",
                        stream_bytes, static_cast<double>(stream_bytes) / tc / 1e6);
        }
        std::printf("%-28s %-11s %7s %10zu %9.1f\n", base, "all", "", all_bytes,
                    static_cast<double>(all_bytes) / all_time / 1e6);
    }
    return 0;
}
