#include "pyn/AlgorithmUtil.h"

#include <openssl/evp.h>

#include <climits>

namespace pyn {

std::string CAlgorithmUtil::toBase64(const std::string& bytes) {
    if (bytes.empty()) return std::string();
    std::string out;
    out.resize(4 * ((bytes.size() + 2) / 3) + 1);
    // EVP_EncodeBlock takes an int length: encode in chunks that are a
    // multiple of 3 bytes so that no padding appears in the middle.
    const size_t kChunk = 3 * 1024 * 1024;
    size_t in = 0, used = 0;
    while (in < bytes.size()) {
        size_t n = bytes.size() - in < kChunk ? bytes.size() - in : kChunk;
        int w = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&out[used]),
                                reinterpret_cast<const unsigned char*>(bytes.data() + in),
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

}  // namespace pyn
