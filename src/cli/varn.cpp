// The varn command: convert CSV to VARN v2 and read VARN v2 files back.
// This file only dispatches to the subcommands; each lives in its own file.
#include <cstdio>
#include <new>
#include <span>
#include <string>

#include "cli.h"

namespace {

constexpr const char* kHelp =
    "usage: varn COMMAND [ARGS]\n"
    "\n"
    "Convert CSV text to the VARN v2 columnar format and read such files back.\n"
    "\n"
    "commands:\n"
    "  compress IN.csv OUT.varn   convert a CSV file (quoted fields, detected\n"
    "                             delimiter, lossless types; --plain: the\n"
    "                             output of compress_csv)\n"
    "  info FILE                  show the header, schema and per-column statistics\n"
    "  verify FILE                check every checksum, length, block and statistic\n"
    "  cat FILE                   write the file back as CSV text\n"
    "\n"
    "Run 'varn COMMAND --help' for the options of a command.\n"
    "Exit status: 0 success, 1 failure or a fault found, 2 wrong usage.\n";

int dispatch(int argc, char** argv) {
    using namespace varn::cli;
    if (argc < 2) {
        std::fputs(kHelp, stderr);
        return kExitUsage;
    }
    const std::string command = argv[1];
    const std::span<char* const> rest(argv + 2, static_cast<size_t>(argc - 2));
    if (command == "compress") return run_compress(rest);
    if (command == "info") return run_info(rest);
    if (command == "verify") return run_verify(rest);
    if (command == "cat") return run_cat(rest);
    if (command == "-h" || command == "--help" || command == "help") {
        print(kHelp);
        return kExitOk;
    }
    std::fprintf(stderr, "varn: unknown command '%s'\n\n%s", command.c_str(), kHelp);
    return kExitUsage;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace varn::cli;
    const char* command = argc >= 2 ? argv[1] : "";
    int rc;
    try {
        rc = dispatch(argc, argv);
    } catch (const std::bad_alloc&) {
        // Whatever was being built did not fit in memory: a failure, not an abort.
        std::fflush(stdout);
        return failure(command, "out of memory");
    }
    // What was printed must have reached standard output (a full disk, a closed pipe).
    if (const std::string& err = stdout_error(); !err.empty()) {
        failure(command, err);
        return rc == kExitOk ? kExitFailure : rc;
    }
    return rc;
}
