#include "platform/UserDirs.h"

#include <pwd.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>

namespace vorn {
namespace {

std::string FromEnvironment(const char* name) {
    const char* value = std::getenv(name);
    return (value != nullptr && value[0] == '/') ? std::string(value) : std::string();
}

std::string StripTrailingSlashes(std::string path) {
    while (path.size() > 1 && path.back() == '/') {
        path.pop_back();
    }
    return path;
}

}  // namespace

std::string HomeDir() {
    std::string home = FromEnvironment("HOME");
    if (home.empty()) {
        if (const passwd* pw = getpwuid(getuid()); pw != nullptr && pw->pw_dir != nullptr) {
            home = pw->pw_dir;
        } else {
            home = "/tmp";
        }
    }
    return StripTrailingSlashes(home);
}

std::string ConfigHome() {
    const std::string configured = FromEnvironment("XDG_CONFIG_HOME");
    return configured.empty() ? HomeDir() + "/.config" : StripTrailingSlashes(configured);
}

std::string DataHome() {
    const std::string configured = FromEnvironment("XDG_DATA_HOME");
    return configured.empty() ? HomeDir() + "/.local/share" : StripTrailingSlashes(configured);
}

std::string MusicDir() {
    std::string answer;
    if (FILE* pipe = popen("xdg-user-dir MUSIC 2>/dev/null", "r"); pipe != nullptr) {
        std::array<char, 4096> buffer{};
        if (std::fgets(buffer.data(), static_cast<int>(buffer.size()), pipe) != nullptr) {
            answer = buffer.data();
        }
        pclose(pipe);
    }
    while (!answer.empty() && (answer.back() == '\n' || answer.back() == '\r')) {
        answer.pop_back();
    }
    answer = StripTrailingSlashes(answer);
    const std::string home = HomeDir();
    if (answer.empty() || answer[0] != '/' || answer == home) {
        return home + "/Music";
    }
    return answer;
}

}  // namespace vorn
