#include "station/protocol/BlindedRsa.h"

#include <cryptopp/modarith.h>
#include <cryptopp/nbtheory.h>

namespace vorn::station {

BlindedRsa::BlindedRsa(const CryptoPP::InvertibleRSAFunction& key) : key_(key) {}

BlindedRsa::Pair BlindedRsa::Take(CryptoPP::RandomNumberGenerator& random) {
    {
        std::lock_guard lock(mutex_);
        if (!pool_.empty()) {
            Pair pair = std::move(pool_.back());
            pool_.pop_back();
            return pair;
        }
    }
    const CryptoPP::Integer& n = key_.GetModulus();
    CryptoPP::ModularArithmetic modn(n);
    Pair pair;
    do {
        const CryptoPP::Integer r(random, CryptoPP::Integer::One(), n - CryptoPP::Integer::One());
        pair.unblind = modn.MultiplicativeInverse(r);
        pair.blind = modn.Exponentiate(r, key_.GetPublicExponent());
    } while (pair.unblind.IsZero());  // r shares a factor with n: astronomically rare
    return pair;
}

bool BlindedRsa::Invert(CryptoPP::RandomNumberGenerator& random, const CryptoPP::Integer& x, CryptoPP::Integer& y) {
    const CryptoPP::Integer& n = key_.GetModulus();
    CryptoPP::ModularArithmetic modn(n);
    Pair pair = Take(random);
    // (x r^e)^d = x^d r; the key keeps u = q^-1 mod p, so q and p swap roles.
    const CryptoPP::Integer blinded = modn.Multiply(pair.blind, x);
    const CryptoPP::Integer root =
        CryptoPP::ModularRoot(blinded, key_.GetModPrime2PrivateExponent(), key_.GetModPrime1PrivateExponent(),
                              key_.GetPrime2(), key_.GetPrime1(), key_.GetMultiplicativeInverseOfPrime2ModPrime1());
    y = modn.Multiply(root, pair.unblind);
    if (++pair.uses < kUsesPerPair) {
        pair.blind = modn.Square(pair.blind);
        pair.unblind = modn.Square(pair.unblind);
        std::lock_guard lock(mutex_);
        pool_.push_back(std::move(pair));
    }
    return modn.Exponentiate(y, key_.GetPublicExponent()) == x;
}

}  // namespace vorn::station
