#include "platform/UserDirs.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "tests/support/TempDir.h"

namespace vorn {
namespace {

// The music folder as read without a shell, beside what the desktop's own
// command answers for the same files (where it is installed): the program
// asked `xdg-user-dir MUSIC` before, and must keep finding the same folder.
class UserDirsTest : public ::testing::Test {
protected:
    UserDirsTest() { ::unsetenv("XDG_MUSIC_DIR"); }
    ~UserDirsTest() override { ::unsetenv("XDG_MUSIC_DIR"); }

    std::string UserDirs() const { return home_ / "config/user-dirs.dirs"; }
    std::string Home() const { return home_ / "home"; }

    // What `xdg-user-dir MUSIC` prints in this home; "-" when the command is missing.
    static std::string CommandAnswer() {
        if (!std::filesystem::exists("/usr/bin/xdg-user-dir")) return "-";
        std::string text;
        if (FILE* pipe = ::popen("/usr/bin/xdg-user-dir MUSIC 2>/dev/null", "r")) {
            char buffer[4096];
            while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) text += buffer;
            ::pclose(pipe);
        }
        while (!text.empty() && text.back() == '\n') text.pop_back();
        return text;
    }

    // The file's answer, checked against the command's.
    std::string Read(const std::string& content) {
        test::WriteFile(UserDirs(), content);
        const std::string value = UserDirFromFile("MUSIC", UserDirs(), Home());
        const std::string command = CommandAnswer();
        if (command != "-") {
            EXPECT_EQ(value.empty() ? Home() : value, command) << content;
        }
        return value;
    }

    test::IsolatedHome home_;
};

TEST_F(UserDirsTest, TheFilesLineNamesTheFolderWithHomeAndEscapesAsTheShellReadsThem) {
    EXPECT_EQ(Read("# written by xdg-user-dirs-update\n"
                   "XDG_DESKTOP_DIR=\"$HOME/Desktop\"\n"
                   "XDG_MUSIC_DIR=\"$HOME/Musik\"\n"),
              Home() + "/Musik");
    EXPECT_EQ(Read("XDG_MUSIC_DIR=\"/srv/music\"\n"), "/srv/music");
    EXPECT_EQ(Read("  XDG_MUSIC_DIR=\"$HOME/my \\\"best\\\" \\$tunes\"\n"), Home() + "/my \"best\" $tunes");
    // The last line wins, as it does when the shell runs the file.
    EXPECT_EQ(Read("XDG_MUSIC_DIR=\"/first\"\nXDG_MUSIC_DIR=\"/second\"\n"), "/second");
    // Other folders' lines and commented ones are not the music folder's.
    EXPECT_EQ(Read("XDG_MUSICAL_DIR=\"/no\"\n#XDG_MUSIC_DIR=\"/no\"\nXDG_VIDEOS_DIR=\"/no\"\n"), "");
}

TEST_F(UserDirsTest, WithoutALineTheEnvironmentOrNothingAnswers) {
    ::setenv("XDG_MUSIC_DIR", "/from/the/environment", 1);
    EXPECT_EQ(Read("XDG_DESKTOP_DIR=\"$HOME/Desktop\"\n"), "/from/the/environment");
    EXPECT_EQ(Read("XDG_MUSIC_DIR=\"/from/the/file\"\n"), "/from/the/file");
    ::unsetenv("XDG_MUSIC_DIR");
    std::filesystem::remove(UserDirs());
    EXPECT_EQ(UserDirFromFile("MUSIC", UserDirs(), Home()), "");
}

TEST_F(UserDirsTest, TheMusicFolderIsTheUsersOneOrMusicInTheHome) {
    test::WriteFile(UserDirs(), "XDG_MUSIC_DIR=\"$HOME/Songs/\"\n");
    EXPECT_EQ(MusicDir(), Home() + "/Songs");
    // The home itself (a desktop without a music folder) and a relative path are no music folder.
    test::WriteFile(UserDirs(), "XDG_MUSIC_DIR=\"$HOME/\"\n");
    EXPECT_EQ(MusicDir(), Home() + "/Music");
    test::WriteFile(UserDirs(), "XDG_MUSIC_DIR=\"Music\"\n");
    EXPECT_EQ(MusicDir(), Home() + "/Music");
    std::filesystem::remove(UserDirs());
    EXPECT_EQ(MusicDir(), Home() + "/Music");
}

}  // namespace
}  // namespace vorn
