#include "pyn/AlgorithmUtil.h"

#include "SafeFs.h"
#include "common/TextAndFileHelpers.h"

#include <fcntl.h>

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <climits>
#include <vector>

namespace pyn {

std::string CAlgorithmUtil::toBase64(const char* data, size_t size) {
    if (size == 0) return std::string();
    std::string out;
    out.resize(Base64Room(size));
    out.resize(toBase64(data, size, &out[0]));
    return out;
}

size_t CAlgorithmUtil::toBase64(const char* data, size_t size, char* out) {
    // EVP_EncodeBlock takes an int length: encode in chunks that are a
    // multiple of 3 bytes so that no padding appears in the middle.
    const size_t kChunk = 3 * 1024 * 1024;
    size_t in = 0, used = 0;
    while (in < size) {
        size_t n = size - in < kChunk ? size - in : kChunk;
        int w = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out + used),
                                reinterpret_cast<const unsigned char*>(data + in), static_cast<int>(n));
        used += static_cast<size_t>(w);
        in += n;
    }
    return used;
}

std::string CAlgorithmUtil::fromBase64(const std::string& text) {
    std::string scratch;
    const std::string* body = detail::Base64Body(text, scratch);
    if (!body || body->empty()) return std::string();
    const std::string& clean = *body;
    std::string out;
    out.resize(clean.size() / 4 * 3);
    // EVP_DecodeBlock takes an int length: whole groups of four at a time.
    // It decodes the padding as zero bytes, which are dropped at the end.
    const size_t kChunk = 4 * 256 * 1024;
    size_t in = 0, used = 0;
    while (in < clean.size()) {
        size_t n = clean.size() - in < kChunk ? clean.size() - in : kChunk;
        int w = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(&out[used]),
                                reinterpret_cast<const unsigned char*>(clean.data() + in), static_cast<int>(n));
        if (w < 0) return std::string();
        used += static_cast<size_t>(w);
        in += n;
    }
    size_t padding = clean.size() - clean.find_last_not_of('=') - 1;
    out.resize(used - padding);
    return out;
}

namespace {

const EVP_MD* Md5() {
    // Fetched once: the implicit fetch of EVP_md5() costs a lookup per call.
    static EVP_MD* md = EVP_MD_fetch(nullptr, "MD5", nullptr);
    return md;
}

struct DigestCtx {
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    ~DigestCtx() { EVP_MD_CTX_free(ctx); }
};

struct CipherCtx {
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    ~CipherCtx() { EVP_CIPHER_CTX_free(ctx); }
};

std::string Md5Final(EVP_MD_CTX* ctx) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (EVP_DigestFinal_ex(ctx, digest, &len) != 1) return std::string();
    return std::string(reinterpret_cast<const char*>(digest), len);
}

const EVP_CIPHER* AesCbcForKey(size_t keyLength) {
    static EVP_CIPHER* aes128 = EVP_CIPHER_fetch(nullptr, "AES-128-CBC", nullptr);
    static EVP_CIPHER* aes192 = EVP_CIPHER_fetch(nullptr, "AES-192-CBC", nullptr);
    static EVP_CIPHER* aes256 = EVP_CIPHER_fetch(nullptr, "AES-256-CBC", nullptr);
    switch (keyLength) {
    case 16: return aes128;
    case 24: return aes192;
    case 32: return aes256;
    default: return nullptr;
    }
}

const size_t kIvSize = 16;
const size_t kBlockSize = 16;

const unsigned char* Bytes(const ByteVector& v) { return reinterpret_cast<const unsigned char*>(v.data()); }
unsigned char* Bytes(ByteVector& v) { return reinterpret_cast<unsigned char*>(v.data()); }

}  // namespace

std::string CAlgorithmUtil::GetBufferMD5_s(const void* data, size_t size) {
    DigestCtx d;
    if (!d.ctx || !Md5() || EVP_DigestInit_ex(d.ctx, Md5(), nullptr) != 1) return std::string();
    if (size > 0 && EVP_DigestUpdate(d.ctx, data, size) != 1) return std::string();
    return Md5Final(d.ctx);
}

std::string CAlgorithmUtil::GetFileMD5(const std::string& path) {
    if (!detail::IsPathText(path)) return std::string();
    struct stat st;
    posix::Fd fd(posix::OpenRegular(AT_FDCWD, path.c_str(), O_RDONLY, st));
    if (!fd.ok()) return std::string();
    DigestCtx d;
    bool ok = d.ctx && Md5() && EVP_DigestInit_ex(d.ctx, Md5(), nullptr) == 1;
    std::vector<char> chunk(1 << 16);
    while (ok) {
        ssize_t n = posix::ReadSome(fd.get(), chunk.data(), chunk.size());
        if (n < 0 || (n > 0 && EVP_DigestUpdate(d.ctx, chunk.data(), static_cast<size_t>(n)) != 1)) ok = false;
        if (n <= 0) break;
    }
    return ok ? Md5Final(d.ctx) : std::string();
}

bool CAlgorithmUtil::aesEncrypt(const std::string& key, const ByteVector& plain, ByteVector& out) {
    out.clear();
    const EVP_CIPHER* cipher = AesCbcForKey(key.size());
    CipherCtx c;
    if (!cipher || !c.ctx) return false;
    ByteVector result(kIvSize + plain.size() + kBlockSize);
    if (RAND_bytes(Bytes(result), static_cast<int>(kIvSize)) != 1) return false;
    if (EVP_EncryptInit_ex2(c.ctx, cipher, reinterpret_cast<const unsigned char*>(key.data()), Bytes(result),
                            nullptr) != 1)
        return false;
    size_t used = kIvSize;
    size_t in = 0;
    const size_t kChunk = 1 << 30;  // EVP takes int lengths
    while (in < plain.size()) {
        size_t n = plain.size() - in < kChunk ? plain.size() - in : kChunk;
        int w = 0;
        if (EVP_EncryptUpdate(c.ctx, Bytes(result) + used, &w, Bytes(plain) + in, static_cast<int>(n)) != 1)
            return false;
        used += static_cast<size_t>(w);
        in += n;
    }
    int w = 0;
    if (EVP_EncryptFinal_ex(c.ctx, Bytes(result) + used, &w) != 1) return false;
    result.resize(used + static_cast<size_t>(w));
    out.swap(result);
    return true;
}

bool CAlgorithmUtil::aesDecrypt(const std::string& key, const ByteVector& cipherText, ByteVector& out) {
    out.clear();
    const EVP_CIPHER* cipher = AesCbcForKey(key.size());
    CipherCtx c;
    if (!cipher || !c.ctx) return false;
    // The IV and at least one whole block (padding always adds one).
    if (cipherText.size() < kIvSize + kBlockSize || (cipherText.size() - kIvSize) % kBlockSize != 0) return false;
    if (EVP_DecryptInit_ex2(c.ctx, cipher, reinterpret_cast<const unsigned char*>(key.data()), Bytes(cipherText),
                            nullptr) != 1)
        return false;
    ByteVector result(cipherText.size() - kIvSize + kBlockSize);
    size_t used = 0;
    size_t in = kIvSize;
    const size_t kChunk = 1 << 30;
    while (in < cipherText.size()) {
        size_t n = cipherText.size() - in < kChunk ? cipherText.size() - in : kChunk;
        int w = 0;
        if (EVP_DecryptUpdate(c.ctx, Bytes(result) + used, &w, Bytes(cipherText) + in, static_cast<int>(n)) != 1)
            return false;
        used += static_cast<size_t>(w);
        in += n;
    }
    int w = 0;
    if (EVP_DecryptFinal_ex(c.ctx, Bytes(result) + used, &w) != 1) return false;
    result.resize(used + static_cast<size_t>(w));
    out.swap(result);
    return true;
}

}  // namespace pyn
