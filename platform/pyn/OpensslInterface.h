// Cipher object of the pyn utility layer.
#pragma once

#include "StringUtil.h"

namespace pyn {

// Handed out by GetOpensslInterface(); the object belongs to the library and
// is never deleted by a caller. The virtual operations keep this order (the
// layout of the agent's object), the reserved slot included.
class IOpensslInterface {
public:
    // Encrypts `plain` with `key` in CAlgorithmUtil's AES format (key length
    // selects AES-128/192/256, CBC, PKCS#7, random IV in front) and gives the
    // result as lowercase hexadecimal text in `out`.
    virtual bool AesEncryptHex(const ByteVector& plain, const ByteVector& key, ByteVector& out) = 0;
    // Reserved slot; always false.
    virtual bool Reserved1(const ByteVector& in, const ByteVector& key, ByteVector& out) = 0;
    // Reverses AesEncryptHex: hexadecimal text (either letter case) in,
    // plain bytes out. False for text that is not hexadecimal, a wrong key
    // length or a cipher text that does not decrypt.
    virtual bool AesDecryptHex(const ByteVector& hexText, const ByteVector& key, ByteVector& out) = 0;

protected:
    ~IOpensslInterface() = default;
};

// The library's cipher object (never null in this implementation; callers
// still test for null, as other builds of the library may have none).
IOpensslInterface* GetOpensslInterface();

}  // namespace pyn
