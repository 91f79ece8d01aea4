#include "common/temp_names.h"

#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>

namespace varn {

namespace {

constexpr const char kMark[] = ".varn-";
constexpr const char kSuffix[] = ".tmp";
constexpr size_t kRandomLetters = 6;
constexpr const char kLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";

void split_path(const std::string& path, std::string& dir, std::string& base) {
    const size_t slash = path.rfind('/');
    dir = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    base = slash == std::string::npos ? path : path.substr(slash + 1);
}

uint64_t mix(uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

bool is_hex_tag(const std::string& s) {
    if (s.size() != 8) return false;
    for (char c : s)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    return true;
}

bool is_letter_or_digit(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

}  // namespace

const std::string& temp_host_tag() {
    static const std::string tag = [] {
        char host[256] = {};
        if (::gethostname(host, sizeof host - 1) != 0) host[0] = '\0';
        uint32_t h = 2166136261u;
        for (const char* p = host; *p; ++p) {
            h ^= static_cast<uint8_t>(*p);
            h *= 16777619u;
        }
        char text[9];
        std::snprintf(text, sizeof text, "%08x", static_cast<unsigned>(h));
        return std::string(text);
    }();
    return tag;
}

std::string temp_path_for(const std::string& target, uint64_t salt) {
    static std::atomic<uint64_t> counter{0};
    std::string dir, base;
    split_path(target, dir, base);
    struct timespec now {};
    ::clock_gettime(CLOCK_REALTIME, &now);
    uint64_t r = mix(static_cast<uint64_t>(now.tv_nsec) ^ (static_cast<uint64_t>(now.tv_sec) << 30) ^
                     (static_cast<uint64_t>(::getpid()) << 40) ^ mix(salt) ^
                     mix(counter.fetch_add(1, std::memory_order_relaxed)));
    std::string random(kRandomLetters, 'x');
    for (char& c : random) {
        c = kLetters[r % (sizeof kLetters - 1)];
        r /= sizeof kLetters - 1;
    }
    return dir + "." + base + kMark + temp_host_tag() + "-" + std::to_string(::getpid()) + "-" + random + kSuffix;
}

bool parse_temp_name(const std::string& name, const std::string& target_base, std::string& host_tag, pid_t& pid) {
    // "." base ".varn-" TAG(8) "-" PID "-" RANDOM(6) ".tmp"
    const std::string head = "." + target_base + kMark;
    const size_t tail = 1 + kRandomLetters + (sizeof kSuffix - 1);
    if (name.size() < head.size() + 8 + 1 + 1 + tail || name.compare(0, head.size(), head) != 0) return false;
    if (name.compare(name.size() - (sizeof kSuffix - 1), std::string::npos, kSuffix) != 0) return false;
    const std::string tag = name.substr(head.size(), 8);
    if (!is_hex_tag(tag) || name[head.size() + 8] != '-') return false;
    const size_t pid_at = head.size() + 9;
    const size_t pid_end = name.size() - tail;
    if (name[pid_end] != '-') return false;
    for (size_t i = pid_end + 1; i < pid_end + 1 + kRandomLetters; ++i)
        if (!is_letter_or_digit(name[i])) return false;
    // The pid: decimal digits without a leading zero, a positive pid_t.
    if (pid_end <= pid_at || pid_end - pid_at > 10 || name[pid_at] == '0') return false;
    long long value = 0;
    for (size_t i = pid_at; i < pid_end; ++i) {
        if (name[i] < '0' || name[i] > '9') return false;
        value = value * 10 + (name[i] - '0');
    }
    if (value > INT_MAX) return false;
    host_tag = tag;
    pid = static_cast<pid_t>(value);
    return true;
}

int remove_stale_temps(const std::string& target) {
    std::string dir, base;
    split_path(target, dir, base);
    if (base.empty()) return 0;
    DIR* d = ::opendir(dir.empty() ? "." : dir.c_str());
    if (d == nullptr) return 0;
    const pid_t self = ::getpid();
    int removed = 0;
    while (const struct dirent* e = ::readdir(d)) {
        const std::string name = e->d_name;
        std::string tag;
        pid_t pid = 0;
        if (!parse_temp_name(name, base, tag, pid) || tag != temp_host_tag() || pid == self) continue;
        if (::kill(pid, 0) == 0 || errno != ESRCH) continue;  // running, or not ours to judge
        const std::string path = dir + name;
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
        if (::unlink(path.c_str()) == 0) ++removed;
    }
    ::closedir(d);
    return removed;
}

}  // namespace varn
