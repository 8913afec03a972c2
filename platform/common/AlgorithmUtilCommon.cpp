// The parts of CAlgorithmUtil that need no operating system: hexadecimal
// text, CRC-32 on zlib, and the library's cipher object on top of
// aesEncrypt/aesDecrypt.
#include <zlib.h>
#include "pyn/NoDestructor.h"

#include "pyn/AlgorithmUtil.h"
#include "pyn/OpensslInterface.h"

namespace pyn {
namespace {

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

const unsigned char* Bytes(const ByteVector& v) { return reinterpret_cast<const unsigned char*>(v.data()); }

}  // namespace

std::string CAlgorithmUtil::toBase64(const std::string& bytes) { return toBase64(bytes.data(), bytes.size()); }

size_t CAlgorithmUtil::Base64Room(size_t size) {
    if (size == 0) return 0;
    // Four characters for every three bytes begun, and a terminating zero.
    const size_t groups = size / 3 + (size % 3 != 0);
    return groups > (SIZE_MAX - 1) / 4 ? SIZE_MAX : 4 * groups + 1;
}

std::string CAlgorithmUtil::GetBufferMD5_s(const ByteVector& bytes) {
    return GetBufferMD5_s(bytes.data(), bytes.size());
}

std::string CAlgorithmUtil::toHex(const std::string& bytes) {
    return HexEncode<std::string>(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
}

ByteVector CAlgorithmUtil::toHex(const ByteVector& bytes) { return HexEncode<ByteVector>(Bytes(bytes), bytes.size()); }

std::string CAlgorithmUtil::fromHex(const std::string& text) {
    return HexDecode<std::string>(reinterpret_cast<const unsigned char*>(text.data()), text.size());
}

ByteVector CAlgorithmUtil::fromHex(const ByteVector& text) { return HexDecode<ByteVector>(Bytes(text), text.size()); }

uint32_t CAlgorithmUtil::GetCRC(const void* data, size_t size) {
    uLong crc = crc32(0L, Z_NULL, 0);
    // crc32_z takes a size_t length: no chunking needed.
    if (size > 0) crc = crc32_z(crc, static_cast<const Bytef*>(data), size);
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
    static NoDestructor<COpensslInterface> instance;
    return instance.get();
}

}  // namespace pyn
