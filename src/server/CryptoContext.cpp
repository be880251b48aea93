#include "server/CryptoContext.h"

#include <algorithm>

#include "foundation/LogEntry.h"
#include "platform/LoadableModule.h"
#include "server/Base64Codec.h"

namespace vorn {

namespace {

// The cipher module's entry, looked up once; null (logged once) when the
// module or its entry is missing.
CipherSuiteMaker SuiteMaker() {
    static const CipherSuiteMaker maker = [] () -> CipherSuiteMaker {
        std::string error;
        const LoadableModule* module = LoadableModule::Open(kCipherModule, error);
        void* entry = module != nullptr ? module->Symbol(kCipherSuiteEntry, error) : nullptr;
        if (entry == nullptr) {
            VORN_LOG(LogLevel::Severe) << "CryptoContext : the cipher module " << kCipherModule
                                      << " cannot be used : " << error;
            return nullptr;
        }
        return reinterpret_cast<CipherSuiteMaker>(entry);
    }();
    return maker;
}

}  // namespace

CryptoContext::CryptoContext(std::unique_ptr<CipherSuite> suite) : suite_(std::move(suite)) {}

CryptoContext::~CryptoContext() = default;

std::unique_ptr<CryptoContext> CryptoContext::Build(CryptoPP::RandomNumberGenerator* random) {
    const CipherSuiteMaker maker = SuiteMaker();
    if (maker == nullptr) return nullptr;
    std::unique_ptr<CipherSuite> suite(maker(random));
    if (!suite) return nullptr;
    return std::unique_ptr<CryptoContext>(new CryptoContext(std::move(suite)));
}

std::unique_ptr<CryptoContext> CryptoContext::Create() { return Build(nullptr); }

std::unique_ptr<CryptoContext> CryptoContext::Create(CryptoPP::RandomNumberGenerator& random) {
    return Build(&random);
}

bool CryptoContext::LoadPublicKey(const std::string& text) { return suite_->LoadPublicKey(text); }

bool CryptoContext::HasPublicKey() const { return suite_->HasPublicKey(); }

std::string CryptoContext::EncryptRequest(const XmlElement& element) {
    std::string token = suite_->KeyBlock();
    if (token.size() != kKeyBlockSize) return {};
    std::string body = element.Text();
    const std::size_t padding = kCipherBlockSize - body.size() % kCipherBlockSize;
    body.append(padding, static_cast<char>(padding));
    if (!suite_->Encrypt(body)) return {};
    token += body;

    std::string text = Base64Codec::Encode(token);
    std::replace(text.begin(), text.end(), '+', '-');
    std::replace(text.begin(), text.end(), '/', '_');
    return text;
}

XmlElement CryptoContext::DecryptResponse(const std::string& text) const {
    std::string normal = text;
    std::replace(normal.begin(), normal.end(), '-', '+');
    std::replace(normal.begin(), normal.end(), '_', '/');
    std::string bytes = Base64Codec::Decode(normal);
    bytes.resize(bytes.size() - bytes.size() % kCipherBlockSize);
    if (!suite_->Decrypt(bytes)) return XmlElement();
    return XmlElement(std::move(bytes));
}

}  // namespace vorn
