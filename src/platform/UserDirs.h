#pragma once

#include <string>

namespace vorn {

// The per-user folders of the XDG base directory scheme. Each is read from the
// environment at every call, so tests can point them at temporary folders.
// None of them ends with a separator.
std::string HomeDir();
std::string ConfigHome();  // $XDG_CONFIG_HOME, else ~/.config
std::string DataHome();    // $XDG_DATA_HOME, else ~/.local/share
// The user's music folder: what `xdg-user-dir MUSIC` answers (read from
// $XDG_CONFIG_HOME/user-dirs.dirs, as that command reads it, without starting
// a shell on the way to the first window) when that is a folder other than the
// home folder, else ~/Music.
std::string MusicDir();
// The value of XDG_<name>_DIR after the user-dirs `file` (`home` for "$HOME");
// the environment's value when the file does not set it; empty when neither does.
std::string UserDirFromFile(const std::string& name, const std::string& file, const std::string& home);

}  // namespace vorn
