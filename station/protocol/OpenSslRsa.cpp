#include "station/protocol/OpenSslRsa.h"

#include <cryptopp/filters.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <cstring>
#include <exception>
#include <string>

namespace vorn::station {

// One call's contexts: the private operation's, and the numbers that check
// its result. The check is the public operation done straight on the numbers,
// with the modulus's Montgomery form made once: through EVP it cost a third
// more, for a fresh number context and the provider's steps on every call.
struct OpenSslRsa::Contexts {
    EVP_PKEY_CTX* open = nullptr;
    BN_CTX* numbers = nullptr;
    BIGNUM* root = nullptr;
    BIGNUM* resealed = nullptr;
};

void OpenSslRsa::ContextsDeleter::operator()(Contexts* contexts) const {
    EVP_PKEY_CTX_free(contexts->open);
    BN_CTX_free(contexts->numbers);
    BN_clear_free(contexts->root);
    BN_clear_free(contexts->resealed);
    delete contexts;
}

OpenSslRsa::OpenSslRsa(const CryptoPP::InvertibleRSAFunction& key) {
    // Handed over as the PKCS#8 PrivateKeyInfo the key file holds.
    std::string der;
    try {
        CryptoPP::StringSink sink(der);
        key.DEREncode(sink);
    } catch (const std::exception&) {
        return;
    }
    const auto* at = reinterpret_cast<const unsigned char*>(der.data());
    EVP_PKEY* parsed = d2i_AutoPrivateKey(nullptr, &at, static_cast<long>(der.size()));
    OPENSSL_cleanse(der.data(), der.size());
    BN_CTX* numbers = BN_CTX_new();
    const bool fits = parsed != nullptr && numbers != nullptr && EVP_PKEY_is_a(parsed, "RSA") == 1 &&
                      EVP_PKEY_get_bn_param(parsed, OSSL_PKEY_PARAM_RSA_N, &modulusNumber_) == 1 &&
                      EVP_PKEY_get_bn_param(parsed, OSSL_PKEY_PARAM_RSA_E, &exponent_) == 1 &&
                      BN_num_bytes(modulusNumber_) == static_cast<int>(kBlockSize) &&
                      BN_bn2binpad(modulusNumber_, modulus_.data(), kBlockSize) == static_cast<int>(kBlockSize) &&
                      (montgomery_ = BN_MONT_CTX_new()) != nullptr &&
                      BN_MONT_CTX_set(montgomery_, modulusNumber_, numbers) == 1;
    BN_CTX_free(numbers);
    if (fits) {
        key_ = parsed;
    } else {
        EVP_PKEY_free(parsed);
        ERR_clear_error();
    }
}

OpenSslRsa::~OpenSslRsa() {
    pool_.clear();
    EVP_PKEY_free(key_);
    BN_MONT_CTX_free(montgomery_);
    BN_free(modulusNumber_);
    BN_free(exponent_);
}

OpenSslRsa::ContextsPtr OpenSslRsa::Take() {
    {
        std::lock_guard lock(mutex_);
        if (!pool_.empty()) {
            ContextsPtr contexts = std::move(pool_.back());
            pool_.pop_back();
            return contexts;
        }
    }
    ContextsPtr contexts(new Contexts);
    contexts->open = EVP_PKEY_CTX_new_from_pkey(nullptr, key_, nullptr);
    contexts->numbers = BN_CTX_new();
    contexts->root = BN_new();
    contexts->resealed = BN_new();
    if (contexts->open == nullptr || contexts->numbers == nullptr || contexts->root == nullptr ||
        contexts->resealed == nullptr || EVP_PKEY_decrypt_init(contexts->open) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(contexts->open, RSA_NO_PADDING) != 1) {
        return nullptr;
    }
    return contexts;
}

OpenSslRsa::Outcome OpenSslRsa::Open(const unsigned char* sealed, unsigned char* opened) {
    if (key_ == nullptr) {
        return Outcome::Failed;
    }
    // Big-endian blocks of one length compare as numbers do.
    if (std::memcmp(sealed, modulus_.data(), kBlockSize) >= 0) {
        return Outcome::AboveModulus;
    }
    ContextsPtr contexts = Take();
    std::array<unsigned char, kBlockSize> resealed{};
    std::size_t openedSize = kBlockSize;
    const bool right =
        contexts != nullptr && EVP_PKEY_decrypt(contexts->open, opened, &openedSize, sealed, kBlockSize) == 1 &&
        openedSize == kBlockSize && BN_bin2bn(opened, kBlockSize, contexts->root) != nullptr &&
        BN_mod_exp_mont(contexts->resealed, contexts->root, exponent_, modulusNumber_, contexts->numbers,
                        montgomery_) == 1 &&
        BN_bn2binpad(contexts->resealed, resealed.data(), kBlockSize) == static_cast<int>(kBlockSize) &&
        std::memcmp(resealed.data(), sealed, kBlockSize) == 0;
    if (contexts != nullptr) {
        std::lock_guard lock(mutex_);
        pool_.push_back(std::move(contexts));
    }
    if (!right) {
        ERR_clear_error();  // the queue is the thread's own and would only grow
        return Outcome::Failed;
    }
    return Outcome::Opened;
}

}  // namespace vorn::station
