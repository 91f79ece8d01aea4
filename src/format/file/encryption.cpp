// Column encryption: AES-256 in counter mode with a nonce derived from the
// column name and the chunk index, so nothing extra is stored in the file.
// The block cipher is OpenSSL's (EVP, AES-256-ECB without padding) applied to
// counter blocks laid out here, a batch of blocks per call, so the counter
// layout is ours byte for byte and the cipher is never hand-written.
#include "format/file/encryption.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <sys/random.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "common/os_error.h"

namespace varn {

namespace {

constexpr uint64_t kFnvBasis = 0xcbf29ce484222325ULL;
constexpr uint64_t kFnvPrime = 0x100000001b3ULL;
constexpr uint64_t kCounterMix = 0x517cc1b727220a95ULL;
constexpr size_t kBlock = 16;
constexpr size_t kBatchBlocks = 256;  // 4 KiB of keystream per cipher call

struct CtxFree {
    void operator()(EVP_CIPHER_CTX* c) const { EVP_CIPHER_CTX_free(c); }
};


inline void store_be32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

struct PkeyCtxFree {
    void operator()(EVP_PKEY_CTX* c) const { EVP_PKEY_CTX_free(c); }
};

constexpr char kKeyInfo[] = "VARN v2 column encryption";
constexpr char kKeyCheckInfo[] = "VARN v2 key check";

}  // namespace

bool key_is_zero(const ColumnKeyBytes& key) {
    return std::all_of(key.begin(), key.end(), [](uint8_t b) { return b == 0; });
}

bool salt_is_zero(const FileSalt& salt) {
    return std::all_of(salt.begin(), salt.end(), [](uint8_t b) { return b == 0; });
}

Result<FileSalt> random_file_salt() {
    FileSalt salt{};
    size_t done = 0;
    while (done < salt.size()) {
        const ssize_t n = ::getrandom(salt.data() + done, salt.size() - done, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            return Status::io_error("cannot draw the file's random salt: " + last_os_error());
        }
        done += static_cast<size_t>(n);
    }
    // All zero would read as "no salt"; the chance is 2^-128, but it costs nothing to rule out.
    if (salt_is_zero(salt)) salt[0] = 1;
    return salt;
}

Result<Bytes> hkdf_sha256(ByteView ikm, ByteView salt, ByteView info, size_t length) {
    std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree> ctx(EVP_PKEY_CTX_new_id(EVP_PKEY_HKDF, nullptr));
    Bytes out(length);
    size_t got = length;
    if (!ctx || EVP_PKEY_derive_init(ctx.get()) <= 0 ||
        EVP_PKEY_CTX_set_hkdf_md(ctx.get(), EVP_sha256()) <= 0 ||
        EVP_PKEY_CTX_set1_hkdf_salt(ctx.get(), salt.data(), static_cast<int>(salt.size())) <= 0 ||
        EVP_PKEY_CTX_set1_hkdf_key(ctx.get(), ikm.data(), static_cast<int>(ikm.size())) <= 0 ||
        EVP_PKEY_CTX_add1_hkdf_info(ctx.get(), info.data(), static_cast<int>(info.size())) <= 0 ||
        EVP_PKEY_derive(ctx.get(), out.data(), &got) <= 0 || got != length) {
        return Status::internal("HKDF-SHA256 key derivation failed");
    }
    return out;
}

Result<ColumnKeyBytes> file_column_key(const ColumnKeyBytes& key, const FileSalt& salt) {
    if (salt_is_zero(salt)) return key;
    auto derived = hkdf_sha256(as_bytes(key.data(), key.size()), as_bytes(salt.data(), salt.size()),
                               as_bytes(reinterpret_cast<const uint8_t*>(kKeyInfo), sizeof kKeyInfo - 1),
                               32);
    if (derived.failed()) return derived.status();
    ColumnKeyBytes out{};
    std::memcpy(out.data(), derived.value().data(), out.size());
    OPENSSL_cleanse(derived.value().data(), derived.value().size());
    return out;
}

Result<KeyCheck> key_check_value(const ColumnKeyBytes& key, const FileSalt& salt) {
    auto derived = hkdf_sha256(as_bytes(key.data(), key.size()), as_bytes(salt.data(), salt.size()),
                               as_bytes(reinterpret_cast<const uint8_t*>(kKeyCheckInfo),
                                        sizeof kKeyCheckInfo - 1),
                               16);
    if (derived.failed()) return derived.status();
    KeyCheck out{};
    std::memcpy(out.data(), derived.value().data(), out.size());
    return out;
}

bool key_checks_equal(const KeyCheck& a, const KeyCheck& b) {
    return CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

uint64_t fnv1a64(ByteView data) {
    uint64_t h = kFnvBasis;
    for (uint8_t b : data) h = (h ^ b) * kFnvPrime;
    return h;
}

uint64_t column_nonce(ByteView name, uint64_t chunk_index) {
    return (fnv1a64(name) ^ chunk_index) * kFnvPrime;
}

std::array<uint8_t, 12> counter_prefix(uint64_t nonce) {
    std::array<uint8_t, 12> p{};
    store_le<uint64_t>(p.data(), nonce);
    store_le<uint32_t>(p.data() + 8, static_cast<uint32_t>(nonce * kCounterMix));
    return p;
}

Status aes256_ctr_xor(const std::array<uint8_t, 32>& key, const std::array<uint8_t, 12>& prefix,
                      uint32_t first_block, uint8_t* data, size_t len) {
    if (len == 0) return Status::ok();
    std::unique_ptr<EVP_CIPHER_CTX, CtxFree> ctx(EVP_CIPHER_CTX_new());
    if (!ctx || EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_ecb(), nullptr, key.data(), nullptr) != 1 ||
        EVP_CIPHER_CTX_set_padding(ctx.get(), 0) != 1) {
        return Status::internal("cannot set up AES-256");
    }
    uint8_t counters[kBatchBlocks * kBlock];
    uint8_t stream[kBatchBlocks * kBlock];
    for (size_t j = 0; j < kBatchBlocks; ++j) {
        std::copy(prefix.begin(), prefix.end(), counters + j * kBlock);
    }
    uint32_t block = first_block;
    Status status;
    for (size_t done = 0; done < len;) {
        const size_t left = len - done;
        const size_t nblocks = std::min(kBatchBlocks, (left + kBlock - 1) / kBlock);
        for (size_t j = 0; j < nblocks; ++j) {
            store_be32(counters + j * kBlock + 12, block + static_cast<uint32_t>(j));
        }
        int produced = 0;
        const int want = static_cast<int>(nblocks * kBlock);
        if (EVP_EncryptUpdate(ctx.get(), stream, &produced, counters, want) != 1 || produced != want) {
            status = Status::internal("AES-256 encryption failed");
            break;
        }
        const size_t n = std::min(left, nblocks * kBlock);
        for (size_t k = 0; k < n; ++k) data[done + k] ^= stream[k];
        done += n;
        block += static_cast<uint32_t>(nblocks);
    }
    OPENSSL_cleanse(stream, sizeof stream);
    return status;
}

Status apply_column_encryption(const KColumn& column, uint64_t chunk_index, Bytes& payload) {
    if (!(column.flags & format::kFlagEncrypt) || key_is_zero(column.key)) return Status::ok();
    const uint64_t nonce = column_nonce(as_bytes(column.name.data(), column.name.size()), chunk_index);
    return aes256_ctr_xor(column.key, counter_prefix(nonce), 0, payload.data(), payload.size());
}

}  // namespace varn
