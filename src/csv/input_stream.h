// The bytes of a CSV input: a file, standard input ("-"), a pipe or a FIFO,
// read in one forward pass. gzip, zstd, bzip2 and xz input are recognised by
// their first bytes and decompressed on the fly, so a reader sees plain text.
// Text in another encoding is transcoded to UTF-8 on the fly (iconv): the
// one named when opening, or UTF-16 / UTF-32 recognised by a byte-order mark
// at the start of the text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "common/result.h"

namespace varn {

enum class InputCompression { None, Gzip, Zstd, Bzip2, Xz };

// The name of a compression ("gzip"), or "" for none.
const char* compression_name(InputCompression c);

class InputStream {
public:
    // Opens `path` ("-" is standard input, which is not closed afterwards).
    // `encoding` names the text's encoding for iconv (latin1, cp1252,
    // shift_jis, utf-16, ...); empty means UTF-8, or UTF-16 / UTF-32 when
    // the text starts with their byte-order mark. An unknown name fails.
    static Result<std::unique_ptr<InputStream>> open(const std::string& path, const std::string& encoding = {});
    // Reads from an open descriptor, which the stream closes when `owned`.
    static Result<std::unique_ptr<InputStream>> from_fd(int fd, bool owned, const std::string& encoding = {});
    // Opens the regular file `path` at byte `offset`, read as it is (the
    // part of a file already known to be uncompressed text).
    static Result<std::unique_ptr<InputStream>> open_text_at(const std::string& path, uint64_t offset);
    ~InputStream();
    InputStream(const InputStream&) = delete;
    InputStream& operator=(const InputStream&) = delete;

    // Up to n bytes of (decompressed, transcoded) text; 0 only at the end
    // of the input. Bytes that are not valid in the encoding fail with
    // invalid_input naming the line and the byte offset.
    Result<size_t> read(uint8_t* dst, size_t n);

    // Every raw (still compressed) byte read from now on is also written to
    // `fd`, so that input which cannot be read twice can be read again from
    // there. The bytes already read are written at once.
    Status spool_to(int fd);

    // True for a regular file: opening the path again gives the same bytes.
    bool rereadable() const { return regular_; }
    // The size of a regular file, else 0.
    uint64_t file_size() const { return file_size_; }
    // Raw bytes read so far (before decompression).
    uint64_t raw_bytes_read() const { return raw_read_; }
    InputCompression compression() const { return compression_; }
    // The encoding the text is transcoded from ("" while none: UTF-8 text).
    // Known once the first bytes are read.
    const std::string& transcoded_from() const { return encoding_; }

private:
    InputStream() = default;
    Status start();
    Result<size_t> read_raw(uint8_t* dst, size_t n);
    Status fill_raw();
    Result<size_t> read_gzip(uint8_t* dst, size_t n);
    Result<size_t> read_zstd(uint8_t* dst, size_t n);
    Result<size_t> read_bzip2(uint8_t* dst, size_t n);
    Result<size_t> read_xz(uint8_t* dst, size_t n);
    // Decompressed bytes, before any transcoding.
    Result<size_t> read_decoded(uint8_t* dst, size_t n);
    // The first read: looks for a UTF-16 or UTF-32 byte-order mark.
    Result<size_t> read_first(uint8_t* dst, size_t n);
    Status start_transcoding(const std::string& encoding);
    Result<size_t> read_transcoded(uint8_t* dst, size_t n);

    int fd_ = -1;
    bool owned_ = false;
    bool regular_ = false;
    uint64_t file_size_ = 0;
    uint64_t raw_read_ = 0;
    InputCompression compression_ = InputCompression::None;
    int spool_fd_ = -1;
    bool zstd_mid_frame_ = false;
    bool probed_ = false;  // the first text bytes were looked at for a byte-order mark
    std::string encoding_;

    // Raw bytes read ahead: raw_[raw_pos_, raw_end_).
    std::unique_ptr<uint8_t[]> raw_;
    size_t raw_pos_ = 0;
    size_t raw_end_ = 0;
    bool raw_eof_ = false;

    struct Codec;
    std::unique_ptr<Codec> codec_;
    struct Transcoder;
    std::unique_ptr<Transcoder> transcoder_;
};

}  // namespace varn
