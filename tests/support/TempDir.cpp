#include "tests/support/TempDir.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace vorn::test {

TempDir::TempDir() {
    std::string pattern = std::filesystem::temp_directory_path().string() + "/vorn-test-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

namespace {

void Remember(const char* name, std::string& value, bool& had) {
    const char* current = std::getenv(name);
    had = current != nullptr;
    value = had ? current : "";
}

void Restore(const char* name, const std::string& value, bool had) {
    if (had) {
        ::setenv(name, value.c_str(), 1);
    } else {
        ::unsetenv(name);
    }
}

}  // namespace

IsolatedHome::IsolatedHome() {
    Remember("HOME", oldHome_, hadHome_);
    Remember("XDG_CONFIG_HOME", oldConfig_, hadConfig_);
    Remember("XDG_DATA_HOME", oldData_, hadData_);
    Remember("DBUS_SESSION_BUS_ADDRESS", oldBus_, hadBus_);
    std::filesystem::create_directories(dir_ / "home");
    std::filesystem::create_directories(dir_ / "config");
    std::filesystem::create_directories(dir_ / "data");
    ::setenv("HOME", (dir_ / "home").c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (dir_ / "config").c_str(), 1);
    ::setenv("XDG_DATA_HOME", (dir_ / "data").c_str(), 1);
    ::setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + (dir_ / "no-session-bus")).c_str(), 1);
    oldCwd_ = std::filesystem::current_path().string();
    std::filesystem::current_path(dir_.Path());
}

IsolatedHome::~IsolatedHome() {
    std::error_code ignored;
    std::filesystem::current_path(oldCwd_, ignored);
    Restore("HOME", oldHome_, hadHome_);
    Restore("XDG_CONFIG_HOME", oldConfig_, hadConfig_);
    Restore("XDG_DATA_HOME", oldData_, hadData_);
    Restore("DBUS_SESSION_BUS_ADDRESS", oldBus_, hadBus_);
}

std::string IsolatedHome::StorePath() const { return dir_ / "config/Mirelund/Vorn.reg"; }

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

void WriteFile(const std::string& path, const std::string& content) {
    if (const auto parent = std::filesystem::path(path).parent_path(); !parent.empty()) {
        std::filesystem::create_directories(parent);
    }
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

}  // namespace vorn::test
