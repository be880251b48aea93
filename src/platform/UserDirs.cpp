#include "platform/UserDirs.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

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

std::string UserDirFromFile(const std::string& name, const std::string& file, const std::string& home) {
    // What `xdg-user-dir` answers, without a shell: the environment's value,
    // replaced by the file's line NAME="VALUE" (as `.` in a shell would), in
    // which "$HOME" at the start stands for the home folder and a backslash
    // keeps the character after it.
    const std::string wanted = "XDG_" + name + "_DIR";
    const char* environment = std::getenv(wanted.c_str());
    std::string value = environment != nullptr ? environment : "";
    std::ifstream lines(file);
    for (std::string line; std::getline(lines, line);) {
        std::size_t at = line.find_first_not_of(" \t");
        if (at == std::string::npos || line.compare(at, wanted.size() + 2, wanted + "=\"") != 0) continue;
        at += wanted.size() + 2;
        std::string text;
        bool closed = false;
        for (; at < line.size(); ++at) {
            if (line[at] == '\\' && at + 1 < line.size()) {
                text.push_back(line[++at]);
            } else if (line[at] == '"') {
                closed = true;
                break;
            } else {
                text.push_back(line[at]);
            }
        }
        if (!closed) continue;
        if (text.rfind("$HOME", 0) == 0) text = home + text.substr(5);
        value = text;
    }
    return value;
}

std::string MusicDir() {
    const std::string home = HomeDir();
    const std::string answer = StripTrailingSlashes(UserDirFromFile("MUSIC", ConfigHome() + "/user-dirs.dirs", home));
    if (answer.empty() || answer[0] != '/' || answer == home) {
        return home + "/Music";
    }
    return answer;
}

}  // namespace vorn
