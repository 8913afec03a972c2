// CAlgorithmUtil on Windows: Base64 through the CryptoAPI (crypt32), MD5,
// AES and random bytes through CNG (bcrypt). Decoding Base64 accepts exactly
// what the OpenSSL-based POSIX build accepts, and the AES format is the same
// byte for byte (key length selects AES-128/192/256, CBC, PKCS#7, random IV
// in front), so either build reads what the other wrote.
#include <windows.h>
#include <bcrypt.h>
#include <wincrypt.h>

#include <cstring>
#include <vector>

#include "WinFs.h"
#include "WinText.h"
#include "common/TextAndFileHelpers.h"
#include "pyn/AlgorithmUtil.h"

namespace pyn {

namespace {

const DWORD kBase64Flags = CRYPT_STRING_BASE64 | CRYPT_STRING_NOCRLF;

// Drops the line breaks (and a terminating zero) of `size` characters at
// `text` in place, for systems that ignore CRYPT_STRING_NOCRLF; returns the
// length left.
size_t DropLineBreaks(char* text, size_t size) {
    size_t keep = 0;
    for (size_t i = 0; i < size; ++i)
        if (text[i] != '\r' && text[i] != '\n' && text[i] != '\0') text[keep++] = text[i];
    return keep;
}

}  // namespace

std::string CAlgorithmUtil::toBase64(const char* bytes, size_t length) {
    if (length == 0) return std::string();
    const BYTE* data = reinterpret_cast<const BYTE*>(bytes);
    DWORD size = 0;
    if (length > 0x3FFFFFFF || !CryptBinaryToStringA(data, static_cast<DWORD>(length), kBase64Flags, nullptr, &size))
        return std::string();
    std::string out(size, '\0');
    if (!CryptBinaryToStringA(data, static_cast<DWORD>(length), kBase64Flags, &out[0], &size)) return std::string();
    out.resize(DropLineBreaks(&out[0], size));
    return out;
}

size_t CAlgorithmUtil::toBase64(const char* bytes, size_t length, char* out) {
    if (length == 0) return 0;
    const BYTE* data = reinterpret_cast<const BYTE*>(bytes);
    DWORD size = 0;
    if (length > 0x3FFFFFFF || !CryptBinaryToStringA(data, static_cast<DWORD>(length), kBase64Flags, nullptr, &size))
        return 0;
    if (size > Base64Room(length)) {
        // Line breaks after all: through the string, whose room fits them.
        std::string text = toBase64(bytes, length);
        std::memcpy(out, text.data(), text.size());
        return text.size();
    }
    if (!CryptBinaryToStringA(data, static_cast<DWORD>(length), kBase64Flags, out, &size)) return 0;
    return DropLineBreaks(out, size);
}

std::string CAlgorithmUtil::fromBase64(const std::string& text) {
    std::string scratch;
    const std::string* body = detail::Base64Body(text, scratch);
    if (!body || body->empty()) return std::string();
    const std::string& clean = *body;
    DWORD size = 0;
    if (!CryptStringToBinaryA(clean.data(), static_cast<DWORD>(clean.size()), CRYPT_STRING_BASE64, nullptr, &size,
                              nullptr, nullptr))
        return std::string();
    std::string out(size, '\0');
    if (size && !CryptStringToBinaryA(clean.data(), static_cast<DWORD>(clean.size()), CRYPT_STRING_BASE64,
                                      reinterpret_cast<BYTE*>(&out[0]), &size, nullptr, nullptr))
        return std::string();
    out.resize(size);
    return out;
}

namespace {

bool Ok(NTSTATUS status) { return status >= 0; }

// Algorithm providers, opened once and kept for the life of the process
// (never closed while the DLL unloads, under the loader lock): their handles
// serve any number of threads at once. Null when the system lacks the
// algorithm.
struct Provider {
    BCRYPT_ALG_HANDLE handle = nullptr;
    Provider(LPCWSTR algorithm, LPCWSTR chainingMode) {
        if (!Ok(BCryptOpenAlgorithmProvider(&handle, algorithm, nullptr, 0))) {
            handle = nullptr;
            return;
        }
        if (chainingMode &&
            !Ok(BCryptSetProperty(handle, BCRYPT_CHAINING_MODE, reinterpret_cast<PUCHAR>(const_cast<LPWSTR>(chainingMode)),
                                  static_cast<ULONG>((wcslen(chainingMode) + 1) * sizeof(wchar_t)), 0))) {
            BCryptCloseAlgorithmProvider(handle, 0);
            handle = nullptr;
        }
    }
};

BCRYPT_ALG_HANDLE Md5Provider() {
    static const Provider* md5 = new Provider(BCRYPT_MD5_ALGORITHM, nullptr);
    return md5->handle;
}

BCRYPT_ALG_HANDLE AesCbcProvider() {
    static const Provider* aes = new Provider(BCRYPT_AES_ALGORITHM, BCRYPT_CHAIN_MODE_CBC);
    return aes->handle;
}

class Md5 {
public:
    Md5() {
        if (!Md5Provider() || !Ok(BCryptCreateHash(Md5Provider(), &m_hash, nullptr, 0, nullptr, 0, 0)))
            m_hash = nullptr;
    }
    ~Md5() {
        if (m_hash) BCryptDestroyHash(m_hash);
    }
    Md5(const Md5&) = delete;
    Md5& operator=(const Md5&) = delete;

    bool Update(const void* data, size_t size) {
        const unsigned char* p = static_cast<const unsigned char*>(data);
        while (m_hash && size > 0) {
            ULONG n = size > (1u << 30) ? (1u << 30) : static_cast<ULONG>(size);
            if (!Ok(BCryptHashData(m_hash, const_cast<PUCHAR>(p), n, 0))) return false;
            p += n;
            size -= n;
        }
        return m_hash != nullptr;
    }
    // The raw 16 bytes, or empty.
    std::string Final() {
        unsigned char digest[16];
        if (!m_hash || !Ok(BCryptFinishHash(m_hash, digest, sizeof digest, 0))) return std::string();
        return std::string(reinterpret_cast<const char*>(digest), sizeof digest);
    }

private:
    BCRYPT_HASH_HANDLE m_hash = nullptr;
};

const size_t kIvSize = 16;
const size_t kBlockSize = 16;
// CBC steps of at most this many bytes (a multiple of the block size): the
// calls take 32-bit lengths and carry the chaining value in the IV buffer.
const size_t kCipherChunk = size_t(1) << 30;

class AesKey {
public:
    explicit AesKey(const std::string& key) {
        if ((key.size() != 16 && key.size() != 24 && key.size() != 32) || !AesCbcProvider()) return;
        if (!Ok(BCryptGenerateSymmetricKey(AesCbcProvider(), &m_key, nullptr, 0,
                                           reinterpret_cast<PUCHAR>(const_cast<char*>(key.data())),
                                           static_cast<ULONG>(key.size()), 0)))
            m_key = nullptr;
    }
    ~AesKey() {
        if (m_key) BCryptDestroyKey(m_key);
    }
    AesKey(const AesKey&) = delete;
    AesKey& operator=(const AesKey&) = delete;
    BCRYPT_KEY_HANDLE get() const { return m_key; }

private:
    BCRYPT_KEY_HANDLE m_key = nullptr;
};

unsigned char* Bytes(ByteVector& v) { return reinterpret_cast<unsigned char*>(v.data()); }
PUCHAR Input(const ByteVector& v, size_t at) {
    return reinterpret_cast<PUCHAR>(const_cast<signed char*>(v.data())) + at;
}

}  // namespace

std::string CAlgorithmUtil::GetBufferMD5_s(const void* data, size_t size) {
    Md5 md5;
    if (!md5.Update(data, size)) return std::string();
    return md5.Final();
}

std::string CAlgorithmUtil::GetFileMD5(const std::string& path) {
    if (!detail::IsPathText(path)) return std::string();
    // Others may go on using the file meanwhile; a directory, device or pipe
    // is not read.
    HANDLE file = win32::OpenDiskFile(win32::LocalToWide(path), GENERIC_READ, OPEN_EXISTING,
                                      FILE_FLAG_SEQUENTIAL_SCAN);
    if (file == INVALID_HANDLE_VALUE) return std::string();
    Md5 md5;
    bool ok = md5.Update(nullptr, 0);
    std::vector<char> chunk(1 << 16);
    while (ok) {
        DWORD got = 0;
        if (!ReadFile(file, chunk.data(), static_cast<DWORD>(chunk.size()), &got, nullptr)) ok = false;
        if (got == 0) break;
        ok = ok && md5.Update(chunk.data(), got);
    }
    CloseHandle(file);
    return ok ? md5.Final() : std::string();
}

bool CAlgorithmUtil::aesEncrypt(const std::string& key, const ByteVector& plain, ByteVector& out) {
    out.clear();
    AesKey k(key);
    if (!k.get()) return false;
    ByteVector result(kIvSize + plain.size() + kBlockSize);
    if (!Ok(BCryptGenRandom(nullptr, Bytes(result), static_cast<ULONG>(kIvSize), BCRYPT_USE_SYSTEM_PREFERRED_RNG)))
        return false;
    // The chaining value: starts as the IV written in front.
    unsigned char iv[kIvSize];
    memcpy(iv, result.data(), kIvSize);
    size_t used = kIvSize, in = 0;
    do {
        size_t n = plain.size() - in;
        bool last = n <= kCipherChunk;
        if (!last) n = kCipherChunk;
        ULONG wrote = 0;
        // Padding is added to the last step only (always: a whole block when
        // the plain text fills its last block).
        if (!Ok(BCryptEncrypt(k.get(), Input(plain, in), static_cast<ULONG>(n), nullptr, iv, sizeof iv,
                              Bytes(result) + used, static_cast<ULONG>(result.size() - used), &wrote,
                              last ? BCRYPT_BLOCK_PADDING : 0)))
            return false;
        used += wrote;
        in += n;
    } while (in < plain.size());
    result.resize(used);
    out.swap(result);
    return true;
}

bool CAlgorithmUtil::aesDecrypt(const std::string& key, const ByteVector& cipherText, ByteVector& out) {
    out.clear();
    AesKey k(key);
    if (!k.get()) return false;
    // The IV and at least one whole block (padding always adds one).
    if (cipherText.size() < kIvSize + kBlockSize || (cipherText.size() - kIvSize) % kBlockSize != 0) return false;
    unsigned char iv[kIvSize];
    memcpy(iv, cipherText.data(), kIvSize);
    ByteVector result(cipherText.size() - kIvSize);
    size_t used = 0;
    for (size_t in = kIvSize; in < cipherText.size();) {
        size_t n = cipherText.size() - in < kCipherChunk ? cipherText.size() - in : kCipherChunk;
        ULONG wrote = 0;
        // Without the padding flag: the padding is checked below, every byte
        // of it, as OpenSSL does (CNG implementations differ in how much of it
        // they check).
        if (!Ok(BCryptDecrypt(k.get(), Input(cipherText, in), static_cast<ULONG>(n), nullptr, iv, sizeof iv,
                              Bytes(result) + used, static_cast<ULONG>(result.size() - used), &wrote, 0)))
            return false;
        used += wrote;
        in += n;
    }
    if (used != result.size()) return false;
    unsigned char pad = static_cast<unsigned char>(result.back());
    if (pad == 0 || pad > kBlockSize) return false;
    for (size_t i = result.size() - pad; i < result.size(); ++i)
        if (static_cast<unsigned char>(result[i]) != pad) return false;
    result.resize(result.size() - pad);
    out.swap(result);
    return true;
}

}  // namespace pyn
