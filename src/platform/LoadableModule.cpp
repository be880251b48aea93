#include "platform/LoadableModule.h"

#include <dlfcn.h>

#include <map>
#include <memory>
#include <mutex>
#include <utility>

namespace vorn {

namespace {

struct Opened {
    std::unique_ptr<LoadableModule> module;  // null when it could not be opened
    std::string error;
};

std::string LastLoaderError() {
    const char* text = dlerror();
    return text != nullptr ? text : "unknown error";
}

}  // namespace

const LoadableModule* LoadableModule::Open(const std::string& file, std::string& error) {
    static std::mutex mutex;                     // guards `opened`
    static std::map<std::string, Opened> opened;  // every module asked for, by file name
    const std::lock_guard lock(mutex);
    auto found = opened.find(file);
    if (found == opened.end()) {
        Opened outcome;
        void* handle = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (handle != nullptr) {
            outcome.module.reset(new LoadableModule(file, handle));
        } else {
            outcome.error = LastLoaderError();
        }
        found = opened.emplace(file, std::move(outcome)).first;
    }
    error = found->second.error;
    return found->second.module.get();
}

void* LoadableModule::Symbol(const char* name, std::string& error) const {
    dlerror();
    void* address = dlsym(handle_, name);
    if (address == nullptr) error = LastLoaderError();
    return address;
}

}  // namespace vorn
