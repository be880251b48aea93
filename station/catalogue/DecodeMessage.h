#pragma once

#include <cstdint>
#include <string>

namespace vorn::station {

// The body of a message between the station and its decoding worker
// (DecodeWorker): fixed-size numbers in the machine's own byte order (both
// ends are the same program) and strings with their length before them.
// Reading past the end or a length beyond what is left fails the message
// instead of reading outside it.
class DecodeMessage {
public:
    DecodeMessage() = default;
    explicit DecodeMessage(std::string bytes) : bytes_(std::move(bytes)) {}

    void PutU32(std::uint32_t value) { Put(&value, sizeof value); }
    void PutU64(std::uint64_t value) { Put(&value, sizeof value); }
    void PutDouble(double value) { Put(&value, sizeof value); }
    void PutString(const std::string& text);

    bool GetU32(std::uint32_t& value) { return Get(&value, sizeof value); }
    bool GetU64(std::uint64_t& value) { return Get(&value, sizeof value); }
    bool GetDouble(double& value) { return Get(&value, sizeof value); }
    bool GetString(std::string& text);
    // True when every byte was read and none was missing.
    bool Done() const { return ok_ && at_ == bytes_.size(); }

    const std::string& Bytes() const { return bytes_; }

private:
    void Put(const void* data, std::size_t size);
    bool Get(void* data, std::size_t size);

    std::string bytes_;
    std::size_t at_ = 0;
    bool ok_ = true;
};

}  // namespace vorn::station
