#include "station/catalogue/DecodeMessage.h"

#include <cstring>

namespace vorn::station {

void DecodeMessage::Put(const void* data, std::size_t size) {
    bytes_.append(static_cast<const char*>(data), size);
}

bool DecodeMessage::Get(void* data, std::size_t size) {
    if (!ok_ || bytes_.size() - at_ < size) {
        ok_ = false;
        return false;
    }
    std::memcpy(data, bytes_.data() + at_, size);
    at_ += size;
    return true;
}

void DecodeMessage::PutString(const std::string& text) {
    PutU32(static_cast<std::uint32_t>(text.size()));
    bytes_ += text;
}

bool DecodeMessage::GetString(std::string& text) {
    std::uint32_t size = 0;
    if (!GetU32(size) || bytes_.size() - at_ < size) {
        ok_ = false;
        return false;
    }
    text.assign(bytes_, at_, size);
    at_ += size;
    return true;
}

}  // namespace vorn::station
