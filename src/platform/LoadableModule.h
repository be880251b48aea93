#pragma once

#include <string>

namespace vorn {

// A shared module of this program (a part kept out of the executable so that a
// start does not pay for linking what the first window does not use), opened
// on first use and kept for the rest of the process: what it made may outlive
// any one owner, so it is never closed.
//
// Found by name through the program's run path: the client's is
// "$ORIGIN/../lib/<multiarch>/vorn", where its modules are installed and
// built; the build tree's tests and benches carry the folder they are built into.
class LoadableModule {
public:
    // The module `file` (for example "libvorn-cipher.so"), or null with
    // `error` saying why. Thread-safe; the outcome, failure included, is
    // remembered, so a missing module is looked for once.
    static const LoadableModule* Open(const std::string& file, std::string& error);

    // The address of the exported symbol, or null with `error` saying why.
    void* Symbol(const char* name, std::string& error) const;

    const std::string& File() const { return file_; }

private:
    LoadableModule(std::string file, void* handle) : file_(std::move(file)), handle_(handle) {}

    std::string file_;
    void* handle_;
};

}  // namespace vorn
