// varn verify: every check the file allows (verify_file in the reader),
// stopping at the first fault, which it names. Exit status 0 only when all
// checks hold.
#include <memory>
#include <string>

#include "cli.h"
#include "common/text_format.h"
#include "format/file/chunk_pipeline.h"

namespace varn::cli {

namespace {

constexpr const char* kCommand = "verify";

constexpr const char* kHelp =
    "usage: varn verify FILE [--key-file PATH] [--quiet] [--max-memory SIZE]\n"
    "\n"
    "Checks every byte that can be checked: the magic, version and reserved\n"
    "bytes; the header's row and chunk totals against the index; the schema;\n"
    "the dictionary block; the trailer; that the column records follow one\n"
    "another without gap or overlap up to the index block; every record's\n"
    "length field and CRC-32; that every block decompresses and every payload\n"
    "decodes to exactly its chunk's row count; and that the index statistics\n"
    "(null counts, text minimum and maximum, Bloom filters, integer minimum and\n"
    "maximum) agree with the decoded values. Stops at the first fault and names\n"
    "it (chunk, column, file offset). Exit status 0 only if all checks hold,\n"
    "1 on a fault, 2 on wrong usage.\n"
    "\n"
    "options:\n"
    "  --key-file PATH   key of the encrypted columns (32 raw bytes or 64 hex\n"
    "                    digits); a key that fails the file's key check value\n"
    "                    is refused at once (exit 1); without a key their\n"
    "                    payloads are checked up to decompression only, and\n"
    "                    the report says so\n"
    "  --quiet           print nothing when the file is sound\n"
    "  --max-memory SIZE the most memory one block or chunk of FILE may take\n"
    "                    (e.g. 512M, 2G; default an eighth of the physical memory):\n"
    "                    a file that would need more is refused as a fault\n";

constexpr OptionSpec kOptions[] = {{"key-file", true}, {"quiet", false}, {"max-memory", true}};
constexpr Command kSpec{kCommand, kHelp, kOptions, 1, "one FILE"};

std::string mib(uint64_t bytes) { return format_fixed(static_cast<double>(bytes) / 1048576.0, 1); }

}  // namespace

int run_verify(std::span<char* const> argv) {
    Args args;
    std::unique_ptr<VarnReader> file;
    if (auto done = open_command(kSpec, argv, args, file)) return *done;
    const std::string& path = args.positional[0];
    VarnReader& reader = *file;

    VerifyReport report;
    Status st = verify_file(reader, report, {}, available_cores());
    if (st.failed()) return failure(kCommand, path + ": " + st.message());
    if (!args.flag("quiet")) {
        std::string out = path + ": OK: " + std::to_string(reader.chunk_count()) + " chunks, " +
                          std::to_string(report.rows) + " rows, " +
                          std::to_string(reader.column_count()) + " columns; " +
                          std::to_string(report.records) + " records checked (" +
                          mib(report.compressed_bytes) + " MB compressed, " +
                          mib(report.payload_bytes) + " MB decoded)\n";
        if (report.encrypted_skipped) {
            out += path + ": note: the payloads of " + std::to_string(report.encrypted_skipped) +
                   " records of encrypted columns were checked up to decompression only (no "
                   "--key-file)\n";
        }
        print(out);
    }
    return kExitOk;
}

}  // namespace varn::cli
