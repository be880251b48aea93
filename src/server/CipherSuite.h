#pragma once

#include <cstddef>
#include <string>

namespace CryptoPP {
class RandomNumberGenerator;
}

namespace vorn {

// The ciphers of a client engine's tokens: raw RSA under the server's key for
// the key block, AES-128 ECB under the client key for the rest. Its one
// implementation lives in the module kCipherModule (Crypto++), which the
// program opens when it first connects, so a start does not link Crypto++.
// Nothing thrown escapes it: failures are false or empty results.
class CipherSuite {
public:
    static constexpr std::size_t kKeyBlockSize = 128;
    static constexpr std::size_t kClientKeySize = 16;
    static constexpr std::size_t kCipherBlockSize = 16;
    static constexpr unsigned kServerKeyBits = 1024;

    virtual ~CipherSuite() = default;

    // The server's key from base64 (characters outside the alphabet ignored)
    // of a DER X.509 SubjectPublicKeyInfo for rsaEncryption. False, with any
    // earlier key kept, when it cannot be decoded or is not a usable 1024-bit
    // key (a key block must be exactly 128 bytes).
    virtual bool LoadPublicKey(const std::string& text) = 0;
    virtual bool HasPublicKey() const = 0;

    // kKeyBlockSize bytes: raw RSA under the server key of
    // [10 00 00 00][client key][fresh random filler], big-endian, left-padded
    // with zero bytes. Empty with no key loaded or when it fails.
    virtual std::string KeyBlock() = 0;

    // AES-128 ECB under the client key, in place, over whole blocks
    // (a trailing part shorter than a block is left as it is).
    virtual bool Encrypt(std::string& blocks) const = 0;
    virtual bool Decrypt(std::string& blocks) const = 0;
};

// The module and its entry: makes a suite whose client key is drawn first
// from `random`, which must outlive it (null: a pool of its own seeded from
// the system's randomness), or returns null when it cannot be set up.
inline constexpr char kCipherModule[] = "libvorn-cipher.so";
inline constexpr char kCipherSuiteEntry[] = "vorn_make_cipher_suite";
using CipherSuiteMaker = CipherSuite* (*)(CryptoPP::RandomNumberGenerator* random) noexcept;

}  // namespace vorn
