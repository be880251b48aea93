#include "platform/LoadableModule.h"

#include <dlfcn.h>
#include <unistd.h>

#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

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

// Opens `file` from the first folder of the program's own library search
// path (its run path with $ORIGIN worked out, the environment's, the
// system's) that has it. Looked up here rather than left to dlopen, which
// searches the run path of whatever called it: a sanitizer's runtime that
// wraps dlopen would otherwise hide the program's run path.
void* OpenFromProgramPath(const std::string& file) {
    if (void* program = dlopen(nullptr, RTLD_NOW)) {
        Dl_serinfo size{};
        if (dlinfo(program, RTLD_DI_SERINFOSIZE, &size) == 0 && size.dls_size >= sizeof(Dl_serinfo)) {
            std::vector<unsigned char> buffer(size.dls_size);
            auto* info = new (buffer.data()) Dl_serinfo(size);
            if (dlinfo(program, RTLD_DI_SERINFO, info) == 0) {
                for (unsigned i = 0; i < info->dls_cnt; ++i) {
                    const std::string path = std::string(info->dls_serpath[i].dls_name) + "/" + file;
                    if (access(path.c_str(), F_OK) == 0) {
                        dlclose(program);
                        return dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
                    }
                }
            }
        }
        dlclose(program);
    }
    return dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);  // not found: the loader's own error
}

}  // namespace

const LoadableModule* LoadableModule::Open(const std::string& file, std::string& error) {
    static std::mutex mutex;                     // guards `opened`
    static std::map<std::string, Opened> opened;  // every module asked for, by file name
    const std::lock_guard lock(mutex);
    auto found = opened.find(file);
    if (found == opened.end()) {
        Opened outcome;
        void* handle = OpenFromProgramPath(file);
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
