#pragma once

#include <cryptopp/osrng.h>
#include <cryptopp/rijndael.h>
#include <cryptopp/rsa.h>
#include <cryptopp/secblock.h>

#include <memory>

#include "server/CipherSuite.h"

namespace vorn {

// The cipher module's suite, on Crypto++. Built into libvorn-cipher.so alone.
class CryptoPPCipherSuite final : public CipherSuite {
public:
    // Null when the random source or the ciphers cannot be set up.
    static std::unique_ptr<CryptoPPCipherSuite> Create(CryptoPP::RandomNumberGenerator* random);

    bool LoadPublicKey(const std::string& text) override;
    bool HasPublicKey() const override { return hasServerKey_; }
    std::string KeyBlock() override;
    bool Encrypt(std::string& blocks) const override;
    bool Decrypt(std::string& blocks) const override;

private:
    CryptoPPCipherSuite() = default;

    std::unique_ptr<CryptoPP::AutoSeededRandomPool> ownPool_;  // null when the source is injected
    CryptoPP::RandomNumberGenerator* random_ = nullptr;        // the only source of random bytes
    CryptoPP::RSAFunction serverKey_;
    bool hasServerKey_ = false;
    CryptoPP::SecByteBlock clientKey_{kClientKeySize};
    CryptoPP::Rijndael::Encryption encryptor_;
    CryptoPP::Rijndael::Decryption decryptor_;
};

}  // namespace vorn
