#pragma once

#include <string>

namespace vorn::test {

// A fresh folder under the system's temporary folder, removed with its content
// when the object goes. Path() ends without a separator.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& Path() const { return path_; }
    std::string operator/(const std::string& relative) const { return path_ + "/" + relative; }

private:
    std::string path_;
};

// Points HOME, XDG_CONFIG_HOME and XDG_DATA_HOME at folders inside a temporary
// folder and makes that folder the current one, so a test never touches the real
// per-user store, logs or library; the session bus address points where no bus
// is, so no test appears on the machine's desktop. Everything is restored afterwards.
class IsolatedHome {
public:
    IsolatedHome();
    ~IsolatedHome();
    IsolatedHome(const IsolatedHome&) = delete;
    IsolatedHome& operator=(const IsolatedHome&) = delete;

    const std::string& Path() const { return dir_.Path(); }
    std::string operator/(const std::string& relative) const { return dir_ / relative; }
    std::string StorePath() const;  // the per-user store file of the program's key

private:
    TempDir dir_;
    std::string oldCwd_;
    std::string oldHome_, oldConfig_, oldData_, oldBus_;
    bool hadHome_ = false, hadConfig_ = false, hadData_ = false, hadBus_ = false;
};

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& content);

}  // namespace vorn::test
