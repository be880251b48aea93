#pragma once

#include <cryptopp/integer.h>
#include <cryptopp/rng.h>
#include <cryptopp/rsa.h>

#include <mutex>
#include <vector>

namespace vorn::station {

// The key's private operation with blinding, the blinding values reused the
// way long-running RSA servers reuse them: a pair (r^e, r^-1) is squared after
// each use and replaced by a fresh random one every kUsesPerPair uses. A fresh
// pair costs a modular inverse, which is most of what blinding adds to the
// operation; reusing pairs keeps the timing protection at a fraction of the cost.
//
// Safe from several threads: each call takes a pair of its own from a pool.
class BlindedRsa {
public:
    static constexpr int kUsesPerPair = 32;

    explicit BlindedRsa(const CryptoPP::InvertibleRSAFunction& key);
    BlindedRsa(const BlindedRsa&) = delete;
    BlindedRsa& operator=(const BlindedRsa&) = delete;

    // y = x^d mod n for 0 <= x < n. False when the result fails its check
    // (y^e must give x back), so a faulty computation never leaves the station.
    bool Invert(CryptoPP::RandomNumberGenerator& random, const CryptoPP::Integer& x, CryptoPP::Integer& y);

private:
    struct Pair {
        CryptoPP::Integer blind;    // r^e mod n
        CryptoPP::Integer unblind;  // r^-1 mod n
        int uses = 0;
    };

    Pair Take(CryptoPP::RandomNumberGenerator& random);

    const CryptoPP::InvertibleRSAFunction& key_;
    std::mutex mutex_;  // guards pool_
    std::vector<Pair> pool_;
};

}  // namespace vorn::station
