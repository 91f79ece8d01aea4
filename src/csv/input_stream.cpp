#include "csv/input_stream.h"

#include <bzlib.h>
#include <fcntl.h>
#include <iconv.h>
#include <lzma.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>
#include <zstd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>

#include "common/fd.h"
#include "common/os_error.h"

namespace varn {

namespace {

constexpr size_t kRawBuffer = 1u << 20;
constexpr uint8_t kGzipMagic[2] = {0x1F, 0x8B};
constexpr uint8_t kZstdMagic[4] = {0x28, 0xB5, 0x2F, 0xFD};
constexpr uint8_t kXzMagic[6] = {0xFD, '7', 'z', 'X', 'Z', 0x00};
// "BZh", the block size digit, then the magic of a first block or of the
// end of an empty stream: ten bytes no text file starts with by chance.
constexpr uint8_t kBzip2Block[6] = {0x31, 0x41, 0x59, 0x26, 0x53, 0x59};
constexpr uint8_t kBzip2End[6] = {0x17, 0x72, 0x45, 0x38, 0x50, 0x90};
constexpr size_t kMagicBytes = 10;

bool bzip2_magic(const uint8_t* p, size_t n) {
    return n >= kMagicBytes && p[0] == 'B' && p[1] == 'Z' && p[2] == 'h' && p[3] >= '1' && p[3] <= '9' &&
           (std::memcmp(p + 4, kBzip2Block, 6) == 0 || std::memcmp(p + 4, kBzip2End, 6) == 0);
}

// "UTF-8", "utf8", "utf_8": no transcoding needed.
bool names_utf8(const std::string& name) {
    std::string n;
    for (char c : name)
        if (c != '-' && c != '_') n += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return n == "utf8";
}

constexpr size_t kTranscodeIn = 1u << 16;
constexpr size_t kTranscodeOut = 1u << 18;

Status write_all(int fd, const uint8_t* p, size_t n) {
    while (n > 0) {
        ssize_t w = ::write(fd, p, n);
        if (w < 0 && errno == EINTR) continue;
        if (w < 0) return Status::io_error("Failed to spool the input: " + last_os_error());
        p += w;
        n -= static_cast<size_t>(w);
    }
    return Status::ok();
}

}  // namespace

const char* compression_name(InputCompression c) {
    switch (c) {
        case InputCompression::Gzip: return "gzip";
        case InputCompression::Zstd: return "zstd";
        case InputCompression::Bzip2: return "bzip2";
        case InputCompression::Xz: return "xz";
        default: return "";
    }
}

struct InputStream::Codec {
    z_stream z{};
    bool z_open = false;
    bool z_member_done = false;
    ZSTD_DCtx* zstd = nullptr;
    bz_stream bz{};
    bool bz_open = false;
    bool bz_stream_done = false;
    lzma_stream xz = LZMA_STREAM_INIT;
    bool xz_open = false;
    bool xz_done = false;
    ~Codec() {
        if (z_open) inflateEnd(&z);
        if (zstd) ZSTD_freeDCtx(zstd);
        if (bz_open) BZ2_bzDecompressEnd(&bz);
        if (xz_open) lzma_end(&xz);
    }
};

// iconv from the input's encoding to UTF-8, through two buffers: the
// decoded bytes waiting to be converted and the UTF-8 not yet handed out
// (so that a read of a few bytes never has to cut a character).
struct InputStream::Transcoder {
    iconv_t cd = reinterpret_cast<iconv_t>(-1);
    std::unique_ptr<uint8_t[]> in{new uint8_t[kTranscodeIn]};
    size_t in_pos = 0, in_end = 0;
    bool in_eof = false;
    bool flushed = false;
    std::unique_ptr<uint8_t[]> out{new uint8_t[kTranscodeOut]};
    size_t out_pos = 0, out_end = 0;
    uint64_t in_offset = 0;  // decoded bytes before in[0]
    uint64_t line = 1;       // the line the next output byte is on
    ~Transcoder() {
        if (cd != reinterpret_cast<iconv_t>(-1)) iconv_close(cd);
    }
};

Result<std::unique_ptr<InputStream>> InputStream::open(const std::string& path, const std::string& encoding) {
    if (path == "-") return from_fd(STDIN_FILENO, false, encoding);
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return Status::io_error("Cannot open " + path + ": " + last_os_error());
    return from_fd(fd, true, encoding);
}

Result<std::unique_ptr<InputStream>> InputStream::from_fd(int fd, bool owned, const std::string& encoding) {
    std::unique_ptr<InputStream> s(new InputStream());
    s->fd_ = fd;
    s->owned_ = owned;
    struct stat st;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        s->regular_ = true;
        s->file_size_ = static_cast<uint64_t>(st.st_size);
    }
    s->raw_.reset(new uint8_t[kRawBuffer]);
    Status started = s->start();
    if (started.failed()) return started;
    if (!encoding.empty()) {
        s->probed_ = true;  // the encoding is given: no byte-order mark decides it
        if (!names_utf8(encoding)) VARN_RETURN_IF_ERROR(s->start_transcoding(encoding));
    }
    return s;
}

Result<std::unique_ptr<InputStream>> InputStream::open_text_at(const std::string& path, uint64_t offset) {
    const int fd = open_fd(path.c_str(), O_RDONLY);
    if (fd < 0) return Status::io_error("Cannot open " + path + ": " + last_os_error());
    std::unique_ptr<InputStream> s(new InputStream());
    s->fd_ = fd;
    s->owned_ = true;
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        return Status::io_error("Cannot read " + path + " again: not a regular file");
    s->regular_ = true;
    s->file_size_ = static_cast<uint64_t>(st.st_size);
    if (::lseek(fd, static_cast<off_t>(offset), SEEK_SET) < 0)
        return Status::io_error("Cannot read " + path + ": " + last_os_error());
    s->raw_.reset(new uint8_t[kRawBuffer]);
    s->probed_ = true;
    return s;
}

InputStream::~InputStream() {
    if (owned_ && fd_ >= 0) ::close(fd_);
}

// Reads more raw bytes after raw_end_ (moving the unread ones to the front).
Status InputStream::fill_raw() {
    if (raw_pos_ > 0) {
        std::memmove(raw_.get(), raw_.get() + raw_pos_, raw_end_ - raw_pos_);
        raw_end_ -= raw_pos_;
        raw_pos_ = 0;
    }
    if (raw_end_ == kRawBuffer || raw_eof_) return Status::ok();
    ssize_t r;
    do {
        r = ::read(fd_, raw_.get() + raw_end_, kRawBuffer - raw_end_);
    } while (r < 0 && errno == EINTR);
    if (r < 0) return Status::io_error(last_os_error());
    if (r == 0) {
        raw_eof_ = true;
        return Status::ok();
    }
    if (spool_fd_ >= 0) VARN_RETURN_IF_ERROR(write_all(spool_fd_, raw_.get() + raw_end_, static_cast<size_t>(r)));
    raw_end_ += static_cast<size_t>(r);
    raw_read_ += static_cast<uint64_t>(r);
    return Status::ok();
}

// Reads the first bytes and picks the decompressor they call for.
Status InputStream::start() {
    while (raw_end_ < kMagicBytes && !raw_eof_) VARN_RETURN_IF_ERROR(fill_raw());
    const uint8_t* p = raw_.get();
    if (raw_end_ >= 2 && std::memcmp(p, kGzipMagic, 2) == 0) {
        compression_ = InputCompression::Gzip;
        codec_ = std::make_unique<Codec>();
        if (inflateInit2(&codec_->z, 15 + 16) != Z_OK) return Status::out_of_memory("Cannot start gzip decompression");
        codec_->z_open = true;
    } else if (raw_end_ >= 4 && std::memcmp(p, kZstdMagic, 4) == 0) {
        compression_ = InputCompression::Zstd;
        codec_ = std::make_unique<Codec>();
        codec_->zstd = ZSTD_createDCtx();
        if (!codec_->zstd) return Status::out_of_memory("Cannot start zstd decompression");
    } else if (bzip2_magic(p, raw_end_)) {
        compression_ = InputCompression::Bzip2;
        codec_ = std::make_unique<Codec>();
        if (BZ2_bzDecompressInit(&codec_->bz, 0, 0) != BZ_OK)
            return Status::out_of_memory("Cannot start bzip2 decompression");
        codec_->bz_open = true;
    } else if (raw_end_ >= 6 && std::memcmp(p, kXzMagic, 6) == 0) {
        compression_ = InputCompression::Xz;
        codec_ = std::make_unique<Codec>();
        if (lzma_stream_decoder(&codec_->xz, UINT64_MAX, LZMA_CONCATENATED) != LZMA_OK)
            return Status::out_of_memory("Cannot start xz decompression");
        codec_->xz_open = true;
    }
    return Status::ok();
}

Status InputStream::spool_to(int fd) {
    spool_fd_ = fd;
    return write_all(fd, raw_.get(), raw_end_);  // nothing has been consumed from raw_ yet
}

Result<size_t> InputStream::read_raw(uint8_t* dst, size_t n) {
    if (raw_pos_ == raw_end_) {
        raw_pos_ = raw_end_ = 0;
        if (raw_eof_) return size_t{0};
        // Large reads go straight to the caller's buffer.
        if (n >= kRawBuffer / 2 && spool_fd_ < 0) {
            ssize_t r;
            do {
                r = ::read(fd_, dst, n);
            } while (r < 0 && errno == EINTR);
            if (r < 0) return Status::io_error(last_os_error());
            if (r == 0) raw_eof_ = true;
            raw_read_ += static_cast<uint64_t>(r);
            return static_cast<size_t>(r);
        }
        VARN_RETURN_IF_ERROR(fill_raw());
        if (raw_pos_ == raw_end_) return size_t{0};
    }
    const size_t k = std::min(n, raw_end_ - raw_pos_);
    std::memcpy(dst, raw_.get() + raw_pos_, k);
    raw_pos_ += k;
    return k;
}

Result<size_t> InputStream::read_gzip(uint8_t* dst, size_t n) {
    z_stream& z = codec_->z;
    z.next_out = dst;
    z.avail_out = static_cast<uInt>(std::min<size_t>(n, 1u << 30));
    while (z.avail_out == std::min<size_t>(n, 1u << 30)) {
        if (raw_pos_ == raw_end_) {
            raw_pos_ = raw_end_ = 0;
            VARN_RETURN_IF_ERROR(fill_raw());
            if (raw_pos_ == raw_end_) {
                if (codec_->z_member_done) return size_t{0};
                return Status::invalid_input("The gzip input ends in the middle of its data");
            }
        }
        if (codec_->z_member_done) {
            // Another member follows (concatenated gzip files are one stream).
            if (inflateReset(&z) != Z_OK) return Status::internal("Cannot restart gzip decompression");
            codec_->z_member_done = false;
        }
        z.next_in = raw_.get() + raw_pos_;
        z.avail_in = static_cast<uInt>(raw_end_ - raw_pos_);
        int rc = inflate(&z, Z_NO_FLUSH);
        raw_pos_ = raw_end_ - z.avail_in;
        if (rc == Z_STREAM_END) {
            codec_->z_member_done = true;
        } else if (rc != Z_OK && rc != Z_BUF_ERROR) {
            return Status::invalid_input(std::string("The gzip input is corrupt: ") + (z.msg ? z.msg : "inflate failed"));
        }
    }
    return std::min<size_t>(n, 1u << 30) - z.avail_out;
}

Result<size_t> InputStream::read_zstd(uint8_t* dst, size_t n) {
    ZSTD_outBuffer out{dst, n, 0};
    size_t last = 0;  // 0 when the last call ended a frame
    while (out.pos == 0) {
        if (raw_pos_ == raw_end_) {
            raw_pos_ = raw_end_ = 0;
            VARN_RETURN_IF_ERROR(fill_raw());
            if (raw_pos_ == raw_end_) {
                if (last == 0 && !zstd_mid_frame_) return size_t{0};
                return Status::invalid_input("The zstd input ends in the middle of a frame");
            }
        }
        ZSTD_inBuffer in{raw_.get() + raw_pos_, raw_end_ - raw_pos_, 0};
        last = ZSTD_decompressStream(codec_->zstd, &out, &in);
        raw_pos_ += in.pos;
        if (ZSTD_isError(last))
            return Status::invalid_input(std::string("The zstd input is corrupt: ") + ZSTD_getErrorName(last));
        zstd_mid_frame_ = last != 0;
    }
    return out.pos;
}

Result<size_t> InputStream::read_bzip2(uint8_t* dst, size_t n) {
    bz_stream& bz = codec_->bz;
    const unsigned want = static_cast<unsigned>(std::min<size_t>(n, 1u << 30));
    bz.next_out = reinterpret_cast<char*>(dst);
    bz.avail_out = want;
    while (bz.avail_out == want) {
        if (raw_pos_ == raw_end_) {
            raw_pos_ = raw_end_ = 0;
            VARN_RETURN_IF_ERROR(fill_raw());
            if (raw_pos_ == raw_end_) {
                if (codec_->bz_stream_done) return size_t{0};
                return Status::invalid_input("The bzip2 input ends in the middle of its data");
            }
        }
        if (codec_->bz_stream_done) {
            // Another stream follows (concatenated bzip2 files are one input).
            BZ2_bzDecompressEnd(&bz);
            codec_->bz_open = false;
            bz = bz_stream{};
            if (BZ2_bzDecompressInit(&bz, 0, 0) != BZ_OK)
                return Status::out_of_memory("Cannot restart bzip2 decompression");
            codec_->bz_open = true;
            codec_->bz_stream_done = false;
            bz.next_out = reinterpret_cast<char*>(dst);
            bz.avail_out = want;
        }
        bz.next_in = reinterpret_cast<char*>(raw_.get() + raw_pos_);
        bz.avail_in = static_cast<unsigned>(raw_end_ - raw_pos_);
        const int rc = BZ2_bzDecompress(&bz);
        raw_pos_ = raw_end_ - bz.avail_in;
        if (rc == BZ_STREAM_END) {
            codec_->bz_stream_done = true;
            if (bz.avail_out != want) break;
        } else if (rc != BZ_OK) {
            return Status::invalid_input("The bzip2 input is corrupt (error " + std::to_string(rc) + ")");
        }
    }
    return want - bz.avail_out;
}

Result<size_t> InputStream::read_xz(uint8_t* dst, size_t n) {
    lzma_stream& xz = codec_->xz;
    if (codec_->xz_done) return size_t{0};
    xz.next_out = dst;
    xz.avail_out = n;
    while (xz.avail_out == n) {
        if (raw_pos_ == raw_end_ && !raw_eof_) {
            raw_pos_ = raw_end_ = 0;
            VARN_RETURN_IF_ERROR(fill_raw());
        }
        xz.next_in = raw_.get() + raw_pos_;
        xz.avail_in = raw_end_ - raw_pos_;
        const lzma_ret rc = lzma_code(&xz, raw_eof_ && raw_pos_ == raw_end_ ? LZMA_FINISH : LZMA_RUN);
        raw_pos_ = raw_end_ - xz.avail_in;
        if (rc == LZMA_STREAM_END) {
            codec_->xz_done = true;
            break;
        }
        if (rc == LZMA_BUF_ERROR && raw_eof_)
            return Status::invalid_input("The xz input ends in the middle of its data");
        if (rc == LZMA_MEM_ERROR) return Status::out_of_memory("Out of memory in xz decompression");
        if (rc != LZMA_OK)
            return Status::invalid_input("The xz input is corrupt (error " + std::to_string(static_cast<int>(rc)) + ")");
    }
    return n - xz.avail_out;
}

Result<size_t> InputStream::read_decoded(uint8_t* dst, size_t n) {
    switch (compression_) {
        case InputCompression::Gzip: return read_gzip(dst, n);
        case InputCompression::Zstd: return read_zstd(dst, n);
        case InputCompression::Bzip2: return read_bzip2(dst, n);
        case InputCompression::Xz: return read_xz(dst, n);
        default: return read_raw(dst, n);
    }
}

Status InputStream::start_transcoding(const std::string& encoding) {
    transcoder_ = std::make_unique<Transcoder>();
    transcoder_->cd = iconv_open("UTF-8", encoding.c_str());
    if (transcoder_->cd == reinterpret_cast<iconv_t>(-1)) {
        transcoder_.reset();
        if (errno == EINVAL)
            return Status::invalid_input("Unknown encoding '" + encoding +
                                         "' (names as iconv knows them: latin1, cp1252, shift_jis, utf-16, ...)");
        return Status::io_error("Cannot transcode from " + encoding + ": " + last_os_error());
    }
    encoding_ = encoding;
    return Status::ok();
}

// Reads up to the first four bytes of text: a UTF-32 or UTF-16 byte-order
// mark there starts transcoding from that encoding (the mark itself is
// dropped); any other text is handed out as it is.
Result<size_t> InputStream::read_first(uint8_t* dst, size_t n) {
    probed_ = true;
    if (n < 4) return read_decoded(dst, n);
    size_t got = 0;
    while (got < 4) {
        Result<size_t> r = read_decoded(dst + got, 4 - got);
        if (r.failed()) return r;
        if (r.value() == 0) break;
        got += r.value();
    }
    const char* encoding = nullptr;
    size_t mark = 0;
    if (got >= 4 && std::memcmp(dst, "\xFF\xFE\x00\x00", 4) == 0) {
        encoding = "UTF-32LE", mark = 4;
    } else if (got >= 4 && std::memcmp(dst, "\x00\x00\xFE\xFF", 4) == 0) {
        encoding = "UTF-32BE", mark = 4;
    } else if (got >= 2 && dst[0] == 0xFF && dst[1] == 0xFE) {
        encoding = "UTF-16LE", mark = 2;
    } else if (got >= 2 && dst[0] == 0xFE && dst[1] == 0xFF) {
        encoding = "UTF-16BE", mark = 2;
    }
    if (!encoding) return got;
    VARN_RETURN_IF_ERROR(start_transcoding(encoding));
    Transcoder& t = *transcoder_;
    std::memcpy(t.in.get(), dst + mark, got - mark);
    t.in_end = got - mark;
    t.in_offset = mark;
    return read_transcoded(dst, n);
}

Result<size_t> InputStream::read_transcoded(uint8_t* dst, size_t n) {
    Transcoder& t = *transcoder_;
    while (t.out_pos == t.out_end) {
        if (t.flushed) return size_t{0};
        t.out_pos = t.out_end = 0;
        // Keep the input buffer full enough to hold any whole character.
        if (!t.in_eof && t.in_end - t.in_pos < 64) {
            std::memmove(t.in.get(), t.in.get() + t.in_pos, t.in_end - t.in_pos);
            t.in_offset += t.in_pos;
            t.in_end -= t.in_pos;
            t.in_pos = 0;
            while (!t.in_eof && t.in_end < kTranscodeIn) {
                Result<size_t> r = read_decoded(t.in.get() + t.in_end, kTranscodeIn - t.in_end);
                if (r.failed()) return r;
                if (r.value() == 0) t.in_eof = true;
                t.in_end += r.value();
                if (t.in_end >= 64) break;
            }
        }
        char* ip = reinterpret_cast<char*>(t.in.get() + t.in_pos);
        size_t il = t.in_end - t.in_pos;
        char* op = reinterpret_cast<char*>(t.out.get());
        size_t ol = kTranscodeOut;
        size_t rc;
        if (il == 0 && t.in_eof) {
            rc = iconv(t.cd, nullptr, nullptr, &op, &ol);  // the end of a stateful encoding
            t.flushed = true;
        } else {
            rc = iconv(t.cd, &ip, &il, &op, &ol);
        }
        const int err = errno;
        t.in_pos = t.in_end - il;
        t.out_end = kTranscodeOut - ol;
        const uint8_t* o = t.out.get();
        for (const uint8_t* q = o; (q = static_cast<const uint8_t*>(std::memchr(q, '\n', o + t.out_end - q)));
             ++q)
            ++t.line;
        if (rc != static_cast<size_t>(-1) || err == E2BIG) continue;
        const std::string where =
            "line " + std::to_string(t.line) + " (byte " + std::to_string(t.in_offset + t.in_pos) + " of the text)";
        if (err == EILSEQ)
            return Status::invalid_input(where + ": the bytes are not valid " + encoding_);
        if (err == EINVAL) {
            if (t.in_eof) return Status::invalid_input(where + ": the text ends in the middle of a " + encoding_ +
                                                       " character");
            if (t.out_end == 0 && t.in_pos == 0 && t.in_end == kTranscodeIn)
                return Status::invalid_input(where + ": the bytes are not valid " + encoding_);
            continue;  // a character cut at the end of the buffer: read on
        }
        return Status::io_error("Transcoding from " + encoding_ + " failed: " + std::strerror(err));
    }
    const size_t k = std::min(n, t.out_end - t.out_pos);
    std::memcpy(dst, t.out.get() + t.out_pos, k);
    t.out_pos += k;
    return k;
}

Result<size_t> InputStream::read(uint8_t* dst, size_t n) {
    if (n == 0) return size_t{0};
    if (transcoder_) return read_transcoded(dst, n);
    if (!probed_) return read_first(dst, n);
    return read_decoded(dst, n);
}

}  // namespace varn
