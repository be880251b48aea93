#include "foundation/RegistryValue.h"

#include "foundation/RegistryKey.h"
#include "platform/Decimal.h"

namespace vorn {

std::string RegistryValue::AsText() const {
    switch (data_.type) {
        case RegistryType::String:
            return data_.text;
        case RegistryType::Dword:
            return std::to_string(data_.dword);
        case RegistryType::Binary:
            return std::string(data_.bytes.begin(), data_.bytes.end());
        case RegistryType::MultiString: {
            std::string out;
            for (const std::string& s : data_.strings) {
                out += s;
                out.push_back('\0');
            }
            return out;
        }
        case RegistryType::None:
            break;
    }
    return std::string();
}

std::int32_t RegistryValue::AsInt() const {
    switch (data_.type) {
        case RegistryType::String:
            return ParseDecimalPrefix(data_.text);
        case RegistryType::Binary:
            return ParseDecimalPrefix(std::string(data_.bytes.begin(), data_.bytes.end()));
        case RegistryType::Dword:
            return static_cast<std::int32_t>(data_.dword);
        default:
            return 0;
    }
}

void RegistryValue::SetText(const std::string& text) {
    data_ = RegistryData{};
    data_.type = RegistryType::String;
    data_.text = text.substr(0, kMaxCachedText);
    exists_ = true;
    RegistryData full;
    full.type = RegistryType::String;
    full.text = text;
    key_.Store(name_, full);
}

void RegistryValue::SetInt(std::int32_t number) { SetText(std::to_string(number)); }

void RegistryValue::SetDword(std::uint32_t number) {
    data_ = RegistryData{};
    data_.type = RegistryType::Dword;
    data_.dword = number;
    exists_ = true;
    key_.Store(name_, data_);
}

void RegistryValue::Load(const RegistryData& data) {
    data_ = data;
    if (data_.type == RegistryType::String && data_.text.size() > kMaxCachedText) {
        data_.text.resize(kMaxCachedText);
    }
    exists_ = true;
}

}  // namespace vorn
