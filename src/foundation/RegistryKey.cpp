#include "foundation/RegistryKey.h"

#include "platform/AsciiCase.h"
#include "platform/UserDirs.h"

namespace vorn {

std::string RegistryKey::StorePath(const std::string& subKey) {
    std::string relative = subKey;
    const std::string software = "Software\\";
    if (relative.size() > software.size() && EqualsIgnoringCase(relative.substr(0, software.size()), software)) {
        relative = relative.substr(software.size());
    }
    for (char& c : relative) {
        if (c == '\\') c = '/';
    }
    return ConfigHome() + "/" + relative + ".reg";
}

bool RegistryKey::Open(const std::string& subKey, RegistryRoot /*root*/, bool reopen) {
    if (subKey != subKey_) {
        values_.clear();
    }
    subKey_ = subKey;
    Close();
    auto file = std::make_unique<RegistryFile>(StorePath(subKey), "HKEY_CURRENT_USER\\" + subKey);
    const bool opened = (mode_ & kCreate) != 0 ? file->Create() : file->Exists();
    if (!opened) {
        return false;
    }
    file_ = std::move(file);
    if (!reopen) {
        if (auto loaded = file_->Load()) {
            loading_ = true;
            for (const auto& [name, data] : *loaded) {
                Value(name).Load(data);
            }
            loading_ = false;
        }
    }
    return true;
}

void RegistryKey::Close() { file_.reset(); }

RegistryValue& RegistryKey::Value(const std::string& name) {
    for (const auto& value : values_) {
        if (EqualsIgnoringCase(value->Name(), name)) {
            return *value;
        }
    }
    values_.push_back(std::make_unique<RegistryValue>(*this, name));
    return *values_.back();
}

void RegistryKey::Store(const std::string& name, const RegistryData& data) {
    if (!file_ || loading_) {
        return;
    }
    if (batches_ == 0) {
        file_->Write(name, data);  // store errors are ignored, as registry write errors are
        return;
    }
    for (auto& [batchedName, batchedData] : batched_) {
        if (EqualsIgnoringCase(batchedName, name)) {
            batchedData = data;
            return;
        }
    }
    batched_.emplace_back(name, data);
}

RegistryKey::Batch::~Batch() {
    if (--key_.batches_ > 0) return;
    if (key_.file_ && !key_.batched_.empty()) key_.file_->Write(key_.batched_, flush_);
    key_.batched_.clear();
}

}  // namespace vorn
