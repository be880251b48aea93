#pragma once

#include <cstdint>
#include <string>

#include "foundation/RegistryData.h"

namespace vorn {

class RegistryKey;

// One named value of a RegistryKey, cached by the key that owns it. Setters write
// through to the store at once (unless the key is loading or could not be opened).
class RegistryValue {
public:
    // Texts longer than this are cut in the cache (the store gets the whole text).
    static constexpr std::size_t kMaxCachedText = 2048;

    RegistryValue(RegistryKey& key, std::string name) : key_(key), name_(std::move(name)) {}
    RegistryValue(const RegistryValue&) = delete;
    RegistryValue& operator=(const RegistryValue&) = delete;

    const std::string& Name() const { return name_; }
    bool Exists() const { return exists_; }
    RegistryType Type() const { return data_.type; }

    // Strings as stored; a number as unsigned decimal; binary as its bytes; a
    // multi-string as its texts each followed by a NUL; nothing for type none.
    std::string AsText() const;
    // Strings and binary through decimal conversion; a number as is; else 0.
    std::int32_t AsInt() const;
    bool AsBool() const { return AsInt() != 0; }

    void SetText(const std::string& text);
    // Stored as signed decimal text, like every number the program writes.
    void SetInt(std::int32_t number);
    // Stored as a dword, for switches of our own that no described value shares.
    void SetDword(std::uint32_t number);

    // Fills the cache from the store without writing back.
    void Load(const RegistryData& data);

private:
    RegistryKey& key_;
    const std::string name_;
    bool exists_ = false;
    RegistryData data_;
};

}  // namespace vorn
