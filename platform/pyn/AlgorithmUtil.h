// Digests, encodings and ciphers of the pyn utility layer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "StringUtil.h"

namespace pyn {

class CAlgorithmUtil {
public:
    // Standard Base64 alphabet with padding, no line breaks.
    static std::string toBase64(const std::string& bytes);
    static std::string toBase64(const char* data, size_t size);
    // The same text written to `out`, which has room for
    // Base64Room(size) bytes; returns its length (0 where toBase64 gives
    // the empty string). Spares large encodings a zero-filled string.
    static size_t toBase64(const char* data, size_t size, char* out);
    // Room toBase64 needs for the text of `size` bytes (0 for none; the
    // largest size_t when it cannot be had).
    static size_t Base64Room(size_t size);
    // Decodes Base64 text; white space (space, tab, CR, LF) is skipped. Text
    // that is not valid Base64 gives the empty string.
    static std::string fromBase64(const std::string& text);

    // MD5 digest of the bytes: the raw 16 bytes (empty only when the digest
    // cannot be computed).
    static std::string GetBufferMD5_s(const ByteVector& bytes);
    static std::string GetBufferMD5_s(const void* data, size_t size);
    // MD5 digest of a file's contents, read in pieces: the raw 16 bytes, or
    // empty when the file cannot be read.
    static std::string GetFileMD5(const std::string& path);

    // Lowercase hexadecimal text of the bytes, two digits a byte.
    static std::string toHex(const std::string& bytes);
    static ByteVector toHex(const ByteVector& bytes);
    // Bytes of hexadecimal text (either letter case). Text of odd length or
    // with any other character gives the empty result.
    static std::string fromHex(const std::string& text);
    static ByteVector fromHex(const ByteVector& text);

    // AES, one format for every cipher text of this library: the key's
    // length (16, 24 or 32 bytes) selects AES-128, -192 or -256; CBC mode,
    // PKCS#7 padding; a fresh random 16-byte IV is written in front of the
    // cipher text. `out` is cleared first and left empty on failure (a key of
    // another length; a cipher text that is not IV plus whole blocks, or whose
    // padding is wrong after decryption).
    static bool aesEncrypt(const std::string& key, const ByteVector& plain, ByteVector& out);
    static bool aesDecrypt(const std::string& key, const ByteVector& cipher, ByteVector& out);

    // CRC-32 (the zlib / PKZIP / gzip polynomial) of `size` bytes.
    static uint32_t GetCRC(const void* data, size_t size);
};

}  // namespace pyn
