#include "tests/window/WindowTestSupport.h"

#include <filesystem>

#include "foundation/Preferences.h"
#include "foundation/RegistryKey.h"
#include "tests/library/LibraryTestSupport.h"
#include "tests/ui/QtTestSupport.h"
#include "tests/ui/ToneFile.h"
#include "ui/QtUiThread.h"

namespace vorn::test {

TestWindow::TestWindow(PicturePreload* preloaded) : CVornUIDlgDirectShow(QtUiThread::Instance(), preloaded) {}

TestWindow::~TestWindow() { Shutdown(); }

int TestWindow::ShowMessage(int icon, const std::string& caption, const std::string& text, int buttons) {
    messages.push_back({icon, caption, text, buttons});
    return answer;
}

bool TestWindow::SetDisplayText(const std::string& line1, const std::string& line2) {
    {
        std::lock_guard lock(textsMutex_);
        texts_.push_back(line1);
    }
    return CVornUIDlgDirectShow::SetDisplayText(line1, line2);
}

std::vector<std::string> TestWindow::DisplayTexts() {
    std::lock_guard lock(textsMutex_);
    return texts_;
}

bool TestWindow::RunOptionsDialog() {
    ++optionsShown;
    return optionsDialog ? optionsDialog() : false;
}

WindowFixture::WindowFixture() : media_(home / "Music/Vorn/") {
    EnsureApplication();
    std::filesystem::create_directory_symlink(VORN_SOURCE_DIR "/resources", home / "resources");
    RegistryKey key;
    key.Open(kVornKeyPath);
    key.Value("MediaDir").SetText(media_);
    key.Value("InstallDir").SetText(home.Path() + "/");
    Preferences::Global().Reload();
}

WindowFixture::~WindowFixture() = default;

void WindowFixture::WriteLibrary(int count, double seconds) {
    std::string content;
    for (int id = 1; id <= count; ++id) {
        auto item = MakeStoredItem(id, media_ + "UnRated/", 0);
        WriteToneMp3(item->FullPath(), seconds);
        content += item->ToXml().Text() + "\n";
    }
    WriteFile("pl.txt", content);
}

std::unique_ptr<TestWindow> WindowFixture::Open(PicturePreload* preloaded) {
    auto window = std::make_unique<TestWindow>(preloaded);
    window->show();
    if (!PumpUntil([&] { return window->IsUiReady(); })) {
        return nullptr;
    }
    return window;
}

}  // namespace vorn::test
