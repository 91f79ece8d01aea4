#include "common/memory_budget.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

namespace varn {

uint64_t default_memory_budget() {
    constexpr uint64_t kFloor = uint64_t{64} << 20;
    uint64_t budget = UINT64_MAX;
    const long pages = ::sysconf(_SC_PHYS_PAGES);
    const long page = ::sysconf(_SC_PAGE_SIZE);
    if (pages > 0 && page > 0) budget = static_cast<uint64_t>(pages) * static_cast<uint64_t>(page) / 8;
    for (int resource : {RLIMIT_AS, RLIMIT_DATA}) {
        struct rlimit lim {};
        if (::getrlimit(resource, &lim) == 0 && lim.rlim_cur != RLIM_INFINITY)
            budget = std::min<uint64_t>(budget, static_cast<uint64_t>(lim.rlim_cur) / 2);
    }
    if (budget == UINT64_MAX) budget = uint64_t{1} << 30;
    return std::max(budget, kFloor);
}

Result<uint64_t> parse_memory_size(std::string_view text) {
    auto bad = [&] {
        return Status::invalid_input("invalid size '" + std::string(text) +
                             "' (expected a number of bytes, optionally with K, M, G or T, e.g. 512M)");
    };
    size_t i = 0;
    uint64_t n = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
        const uint64_t d = static_cast<uint64_t>(text[i] - '0');
        if (n > (UINT64_MAX - d) / 10) return bad();
        n = n * 10 + d;
        ++i;
    }
    if (i == 0) return bad();
    std::string_view unit = text.substr(i);
    unsigned shift = 0;
    if (!unit.empty()) {
        switch (unit[0]) {
            case 'k': case 'K': shift = 10; break;
            case 'm': case 'M': shift = 20; break;
            case 'g': case 'G': shift = 30; break;
            case 't': case 'T': shift = 40; break;
            case 'b': case 'B': break;
            default: return bad();
        }
        if (shift != 0) unit.remove_prefix(1);
        if (unit != "" && unit != "B" && unit != "iB" && unit != "b") return bad();
    }
    if (shift != 0 && n > (UINT64_MAX >> shift)) return bad();
    n <<= shift;
    if (n == 0) return Status::invalid_input("invalid size '" + std::string(text) + "' (must be above 0)");
    return n;
}

std::string memory_size_text(uint64_t bytes) {
    std::string out = std::to_string(bytes) + " bytes";
    char buf[32];
    if (bytes >= (uint64_t{1} << 30)) {
        std::snprintf(buf, sizeof buf, " (%.1f GiB)", static_cast<double>(bytes) / 1073741824.0);
        out += buf;
    } else if (bytes >= (uint64_t{1} << 20)) {
        std::snprintf(buf, sizeof buf, " (%.1f MiB)", static_cast<double>(bytes) / 1048576.0);
        out += buf;
    }
    return out;
}

}  // namespace varn
