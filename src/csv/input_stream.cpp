#include "csv/input_stream.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>
#include <zstd.h>

#include <cerrno>
#include <cstring>

#include "common/fd.h"
#include "common/os_error.h"

namespace varn {

namespace {

constexpr size_t kRawBuffer = 1u << 20;
constexpr uint8_t kGzipMagic[2] = {0x1F, 0x8B};
constexpr uint8_t kZstdMagic[4] = {0x28, 0xB5, 0x2F, 0xFD};

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

struct InputStream::Codec {
    z_stream z{};
    bool z_open = false;
    bool z_member_done = false;
    ZSTD_DCtx* zstd = nullptr;
    ~Codec() {
        if (z_open) inflateEnd(&z);
        if (zstd) ZSTD_freeDCtx(zstd);
    }
};

Result<std::unique_ptr<InputStream>> InputStream::open(const std::string& path) {
    if (path == "-") return from_fd(STDIN_FILENO, false);
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return Status::io_error("Cannot open " + path + ": " + last_os_error());
    return from_fd(fd, true);
}

Result<std::unique_ptr<InputStream>> InputStream::from_fd(int fd, bool owned) {
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
    while (raw_end_ < 4 && !raw_eof_) VARN_RETURN_IF_ERROR(fill_raw());
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

Result<size_t> InputStream::read(uint8_t* dst, size_t n) {
    if (n == 0) return size_t{0};
    switch (compression_) {
        case InputCompression::Gzip: return read_gzip(dst, n);
        case InputCompression::Zstd: return read_zstd(dst, n);
        default: return read_raw(dst, n);
    }
}

}  // namespace varn
