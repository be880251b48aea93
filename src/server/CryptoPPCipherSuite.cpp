#include "server/CryptoPPCipherSuite.h"

#include <cryptopp/base64.h>
#include <cryptopp/filters.h>
#include <cryptopp/integer.h>

#include <algorithm>
#include <exception>
#include <type_traits>

namespace vorn {

std::unique_ptr<CryptoPPCipherSuite> CryptoPPCipherSuite::Create(CryptoPP::RandomNumberGenerator* random) {
    try {
        std::unique_ptr<CryptoPPCipherSuite> suite(new CryptoPPCipherSuite());
        if (random == nullptr) {
            suite->ownPool_ = std::make_unique<CryptoPP::AutoSeededRandomPool>(false, 32);
            random = suite->ownPool_.get();
        }
        suite->random_ = random;
        random->GenerateBlock(suite->clientKey_, suite->clientKey_.size());
        suite->encryptor_.SetKey(suite->clientKey_, suite->clientKey_.size());
        suite->decryptor_.SetKey(suite->clientKey_, suite->clientKey_.size());
        return suite;
    } catch (const std::exception&) {  // the system's random source is unavailable
        return nullptr;
    }
}

bool CryptoPPCipherSuite::LoadPublicKey(const std::string& text) {
    try {
        CryptoPP::RSAFunction key;
        CryptoPP::StringSource source(text, true, new CryptoPP::Base64Decoder);
        key.Load(source);
        // Raw RSA of a block that starts with 0x10 needs a modulus of exactly
        // 1024 bits: a smaller one would wrap the block, a larger one overflow it.
        if (key.GetModulus().BitCount() != kServerKeyBits || !key.Validate(*random_, 0)) {
            return false;
        }
        serverKey_ = key;
        hasServerKey_ = true;
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

std::string CryptoPPCipherSuite::KeyBlock() {
    if (!hasServerKey_) return {};
    try {
        CryptoPP::SecByteBlock plain(kKeyBlockSize);
        plain[0] = static_cast<CryptoPP::byte>(kClientKeySize);  // 32-bit little-endian length
        plain[1] = plain[2] = plain[3] = 0;
        std::copy(clientKey_.begin(), clientKey_.end(), plain.begin() + 4);
        random_->GenerateBlock(plain + 4 + kClientKeySize, kKeyBlockSize - 4 - kClientKeySize);

        const CryptoPP::Integer m(plain, plain.size(), CryptoPP::Integer::UNSIGNED, CryptoPP::BIG_ENDIAN_ORDER);
        const CryptoPP::Integer c = serverKey_.ApplyFunction(m);
        if (c.MinEncodedSize() > kKeyBlockSize) return {};
        std::string block(kKeyBlockSize, '\0');
        c.Encode(reinterpret_cast<CryptoPP::byte*>(block.data()), kKeyBlockSize);
        return block;
    } catch (const std::exception&) {
        return {};
    }
}

namespace {

// Runs `cipher` over every whole block of `blocks`, in place.
template <typename Cipher>
bool ProcessBlocks(const Cipher& cipher, std::string& blocks) {
    try {
        for (std::size_t i = 0; i + CipherSuite::kCipherBlockSize <= blocks.size(); i += CipherSuite::kCipherBlockSize) {
            auto* block = reinterpret_cast<CryptoPP::byte*>(blocks.data() + i);
            cipher.ProcessBlock(block, block);
        }
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

}  // namespace

bool CryptoPPCipherSuite::Encrypt(std::string& blocks) const { return ProcessBlocks(encryptor_, blocks); }

bool CryptoPPCipherSuite::Decrypt(std::string& blocks) const { return ProcessBlocks(decryptor_, blocks); }

}  // namespace vorn

// The module's one entry (see CipherSuite.h).
extern "C" __attribute__((visibility("default"))) vorn::CipherSuite* vorn_make_cipher_suite(
    CryptoPP::RandomNumberGenerator* random) noexcept {
    try {
        return vorn::CryptoPPCipherSuite::Create(random).release();
    } catch (...) {
        return nullptr;
    }
}

static_assert(std::is_same_v<decltype(&vorn_make_cipher_suite), vorn::CipherSuiteMaker>,
              "the entry must match what the program calls");
