#include "pyn/AlgorithmUtil.h"

#include <openssl/evp.h>
#include <openssl/rand.h>
#include <zlib.h>

#include <climits>
#include <cstdio>
#include <vector>

#include "pyn/OpensslInterface.h"

namespace pyn {

std::string CAlgorithmUtil::toBase64(const char* data, size_t size) {
    if (size == 0) return std::string();
    std::string out;
    out.resize(4 * ((size + 2) / 3) + 1);
    // EVP_EncodeBlock takes an int length: encode in chunks that are a
    // multiple of 3 bytes so that no padding appears in the middle.
    const size_t kChunk = 3 * 1024 * 1024;
    size_t in = 0, used = 0;
    while (in < size) {
        size_t n = size - in < kChunk ? size - in : kChunk;
        int w = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&out[used]),
                                reinterpret_cast<const unsigned char*>(data + in),
                                static_cast<int>(n));
        used += static_cast<size_t>(w);
        in += n;
    }
    out.resize(used);
    return out;
}

std::string CAlgorithmUtil::fromBase64(const std::string& text) {
    if (text.empty()) return std::string();
    EVP_ENCODE_CTX* ctx = EVP_ENCODE_CTX_new();
    if (!ctx) return std::string();
    std::string out;
    out.resize(text.size() / 4 * 3 + 3);
    EVP_DecodeInit(ctx);
    size_t in = 0, used = 0;
    bool ok = true;
    const size_t kChunk = 1 << 20;
    while (ok && in < text.size()) {
        size_t n = text.size() - in < kChunk ? text.size() - in : kChunk;
        int w = 0;
        if (EVP_DecodeUpdate(ctx, reinterpret_cast<unsigned char*>(&out[used]), &w,
                             reinterpret_cast<const unsigned char*>(text.data() + in),
                             static_cast<int>(n)) < 0)
            ok = false;
        used += static_cast<size_t>(w);
        in += n;
    }
    if (ok) {
        int w = 0;
        if (EVP_DecodeFinal(ctx, reinterpret_cast<unsigned char*>(&out[used]), &w) < 0) ok = false;
        used += static_cast<size_t>(w);
    }
    EVP_ENCODE_CTX_free(ctx);
    if (!ok) return std::string();
    out.resize(used);
    return out;
}

std::string CAlgorithmUtil::toBase64(const std::string& bytes) { return toBase64(bytes.data(), bytes.size()); }

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

const char kHexDigits[] = "0123456789abcdef";

int HexValue(unsigned char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

template <class Out>
Out HexEncode(const unsigned char* p, size_t n) {
    Out out(n * 2, 0);
    for (size_t i = 0; i < n; ++i) {
        out[2 * i] = static_cast<typename Out::value_type>(kHexDigits[p[i] >> 4]);
        out[2 * i + 1] = static_cast<typename Out::value_type>(kHexDigits[p[i] & 0x0f]);
    }
    return out;
}

template <class Out>
Out HexDecode(const unsigned char* p, size_t n) {
    if (n % 2 != 0) return Out();
    Out out(n / 2, 0);
    for (size_t i = 0; i < n / 2; ++i) {
        int hi = HexValue(p[2 * i]), lo = HexValue(p[2 * i + 1]);
        if (hi < 0 || lo < 0) return Out();
        out[i] = static_cast<typename Out::value_type>(static_cast<unsigned char>(hi << 4 | lo));
    }
    return out;
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

std::string CAlgorithmUtil::GetBufferMD5_s(const ByteVector& bytes) {
    return GetBufferMD5_s(bytes.data(), bytes.size());
}

std::string CAlgorithmUtil::GetBufferMD5_s(const void* data, size_t size) {
    DigestCtx d;
    if (!d.ctx || !Md5() || EVP_DigestInit_ex(d.ctx, Md5(), nullptr) != 1) return std::string();
    if (size > 0 && EVP_DigestUpdate(d.ctx, data, size) != 1) return std::string();
    return Md5Final(d.ctx);
}

std::string CAlgorithmUtil::GetFileMD5(const std::string& path) {
    if (path.empty()) return std::string();
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return std::string();
    DigestCtx d;
    bool ok = d.ctx && Md5() && EVP_DigestInit_ex(d.ctx, Md5(), nullptr) == 1;
    std::vector<char> chunk(1 << 16);
    while (ok) {
        size_t n = std::fread(chunk.data(), 1, chunk.size(), f);
        if (n > 0 && EVP_DigestUpdate(d.ctx, chunk.data(), n) != 1) ok = false;
        if (n < chunk.size()) {
            if (std::ferror(f)) ok = false;
            break;
        }
    }
    std::fclose(f);
    return ok ? Md5Final(d.ctx) : std::string();
}

std::string CAlgorithmUtil::toHex(const std::string& bytes) {
    return HexEncode<std::string>(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
}

ByteVector CAlgorithmUtil::toHex(const ByteVector& bytes) { return HexEncode<ByteVector>(Bytes(bytes), bytes.size()); }

std::string CAlgorithmUtil::fromHex(const std::string& text) {
    return HexDecode<std::string>(reinterpret_cast<const unsigned char*>(text.data()), text.size());
}

ByteVector CAlgorithmUtil::fromHex(const ByteVector& text) { return HexDecode<ByteVector>(Bytes(text), text.size()); }

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

uint32_t CAlgorithmUtil::GetCRC(const void* data, size_t size) {
    uLong crc = crc32(0L, Z_NULL, 0);
    const Bytef* p = static_cast<const Bytef*>(data);
    // crc32_z takes a size_t length: no chunking needed.
    if (size > 0) crc = crc32_z(crc, p, size);
    return static_cast<uint32_t>(crc);
}

namespace {

class COpensslInterface final : public IOpensslInterface {
public:
    bool AesEncryptHex(const ByteVector& plain, const ByteVector& key, ByteVector& out) override {
        out.clear();
        ByteVector raw;
        if (!CAlgorithmUtil::aesEncrypt(CStringUtil::vec2str(key), plain, raw)) return false;
        out = CAlgorithmUtil::toHex(raw);
        return true;
    }
    bool Reserved1(const ByteVector&, const ByteVector&, ByteVector& out) override {
        out.clear();
        return false;
    }
    bool AesDecryptHex(const ByteVector& hexText, const ByteVector& key, ByteVector& out) override {
        out.clear();
        ByteVector raw = CAlgorithmUtil::fromHex(hexText);
        if (raw.empty()) return false;
        return CAlgorithmUtil::aesDecrypt(CStringUtil::vec2str(key), raw, out);
    }
};

}  // namespace

IOpensslInterface* GetOpensslInterface() {
    static COpensslInterface instance;
    return &instance;
}

}  // namespace pyn
