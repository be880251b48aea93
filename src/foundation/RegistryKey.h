#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "foundation/RegistryData.h"
#include "foundation/RegistryFile.h"
#include "foundation/RegistryValue.h"

namespace vorn {

enum class RegistryRoot { CurrentUser };

// The program's registry key: HKEY_CURRENT_USER "Software\Mirelund\Vorn".
inline constexpr const char* kVornKeyPath = "Software\\Mirelund\\Vorn";

// A key of the per-user store with a cache of its values. A key path
// "Software\A\B" under the current user lives in the file
// $XDG_CONFIG_HOME/A/B.reg (see RegistryFile). The cache is filled when the key
// is opened and never reread; values written through this key go to the store at
// once, merged with whatever other keys wrote meanwhile.
class RegistryKey {
public:
    enum Mode : std::uint32_t { kCreate = 1 };

    explicit RegistryKey(std::uint32_t mode = kCreate) : mode_(mode) {}
    RegistryKey(const RegistryKey&) = delete;
    RegistryKey& operator=(const RegistryKey&) = delete;

    // Opens (creating, in create mode) the key and, unless reopening, loads all
    // its values. A different path than before drops the cached values.
    bool Open(const std::string& subKey, RegistryRoot root = RegistryRoot::CurrentUser,
              bool reopen = false);
    void Close();
    bool IsOpen() const { return file_ != nullptr; }

    // The cached value of that name (case-insensitive); a new value with type
    // none when there is none. Never fails; references stay valid for the key's life.
    RegistryValue& Value(const std::string& name);

    // Where the store for a key path lives.
    static std::string StorePath(const std::string& subKey);

    // While a batch lives, values written through its key go to the store
    // together when it ends: one replacement of the file, and one flush to
    // disk, for several values (the defaults of a first start). A batch of
    // values that a later start would work out again the same way need not
    // wait for the disk (`flush` false): a power cut loses nothing of worth.
    class Batch {
    public:
        explicit Batch(RegistryKey& key, bool flush = true) : key_(key), flush_(flush) { ++key_.batches_; }
        ~Batch();
        Batch(const Batch&) = delete;
        Batch& operator=(const Batch&) = delete;

    private:
        RegistryKey& key_;
        const bool flush_;
    };

private:
    friend class RegistryValue;
    void Store(const std::string& name, const RegistryData& data);

    const std::uint32_t mode_;
    std::string subKey_;
    std::unique_ptr<RegistryFile> file_;  // the open "handle", or null
    bool loading_ = false;
    int batches_ = 0;              // batches open on this key
    RegistryFile::Values batched_;  // written while a batch is open, for its end
    std::vector<std::unique_ptr<RegistryValue>> values_;  // in order of first use
};

}  // namespace vorn
