#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "server/CipherSuite.h"
#include "xml/XmlElement.h"

namespace vorn {

// Makes request tokens and reads reply tokens for one client engine.
//
// A request token is base64 (Base64Codec, then "+" -> "-" and "/" -> "_") of
//   128 bytes  key block: raw RSA of [10 00 00 00][16-byte client key][108 random
//              bytes], big-endian, left-padded with zero bytes, under the server key;
//   n + p      the request XML plus p bytes of value p (p = 16 - n % 16, 1 to 16),
//              AES-128 ECB with the client key.
// A reply token is base64 of the reply XML plus padding, AES-128 ECB with the same
// client key; DecryptResponse leaves the padding in the text.
//
// The client key is drawn once when the context is made, so every request of one
// context carries the same key and only the key block's filler changes. The
// ciphers come from the cipher module (CipherSuite), opened when the first
// context is made. Failures never escape: they become a null context (the
// module missing or unusable, logged), a false or an empty token.
// Not thread-safe: its engine makes one request at a time.
class CryptoContext {
public:
    static constexpr std::size_t kKeyBlockSize = CipherSuite::kKeyBlockSize;
    static constexpr std::size_t kClientKeySize = CipherSuite::kClientKeySize;
    static constexpr std::size_t kCipherBlockSize = CipherSuite::kCipherBlockSize;
    static constexpr unsigned kServerKeyBits = CipherSuite::kServerKeyBits;

    // A context with its own AutoSeededRandomPool (non-blocking, seeded with 32
    // bytes of the system's randomness); null when the module, the pool or the
    // ciphers cannot be set up.
    static std::unique_ptr<CryptoContext> Create();
    // A context that draws every random byte (client key first, then each key
    // block's filler) from the given source, which must outlive it.
    static std::unique_ptr<CryptoContext> Create(CryptoPP::RandomNumberGenerator& random);

    ~CryptoContext();
    CryptoContext(const CryptoContext&) = delete;
    CryptoContext& operator=(const CryptoContext&) = delete;

    // Loads the server's RSA public key from base64 (characters outside the
    // alphabet ignored) of a DER X.509 SubjectPublicKeyInfo for rsaEncryption.
    // False, with any earlier key kept, when it cannot be decoded or is not a
    // usable 1024-bit key (a key block must be exactly 128 bytes).
    bool LoadPublicKey(const std::string& text);
    bool HasPublicKey() const;

    // The request token for the element's text, CR LF line breaks included;
    // empty when no key is loaded or encryption fails.
    std::string EncryptRequest(const XmlElement& element);

    // The decrypted reply text, padding included. Characters outside the base64
    // alphabet are skipped (so line breaks do not matter), decoding stops at the
    // first "=", and a trailing part shorter than one block is ignored.
    XmlElement DecryptResponse(const std::string& text) const;

private:
    explicit CryptoContext(std::unique_ptr<CipherSuite> suite);
    static std::unique_ptr<CryptoContext> Build(CryptoPP::RandomNumberGenerator* random);

    std::unique_ptr<CipherSuite> suite_;
};

}  // namespace vorn
