// `cmake --install` into a temporary prefix: the layout a desktop expects, and
// the installed program finding its skin there from any current folder.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <QImage>

#include <filesystem>
#include <set>

#include "tests/app/ChildProcess.h"
#include "tests/app/VornDesktop.h"

namespace vorn::test {
namespace {

namespace fs = std::filesystem;

std::set<std::string> FilesIn(const fs::path& folder) {
    std::set<std::string> names;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(folder, error)) {
        names.insert(entry.path().filename().string());
    }
    return names;
}

bool Executable(const fs::path& file) {
    struct stat facts {};
    return ::stat(file.c_str(), &facts) == 0 && S_ISREG(facts.st_mode) && (facts.st_mode & S_IXUSR) != 0;
}

TEST(InstallTest, TheInstalledProgramRunsWithItsSkinFromAnyFolder) {
    VornDesktop desktop;
    ASSERT_TRUE(desktop.Ready()) << "Xvfb did not start";
    const fs::path prefix = desktop.Path("prefix");
    {
        ChildProcess install({VORN_CMAKE_COMMAND, "--install", VORN_BUILD_DIR, "--prefix", prefix.string()}, {},
                             desktop.Path("install.out"));
        int status = -1;
        ASSERT_TRUE(install.WaitExit(120000, status));
        ASSERT_EQ(status, 0) << ReadFile(desktop.Path("install.out"));
    }

    // ---- the layout
    EXPECT_TRUE(Executable(prefix / "bin/vorn"));
    EXPECT_TRUE(Executable(prefix / "bin/vorn-station"));
    std::set<std::string> expected;
    for (const std::string& name : FilesIn(VORN_SOURCE_RESOURCES)) {
        if (name.ends_with(".png") || name.ends_with(".ttf") || name.ends_with(".LICENSE.txt")) expected.insert(name);
    }
    EXPECT_TRUE(expected.count("DIGIRT__.ttf") && expected.count("DIGIRT__.LICENSE.txt") &&
                expected.count("vorn background.png"));
    EXPECT_EQ(FilesIn(prefix / "share/vorn/resources"), expected) << "every skin picture, the font and its licence";
    const std::string entry = ReadFile((prefix / "share/applications/vorn.desktop").string());
    for (const char* line : {"[Desktop Entry]\n", "\nType=Application\n", "\nName=Vorn Custom Radio\n", "\nExec=vorn\n",
                             "\nIcon=vorn\n"}) {
        EXPECT_NE(entry.find(line), std::string::npos) << line;
    }
    EXPECT_EQ(ReadFile((prefix / "share/icons/hicolor/256x256/apps/vorn.png").string()),
              ReadFile(std::string(VORN_SOURCE_RESOURCES) + "/vorn icon.png"));
    EXPECT_EQ(QImage(QString::fromStdString((prefix / "share/icons/hicolor/256x256/apps/vorn.png").string())).size(),
              QSize(256, 256));

    // ---- the installed program, started in "/", with no station to reach
    desktop.SetStoreValue("ServerHost", "vorn-install-test.invalid");
    auto program = desktop.StartVorn((prefix / "bin/vorn").string(), desktop.Path("vorn.out"), "/");
    const std::string window = desktop.FindWindow("Vorn Custom Radio", 30000);
    ASSERT_FALSE(window.empty()) << "no window\n" << ReadFile(desktop.LogPath()) << ReadFile(desktop.Path("vorn.out"));
    std::error_code error;
    EXPECT_EQ(fs::canonical(desktop.InstallDir() + "resources", error), fs::canonical(prefix / "share/vorn/resources"))
        << "the skin must come from the installation";
    EXPECT_EQ(desktop.LogLines("*****SEVERE****** : Initializing Vorn Build : "), std::vector<std::string>{"13"});

    // The window shows the installed skin: outside the controls it is the background picture.
    const QImage background(QString::fromStdString((prefix / "share/vorn/resources/vorn background.png").string()));
    ASSERT_EQ(background.size(), QSize(430, 130));
    const std::vector<std::uint32_t> shown = desktop.Grab(window, 0, 0, 430, 130);
    ASSERT_EQ(shown.size(), 430u * 130u);
    const QRect controls[] = {QRect(23, 17, 99, 101), QRect(137, 38, 259, 41), QRect(220, 85, 160, 18)};
    int compared = 0, matching = 0;
    for (int y = 0; y < 130; ++y) {
        for (int x = 0; x < 430; ++x) {
            const QRgb want = background.pixel(x, y);
            bool inControl = false;
            for (const QRect& area : controls) inControl = inControl || area.contains(x, y);
            if (qAlpha(want) != 255 || inControl) continue;
            const std::uint32_t got = shown[static_cast<std::size_t>(y) * 430 + x];
            ++compared;
            const int dr = std::abs(qRed(want) - static_cast<int>((got >> 16) & 0xFF));
            const int dg = std::abs(qGreen(want) - static_cast<int>((got >> 8) & 0xFF));
            const int db = std::abs(qBlue(want) - static_cast<int>(got & 0xFF));
            if (dr <= 8 && dg <= 8 && db <= 8) ++matching;
        }
    }
    ASSERT_GT(compared, 10000);
    EXPECT_GT(matching, compared * 95 / 100) << matching << " of " << compared << " pixels match";
    if (HasFailure()) desktop.SaveScreenshot(std::string(VORN_E2E_ARTIFACTS) + "/InstallTest.png");

    int status = -1;
    program->Signal(SIGTERM);
    ASSERT_TRUE(program->WaitExit(20000, status));
    EXPECT_EQ(status, 0);
    EXPECT_FALSE(desktop.LogLines("INFO : Shutting down").empty());
}

}  // namespace
}  // namespace vorn::test
