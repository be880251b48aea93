#pragma once

#include <cryptopp/rsa.h>
#include <openssl/types.h>

#include <array>
#include <cstddef>
#include <memory>
#include <mutex>
#include <vector>

namespace vorn::station {

// The station key's private operation through OpenSSL's libcrypto: raw RSA
// (no padding; the client's key block carries its own layout) on one block
// of the modulus's size. OpenSSL blinds every private-key operation and
// exponentiates in constant time. Each result is checked against the public
// key before it is used (its e-th power must give the sealed block back), so
// that a faulty computation, which could give the key's factors away, never
// leaves the station.
//
// Safe from several threads: each call borrows contexts of its own from a
// pool, which grows to the number of calls that ever ran at once.
class OpenSslRsa {
public:
    static constexpr std::size_t kBlockSize = 128;  // a 1024-bit modulus

    enum class Outcome {
        Opened,
        AboveModulus,  // the sealed block is not below the modulus
        Failed,        // OpenSSL refused, or the result failed its check
    };

    // A key whose modulus is not of kBlockSize bytes, or that OpenSSL cannot
    // take, leaves an operation whose every call fails.
    explicit OpenSslRsa(const CryptoPP::InvertibleRSAFunction& key);
    ~OpenSslRsa();
    OpenSslRsa(const OpenSslRsa&) = delete;
    OpenSslRsa& operator=(const OpenSslRsa&) = delete;

    bool Usable() const { return key_ != nullptr; }

    // opened = sealed^d mod n; both are kBlockSize bytes, most significant
    // first. `opened` holds nothing of use unless the outcome is Opened.
    Outcome Open(const unsigned char* sealed, unsigned char* opened);

private:
    struct Contexts;
    struct ContextsDeleter {
        void operator()(Contexts* contexts) const;
    };
    using ContextsPtr = std::unique_ptr<Contexts, ContextsDeleter>;

    ContextsPtr Take();

    // Owned, and only read once made; the key is null when it could not be set up.
    EVP_PKEY* key_ = nullptr;
    BIGNUM* modulusNumber_ = nullptr;
    BIGNUM* exponent_ = nullptr;
    BN_MONT_CTX* montgomery_ = nullptr;
    std::array<unsigned char, kBlockSize> modulus_{};  // big-endian
    std::mutex mutex_;  // guards pool_
    std::vector<ContextsPtr> pool_;
};

}  // namespace vorn::station
