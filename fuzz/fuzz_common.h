// Shared pieces of the fuzz targets: a checked assertion that libFuzzer
// reports as a crash, a private scratch directory for targets that must go
// through files (the reader and the converter open paths), and a strict
// UTF-8 decoder with White_Space trimming that the CSV target uses to compute
// the expected cells on its own, without the converter's scanning code.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

// A broken property: print what and where, then abort so libFuzzer saves the
// input as a crash.
#define FUZZ_CHECK(cond, ...)                                                  \
    do {                                                                       \
        if (!(cond)) {                                                         \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            std::fprintf(stderr, "  " __VA_ARGS__);                            \
            std::fprintf(stderr, "\n");                                        \
            std::abort();                                                      \
        }                                                                      \
    } while (0)

namespace fuzz {

// One directory per process, removed with its files at exit. It is made
// inside $VARN_FUZZ_SCRATCH when that is set (run.sh points it at a directory
// it removes afterwards, which also takes what a crashed process left), else
// in /dev/shm when writable, else in $TMPDIR or /tmp. Targets reuse fixed
// names inside it, so a process leaves at most a few small files behind.
class ScratchDir {
public:
    static ScratchDir& get() {
        static ScratchDir dir;
        return dir;
    }
    std::string path(const char* name) const { return dir_ + "/" + name; }
    ~ScratchDir() {
        for (const char* name : kNames) ::unlink(path(name).c_str());
        ::rmdir(dir_.c_str());
    }

    // File names the targets use; listed so the destructor can remove them.
    static constexpr const char* kNames[] = {"input.varn", "input.csv", "output.varn"};

private:
    ScratchDir() {
        const char* base = std::getenv("VARN_FUZZ_SCRATCH");
        if (!base || !*base) base = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : nullptr;
        if (!base) base = std::getenv("TMPDIR");
        if (!base || !*base) base = "/tmp";
        std::string templ = std::string(base) + "/varn-fuzz-XXXXXX";
        if (!::mkdtemp(templ.data())) {
            std::fprintf(stderr, "cannot create a scratch directory in %s: %s\n", base,
                         std::strerror(errno));
            std::abort();
        }
        dir_ = templ;
    }
    std::string dir_;
};

// Replaces the file at `path` with the given bytes; aborts on failure (the
// harness, not the code under test, is broken then).
inline void write_file(const std::string& path, const uint8_t* data, size_t size) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    FUZZ_CHECK(fd >= 0, "open %s: %s", path.c_str(), std::strerror(errno));
    size_t done = 0;
    while (done < size) {
        ssize_t w = ::write(fd, data + done, size - done);
        if (w < 0 && errno == EINTR) continue;
        FUZZ_CHECK(w > 0, "write %s: %s", path.c_str(), std::strerror(errno));
        done += static_cast<size_t>(w);
    }
    ::close(fd);
}

// ---------------------------------------------------------------------------
// UTF-8 and White_Space, written from the definitions (RFC 3629 and the
// Unicode White_Space property), independently of the converter.

// Decodes one code point at s[i], advancing i; false for ill-formed UTF-8
// (bad lead or continuation bytes, truncation, overlongs, surrogates, values
// above U+10FFFF).
inline bool decode_utf8(std::string_view s, size_t& i, uint32_t& cp) {
    const auto byte = [&](size_t k) { return static_cast<uint8_t>(s[k]); };
    const uint8_t b0 = byte(i);
    size_t len;
    uint32_t min;
    if (b0 < 0x80) {
        cp = b0;
        ++i;
        return true;
    } else if (b0 >= 0xC0 && b0 < 0xE0) {
        len = 2, min = 0x80, cp = b0 & 0x1Fu;
    } else if (b0 >= 0xE0 && b0 < 0xF0) {
        len = 3, min = 0x800, cp = b0 & 0x0Fu;
    } else if (b0 >= 0xF0 && b0 < 0xF8) {
        len = 4, min = 0x10000, cp = b0 & 0x07u;
    } else {
        return false;
    }
    if (s.size() - i < len) return false;
    for (size_t k = 1; k < len; ++k) {
        const uint8_t b = byte(i + k);
        if ((b & 0xC0) != 0x80) return false;
        cp = (cp << 6) | (b & 0x3Fu);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += len;
    return true;
}

inline bool utf8_well_formed(std::string_view s) {
    size_t i = 0;
    uint32_t cp;
    while (i < s.size()) {
        if (!decode_utf8(s, i, cp)) return false;
    }
    return true;
}

inline bool is_white_space(uint32_t cp) {
    return (cp >= 0x09 && cp <= 0x0D) || cp == 0x20 || cp == 0x85 || cp == 0xA0 || cp == 0x1680 ||
           (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 || cp == 0x2029 || cp == 0x202F ||
           cp == 0x205F || cp == 0x3000;
}

// `s` (well-formed UTF-8) without leading and trailing White_Space.
inline std::string_view trim_white_space(std::string_view s) {
    size_t begin = 0, end = 0;  // first and one-past-last non-space code point
    bool any = false;
    size_t i = 0;
    while (i < s.size()) {
        const size_t at = i;
        uint32_t cp = 0;
        if (!decode_utf8(s, i, cp)) return s;  // callers pass well-formed text
        if (is_white_space(cp)) continue;
        if (!any) begin = at;
        any = true;
        end = i;
    }
    return any ? s.substr(begin, end - begin) : std::string_view();
}

}  // namespace fuzz
