#include "server/CryptoContext.h"

#include <cryptopp/base64.h>
#include <cryptopp/filters.h>
#include <cryptopp/integer.h>
#include <cryptopp/misc.h>
#include <cryptopp/osrng.h>
#include <cryptopp/rijndael.h>
#include <cryptopp/rsa.h>
#include <cryptopp/secblock.h>

#include <algorithm>
#include <exception>

#include "server/Base64Codec.h"

namespace vorn {

struct CryptoContext::Impl {
    std::unique_ptr<CryptoPP::AutoSeededRandomPool> ownPool;  // null when the source is injected
    CryptoPP::RandomNumberGenerator* random = nullptr;        // the only source of random bytes
    CryptoPP::RSAFunction serverKey;
    bool hasServerKey = false;
    CryptoPP::SecByteBlock clientKey{kClientKeySize};
    CryptoPP::Rijndael::Encryption encryptor;
    CryptoPP::Rijndael::Decryption decryptor;
};

CryptoContext::CryptoContext(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

CryptoContext::~CryptoContext() = default;

std::unique_ptr<CryptoContext> CryptoContext::Build(std::unique_ptr<Impl> impl) {
    try {
        impl->random->GenerateBlock(impl->clientKey, impl->clientKey.size());
        impl->encryptor.SetKey(impl->clientKey, impl->clientKey.size());
        impl->decryptor.SetKey(impl->clientKey, impl->clientKey.size());
        return std::unique_ptr<CryptoContext>(new CryptoContext(std::move(impl)));
    } catch (const std::exception&) {
        return nullptr;
    }
}

std::unique_ptr<CryptoContext> CryptoContext::Create() {
    try {
        auto impl = std::make_unique<Impl>();
        impl->ownPool = std::make_unique<CryptoPP::AutoSeededRandomPool>(false, 32);
        impl->random = impl->ownPool.get();
        return Build(std::move(impl));
    } catch (const std::exception&) {  // the system's random source is unavailable
        return nullptr;
    }
}

std::unique_ptr<CryptoContext> CryptoContext::Create(CryptoPP::RandomNumberGenerator& random) {
    try {
        auto impl = std::make_unique<Impl>();
        impl->random = &random;
        return Build(std::move(impl));
    } catch (const std::exception&) {
        return nullptr;
    }
}

bool CryptoContext::LoadPublicKey(const std::string& text) {
    try {
        CryptoPP::RSAFunction key;
        CryptoPP::StringSource source(text, true, new CryptoPP::Base64Decoder);
        key.Load(source);
        // Raw RSA of a block that starts with 0x10 needs a modulus of exactly
        // 1024 bits: a smaller one would wrap the block, a larger one overflow it.
        if (key.GetModulus().BitCount() != kServerKeyBits || !key.Validate(*impl_->random, 0)) {
            return false;
        }
        impl_->serverKey = key;
        impl_->hasServerKey = true;
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

bool CryptoContext::HasPublicKey() const { return impl_->hasServerKey; }

std::string CryptoContext::EncryptRequest(const XmlElement& element) {
    if (!impl_->hasServerKey) {
        return {};
    }
    try {
        CryptoPP::SecByteBlock plain(kKeyBlockSize);
        plain[0] = static_cast<CryptoPP::byte>(kClientKeySize);  // 32-bit little-endian length
        plain[1] = plain[2] = plain[3] = 0;
        std::copy(impl_->clientKey.begin(), impl_->clientKey.end(), plain.begin() + 4);
        impl_->random->GenerateBlock(plain + 4 + kClientKeySize, kKeyBlockSize - 4 - kClientKeySize);

        const CryptoPP::Integer m(plain, plain.size(), CryptoPP::Integer::UNSIGNED, CryptoPP::BIG_ENDIAN_ORDER);
        const CryptoPP::Integer c = impl_->serverKey.ApplyFunction(m);
        if (c.MinEncodedSize() > kKeyBlockSize) {
            return {};
        }
        std::string token(kKeyBlockSize, '\0');
        c.Encode(reinterpret_cast<CryptoPP::byte*>(token.data()), kKeyBlockSize);

        std::string body = element.Text();
        const std::size_t padding = kCipherBlockSize - body.size() % kCipherBlockSize;
        body.append(padding, static_cast<char>(padding));
        const std::size_t start = token.size();
        token.resize(start + body.size());
        for (std::size_t i = 0; i < body.size(); i += kCipherBlockSize) {
            impl_->encryptor.ProcessBlock(reinterpret_cast<const CryptoPP::byte*>(body.data() + i),
                                          reinterpret_cast<CryptoPP::byte*>(token.data() + start + i));
        }

        std::string text = Base64Codec::Encode(token);
        std::replace(text.begin(), text.end(), '+', '-');
        std::replace(text.begin(), text.end(), '/', '_');
        return text;
    } catch (const std::exception&) {
        return {};
    }
}

XmlElement CryptoContext::DecryptResponse(const std::string& text) const {
    try {
        std::string normal = text;
        std::replace(normal.begin(), normal.end(), '-', '+');
        std::replace(normal.begin(), normal.end(), '_', '/');
        std::string bytes = Base64Codec::Decode(normal);
        bytes.resize(bytes.size() - bytes.size() % kCipherBlockSize);
        for (std::size_t i = 0; i < bytes.size(); i += kCipherBlockSize) {
            auto* block = reinterpret_cast<CryptoPP::byte*>(bytes.data() + i);
            impl_->decryptor.ProcessBlock(block, block);
        }
        return XmlElement(std::move(bytes));
    } catch (const std::exception&) {
        return XmlElement();
    }
}

}  // namespace vorn
