// The Debian packages as cpack builds them (tests/app/MakePackages.cmake runs
// once before these tests): what Debian's own tools say of them, what they hold,
// and the programs run from the packages unpacked into a temporary root.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <QImage>

#include <algorithm>
#include <filesystem>
#include <regex>
#include <set>
#include <sstream>

#include "foundation/RegistryKey.h"
#include "tests/app/ChildProcess.h"
#include "tests/app/VornDesktop.h"

namespace vorn::test {
namespace {

namespace fs = std::filesystem;

constexpr int kToolMs = 60000;  // lintian on both packages takes a few seconds

// What a command printed, once it ended with `status`; -1 when it had to be stopped.
struct Outcome {
    int status = -1;
    std::string output;
};

// The package file of this version; empty unless cpack made exactly one.
std::string PackageFile(const std::string& name) {
    std::vector<std::string> found;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(VORN_PACKAGES_DIR, error)) {
        const std::string file = entry.path().filename().string();
        if (file.starts_with(name + "_" VORN_PACKAGE_VERSION "_") && file.ends_with(".deb")) {
            found.push_back(entry.path().string());
        }
    }
    return found.size() == 1 ? found[0] : std::string();
}

std::set<std::string> Lines(const std::string& text) {
    std::set<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty()) lines.insert(line);
    }
    return lines;
}

// Every "--option" the text names.
std::set<std::string> Options(const std::string& text) {
    std::set<std::string> options;
    const std::regex option("--[a-z][a-z-]*[a-z]");
    for (auto it = std::sregex_iterator(text.begin(), text.end(), option); it != std::sregex_iterator(); ++it) {
        options.insert(it->str());
    }
    return options;
}

bool Executable(const fs::path& file) {
    struct stat facts {};
    return ::stat(file.c_str(), &facts) == 0 && S_ISREG(facts.st_mode) && (facts.st_mode & 0111) == 0111;
}

class PackageTest : public ::testing::Test {
protected:
    void SetUp() override {
        vorn_ = PackageFile("vorn");
        station_ = PackageFile("vorn-station");
        ASSERT_FALSE(vorn_.empty() || station_.empty()) << "cpack made no single package of " VORN_PACKAGE_VERSION
                                                        << " each in " VORN_PACKAGES_DIR;
    }

    Outcome Run(const std::vector<std::string>& argv, int timeoutMs = kToolMs) const {
        Outcome outcome;
        int status = -1;
        if (RunToEnd(argv, scratch_ / "command.out", timeoutMs, status, outcome.output)) outcome.status = status;
        return outcome;
    }

    // Unpacks the package into the temporary root, as dpkg would install it.
    void Unpack(const std::string& package) const {
        const Outcome unpacked = Run({"dpkg-deb", "-x", package, root_});
        ASSERT_EQ(unpacked.status, 0) << unpacked.output;
    }

    // The files (not the folders) in the package, without the leading "./".
    std::set<std::string> Contents(const std::string& package) const {
        const Outcome listed = Run({"dpkg-deb", "--contents", package});
        EXPECT_EQ(listed.status, 0) << listed.output;
        // "-rw-r--r-- root/root 215 2026-12-08 20:12 ./usr/share/applications/vorn.desktop"
        const std::regex entry("^([^ ]+) +[^ ]+ +[^ ]+ +[^ ]+ +[^ ]+ +\\./(.+)$");
        std::set<std::string> files;
        for (const std::string& line : Lines(listed.output)) {
            std::smatch parts;
            if (std::regex_match(line, parts, entry) && !parts[1].str().starts_with("d")) files.insert(parts[2]);
        }
        return files;
    }

    std::string Field(const std::string& package, const std::string& name) const {
        return Run({"dpkg-deb", "--field", package, name}).output;
    }

    TempDir scratch_;
    const std::string root_ = scratch_ / "root";
    std::string vorn_, station_;
};

TEST_F(PackageTest, EachPackageHoldsExactlyItsFilesWithComputedDependencies) {
    std::set<std::string> client = {
        "usr/bin/vorn",
        "usr/" VORN_MODULE_DIR "/libvorn-cipher.so",
        "usr/" VORN_MODULE_DIR "/libvorn-media.so",
        "usr/share/applications/vorn.desktop",
        "usr/share/doc/vorn/changelog.Debian.gz",
        "usr/share/doc/vorn/copyright",
        "usr/share/icons/hicolor/48x48/apps/vorn.png",
        "usr/share/icons/hicolor/128x128/apps/vorn.png",
        "usr/share/icons/hicolor/256x256/apps/vorn.png",
        "usr/share/icons/hicolor/scalable/apps/vorn.svg",
        "usr/share/man/man1/vorn.1.gz",
        "usr/share/metainfo/com.mirelund.vorn.metainfo.xml",
    };
    for (const auto& entry : fs::directory_iterator(VORN_SOURCE_RESOURCES)) {
        const std::string name = entry.path().filename().string();
        if (name.ends_with(".png") || name.ends_with(".ttf") || name.ends_with(".LICENSE.txt")) {
            client.insert("usr/share/vorn/resources/" + name);
        }
    }
    EXPECT_EQ(Contents(vorn_), client);
    EXPECT_EQ(Contents(station_), (std::set<std::string>{
                                      "etc/default/vorn-station",
                                      "usr/bin/vorn-station",
                                      "usr/lib/systemd/system/vorn-station.service",
                                      "usr/share/doc/vorn-station/changelog.Debian.gz",
                                      "usr/share/doc/vorn-station/copyright",
                                      "usr/share/doc/vorn-station/examples/haproxy.cfg",
                                      "usr/share/doc/vorn-station/examples/prometheus.yml",
                                      "usr/share/man/man1/vorn-station.1.gz",
                                  }));

    // One version for both, and the libraries the programs link, as dpkg-shlibdeps found them.
    EXPECT_EQ(Field(vorn_, "Version"), VORN_PACKAGE_VERSION "\n");
    EXPECT_EQ(Field(station_, "Version"), VORN_PACKAGE_VERSION "\n");
    const std::string clientNeeds = Field(vorn_, "Depends");
    for (const char* needed : {"libqt6widgets6 (", "libcrypto++8 (", "libpng16-16 (", "libgstreamer1.0-0 (",
                               "gstreamer1.0-plugins-good", "qt6-qpa-plugins"}) {
        EXPECT_NE(clientNeeds.find(needed), std::string::npos) << needed << " in " << clientNeeds;
    }
    const std::string stationNeeds = Field(station_, "Depends");
    for (const char* needed : {"libsqlite3-0 (", "libpq5", "libtag1v5 (", "adduser"}) {
        EXPECT_NE(stationNeeds.find(needed), std::string::npos) << needed << " in " << stationNeeds;
    }
    EXPECT_EQ(stationNeeds.find("libqt6"), std::string::npos) << "the station needs no desktop";

    // The defaults file is a conffile, and the maintainer scripts are there to run.
    const std::string control = scratch_ / "control";
    ASSERT_EQ(Run({"dpkg-deb", "--control", station_, control}).status, 0);
    EXPECT_EQ(ReadFile(control + "/conffiles"), "/etc/default/vorn-station\n");
    for (const char* script : {"postinst", "prerm", "postrm"}) {
        EXPECT_TRUE(Executable(fs::path(control) / script)) << script;
    }
}

TEST_F(PackageTest, LintianFindsNoErrorsAndOnlyTheAcceptedWarnings) {
    // Accepted: the packages are not uploaded to Debian, so there is no
    // "intent to package" bug to close; the display font's own embedding flag
    // says "editable", which only matters to documents that embed it.
    const std::set<std::string> accepted = {"initial-upload-closes-no-bugs",
                                            "truetype-font-prohibits-installable-embedding"};
    // Information too: lintian reports missing hardening at that level.
    const Outcome lintian = Run({"lintian", "--fail-on", "none", "--display-info", vorn_, station_});
    ASSERT_EQ(lintian.status, 0) << lintian.output;
    for (const std::string& line : Lines(lintian.output)) {
        std::smatch tag;
        if (!std::regex_search(line, tag, std::regex("^([A-Z]): [^ ]+: ([^ ]+)"))) continue;
        EXPECT_NE(tag[1], "E") << line;
        if (tag[1] == "W") {
            EXPECT_TRUE(accepted.count(tag[2])) << line;
        }
        EXPECT_FALSE(tag[2].str().starts_with("hardening-")) << line;
    }
}

// Built as Debian builds its packages (dpkg-buildflags, hardening=+all), which
// on this Debian leaves out control-flow protection.
TEST_F(PackageTest, TheProgramsAreHardened) {
    if (ProgramOnPath("hardening-check").find('/') == std::string::npos) {
        GTEST_SKIP() << "hardening-check is not installed (Debian's devscripts package)";
    }
    Unpack(vorn_);
    Unpack(station_);
    for (const char* program : {"/usr/bin/vorn", "/usr/bin/vorn-station"}) {
        const Outcome checked = Run({"hardening-check", "--nocfprotection", root_ + program});
        EXPECT_EQ(checked.status, 0) << checked.output;
        for (const char* feature : {"Position Independent Executable: yes", "Stack protected: yes",
                                    "Fortify Source functions: yes", "Read-only relocations: yes",
                                    "Immediate binding: yes"}) {
            EXPECT_NE(checked.output.find(feature), std::string::npos) << program << ": " << feature << "\n"
                                                                       << checked.output;
        }
    }
}

TEST_F(PackageTest, TheDesktopEntryMetainfoAndIconsValidate) {
    Unpack(vorn_);
    const Outcome entry = Run({"desktop-file-validate", root_ + "/usr/share/applications/vorn.desktop"});
    EXPECT_EQ(entry.status, 0) << entry.output;
    EXPECT_EQ(entry.output, "");
    const std::string metainfo = root_ + "/usr/share/metainfo/com.mirelund.vorn.metainfo.xml";
    const Outcome validated = Run({"appstreamcli", "validate", "--no-net", "--pedantic", metainfo});
    EXPECT_EQ(validated.status, 0) << validated.output;

    // What the software centre shows: the entry it launches, the icon, a
    // screenshot and the content rating.
    const std::string text = ReadFile(metainfo);
    for (const char* part : {"<id>com.mirelund.vorn</id>", "<launchable type=\"desktop-id\">vorn.desktop</launchable>",
                             "<icon type=\"stock\">vorn</icon>", "<screenshot type=\"default\">",
                             "<content_rating type=\"oars-1.1\">", "<release version=\"" VORN_VERSION "\""}) {
        EXPECT_NE(text.find(part), std::string::npos) << part;
    }
    const std::string icons = root_ + "/usr/share/icons/hicolor/";
    for (const int size : {48, 128, 256}) {
        const std::string side = std::to_string(size);
        const QImage icon(QString::fromStdString(icons + side + "x" + side + "/apps/vorn.png"));
        EXPECT_EQ(icon.size(), QSize(size, size)) << side;
    }
    // The scalable icon, drawn by hand, has the outline of the drawn ones.
    const std::string rendered = scratch_ / "scalable.png";
    const Outcome drawn =
        Run({"rsvg-convert", "-w", "256", "-h", "256", icons + "scalable/apps/vorn.svg", "-o", rendered});
    ASSERT_EQ(drawn.status, 0) << drawn.output;
    const QImage scalable(QString::fromStdString(rendered));
    const QImage fixed(QString::fromStdString(icons + "256x256/apps/vorn.png"));
    ASSERT_EQ(scalable.size(), fixed.size());
    int opaque = 0, differing = 0;
    for (int y = 0; y < 256; ++y) {
        for (int x = 0; x < 256; ++x) {
            const bool inside = qAlpha(scalable.pixel(x, y)) > 127;
            opaque += inside ? 1 : 0;
            differing += inside != (qAlpha(fixed.pixel(x, y)) > 127) ? 1 : 0;
        }
    }
    EXPECT_GT(opaque, 256 * 256 * 7 / 10) << "a round icon fills about 3/4 of its square";
    EXPECT_LT(differing, 256 * 256 / 100) << differing << " pixels differ in coverage";
}

TEST_F(PackageTest, ManPagesRenderWithoutWarningsAndTheStationsListsEveryOption) {
    Unpack(vorn_);
    Unpack(station_);
    for (const char* page : {"vorn.1.gz", "vorn-station.1.gz"}) {
        const std::string path = root_ + "/usr/share/man/man1/" + page;
        const Outcome checked = Run({"/bin/sh", "-c", "zcat \"$1\" | groff -ww -man -z", "sh", path});
        EXPECT_EQ(checked.status, 0) << page;
        EXPECT_EQ(checked.output, "") << page;
    }
    // Plain text, wide, without hyphenation, so every option stays whole.
    const Outcome page = Run({"/bin/sh", "-c", "zcat \"$1\" | groff -man -Tascii -P-cbou -rLL=200n -rHY=0", "sh",
                              root_ + "/usr/share/man/man1/vorn-station.1.gz"});
    ASSERT_EQ(page.status, 0) << page.output;
    const Outcome help = Run({root_ + "/usr/bin/vorn-station", "--help"});
    ASSERT_EQ(help.status, 0) << help.output;
    ASSERT_GT(Options(help.output).size(), 15u) << help.output;
    EXPECT_EQ(Options(page.output), Options(help.output)) << page.output;
}

TEST_F(PackageTest, TheUnpackedStationTakesTheServicesOptionsAndStopsCleanlyOnSigterm) {
    Unpack(station_);
    const std::string program = root_ + "/usr/bin/vorn-station";

    // The service's command line with the packaged defaults, as systemd expands
    // it, parses: --help then only prints the usage.
    std::smatch found;
    const std::string unit = ReadFile(root_ + "/usr/lib/systemd/system/vorn-station.service");
    const std::string defaults = ReadFile(root_ + "/etc/default/vorn-station");
    ASSERT_TRUE(std::regex_search(unit, found, std::regex("\nExecStart=/usr/bin/vorn-station ([^\n]*)\n")));
    std::string arguments = found[1];
    ASSERT_TRUE(std::regex_search(defaults, found, std::regex("\nVORN_STATION_OPTIONS=\"([^\"\n]*)\"\n")));
    arguments = std::regex_replace(arguments, std::regex("\\$VORN_STATION_OPTIONS"), found[1].str());
    std::vector<std::string> argv = {program};
    std::istringstream words(arguments);
    for (std::string word; words >> word;) argv.push_back(word);
    EXPECT_NE(std::find(argv.begin(), argv.end(), "--music"), argv.end()) << arguments;
    argv.push_back("--help");
    const Outcome parsed = Run(argv);
    EXPECT_EQ(parsed.status, 0) << arguments << "\n" << parsed.output;
    EXPECT_TRUE(parsed.output.starts_with("Usage: vorn-station")) << parsed.output;

    // Serving (on free ports), then stopped the way systemd stops it.
    fs::create_directories(scratch_ / "music");
    const std::string log = scratch_ / "station.out";
    ChildProcess station({program, "--data", scratch_ / "data", "--music", scratch_ / "music", "--port", "0",
                          "--media-port", "0", "--cdn-port", "0"},
                         {}, log);
    ASSERT_TRUE(Eventually([&] { return ReadFile(log).find("; protocol on 127.0.0.1:") != std::string::npos; },
                           20000))
        << ReadFile(log);
    station.Signal(SIGTERM);
    int status = -1;
    ASSERT_TRUE(station.WaitExit(15000, status)) << "still running 15 s after SIGTERM\n" << ReadFile(log);
    EXPECT_EQ(status, 0) << ReadFile(log);
    EXPECT_NE(ReadFile(log).find("vorn-station : stopped"), std::string::npos) << ReadFile(log);
    EXPECT_TRUE(fs::exists(scratch_ / "data/station.db"));
}

TEST_F(PackageTest, TheUnpackedClientShowsItsSkinOffscreen) {
    Unpack(vorn_);
    IsolatedHome home;
    {
        // No station to reach, and quickly so.
        RegistryKey key;
        key.Open(kVornKeyPath);
        key.Value("ServerHost").SetText("vorn-package-test.invalid");
    }
    const std::string installDir = home / "data/vorn";
    const std::string log = installDir + "/logs/vorn.log";
    ChildProcess client({root_ + "/usr/bin/vorn"}, {"QT_QPA_PLATFORM=offscreen", "DISPLAY", "WAYLAND_DISPLAY"},
                        home / "vorn.out");
    // Without its skin the program ends before its window; with it, the window
    // comes up and its display says "Connecting" before each of the two tries.
    EXPECT_TRUE(Eventually([&] { return ReadFile(log).find("Failed to initialize Vorn, Error code") !=
                                        std::string::npos; },
                           30000))
        << ReadFile(log) << ReadFile(home / "vorn.out");
    EXPECT_NE(ReadFile(log).find("INFO : Display : Connecting"), std::string::npos) << ReadFile(log);
    EXPECT_EQ(ReadFile(log).find("Skin missing"), std::string::npos) << ReadFile(log);
    std::error_code error;
    EXPECT_EQ(fs::canonical(installDir + "/resources", error), fs::canonical(root_ + "/usr/share/vorn/resources"))
        << "the skin must come from the unpacked package";

    client.Signal(SIGTERM);
    int status = -1;
    ASSERT_TRUE(client.WaitExit(20000, status)) << ReadFile(log);
    EXPECT_EQ(status, 0) << ReadFile(home / "vorn.out");
    EXPECT_NE(ReadFile(log).find("INFO : Shutting down"), std::string::npos) << ReadFile(log);
}

// The station's configure step, run from the package as dpkg runs it, into the
// temporary root (DPKG_ROOT): the system's tools it calls are shims that log
// their calls or run the command as this user, and GStreamer has its plugins
// with or without the MP3 encoder.
TEST_F(PackageTest, ReconfiguringTheStationMakesTheDemoLibraryOnceTheEncoderIsInstalled) {
    Unpack(station_);
    const std::string control = scratch_ / "control";
    ASSERT_EQ(Run({"dpkg-deb", "--control", station_, control}).status, 0);
    const fs::path shims = scratch_ / "shims";
    fs::create_directories(shims);
    const std::string calls = scratch_ / "calls.log";
    const auto shim = [&](const std::string& name, const std::string& body) {
        WriteFile(shims / name, "#!/bin/sh\n" + body + "\n");
        fs::permissions(shims / name, fs::perms::owner_all);
    };
    shim("getent", "exit 2");  // no user vorn-station yet
    shim("runuser", "while [ \"$1\" != -- ]; do shift; done; shift; exec \"$@\"");
    for (const char* logged : {"adduser", "chown", "deb-systemd-helper", "deb-systemd-invoke", "systemctl"}) {
        shim(logged, "echo \"${0##*/} $*\" >>'" + calls + "'");
    }
    const fs::path withoutEncoder = scratch_ / "plugins-without-lame";
    fs::create_directories(withoutEncoder);
    for (const auto& plugin : fs::directory_iterator(VORN_GST_PLUGINS_DIR)) {
        if (plugin.path().filename() != "libgstlame.so") {
            fs::create_symlink(plugin.path(), withoutEncoder / plugin.path().filename());
        }
    }
    int run = 0;
    const auto configure = [&](const std::string& plugins, const std::string& installedVersion) {
        return Run({"env", "PATH=" + shims.string() + ":" + root_ + "/usr/bin:/usr/bin:/bin", "DPKG_ROOT=" + root_,
                    "GST_PLUGIN_SYSTEM_PATH_1_0=" + plugins,
                    "GST_REGISTRY=" + (scratch_ / ("registry-" + std::to_string(++run) + ".bin")),
                    control + "/postinst", "configure", installedVersion},
                   kToolMs * 2);
    };
    const fs::path state = fs::path(root_) / "var/lib/vorn-station";
    const auto tracks = [&] {
        std::error_code error;
        return std::count_if(fs::recursive_directory_iterator(state / "music", error),
                             fs::recursive_directory_iterator(),
                             [](const fs::directory_entry& entry) { return entry.path().extension() == ".mp3"; });
    };

    // Installed without the encoder: the user and its folder, no library.
    const Outcome first = configure(withoutEncoder, "");
    ASSERT_EQ(first.status, 0) << first.output;
    EXPECT_NE(first.output.find("vorn-station: no demo library was made"), std::string::npos) << first.output;
    EXPECT_TRUE(fs::is_directory(state));
    EXPECT_FALSE(fs::exists(state / "music"));
    EXPECT_FALSE(fs::exists(state / "music.partial"));
    const std::string logged = ReadFile(calls);
    EXPECT_NE(logged.find("adduser --quiet --system --group --home /var/lib/vorn-station "), std::string::npos)
        << logged;
    EXPECT_NE(logged.find("chown vorn-station:vorn-station " + state.string() + "\n"), std::string::npos) << logged;

    // The encoder installed, then dpkg-reconfigure: the library is made.
    const Outcome reconfigured = configure(VORN_GST_PLUGINS_DIR, VORN_PACKAGE_VERSION);
    ASSERT_EQ(reconfigured.status, 0) << reconfigured.output;
    ASSERT_EQ(tracks(), 24) << reconfigured.output;
    EXPECT_FALSE(fs::exists(state / "music.partial"));

    // Once there, it is left as it is, even with one artist's folder gone.
    std::error_code error;
    fs::remove_all(*fs::directory_iterator(state / "music", error), error);
    const Outcome again = configure(VORN_GST_PLUGINS_DIR, VORN_PACKAGE_VERSION);
    ASSERT_EQ(again.status, 0) << again.output;
    EXPECT_LT(tracks(), 24);
}

TEST_F(PackageTest, TheServiceUnitVerifies) {
    if (ProgramOnPath("systemd-analyze").find('/') == std::string::npos) {
        GTEST_SKIP() << "systemd-analyze is not installed (Debian's systemd package): the unit is not verified";
    }
    Unpack(station_);
    // The units the service's unit refers to (targets, the journal) come from
    // this machine, beside the unpacked one, which wins; the root makes its
    // ExecStart resolve to the unpacked program.
    const fs::path units = fs::path(root_) / "usr/lib/systemd/system";
    std::error_code error;
    fs::copy("/usr/lib/systemd/system", units, fs::copy_options::recursive | fs::copy_options::skip_existing |
                                                   fs::copy_options::copy_symlinks, error);
    ASSERT_FALSE(error) << error.message();
    const Outcome verified =
        Run({"systemd-analyze", "verify", "--man=no", "--generators=no", "--root=" + root_, "vorn-station.service"});
    EXPECT_EQ(verified.status, 0) << verified.output;
    EXPECT_EQ(verified.output, "") << "systemd-analyze only warns of a key it does not know";

    // Its own user and folder (the station's data folder), the sandbox, the
    // restarts and the way it stops.
    const std::set<std::string> lines = Lines(ReadFile(units / "vorn-station.service"));
    for (const char* line : {"User=vorn-station", "StateDirectory=vorn-station",
                             "ExecStart=/usr/bin/vorn-station --data /var/lib/vorn-station $VORN_STATION_OPTIONS",
                             "ProtectSystem=strict",
                             "ProtectHome=read-only", "NoNewPrivileges=yes", "PrivateTmp=yes", "Restart=on-failure",
                             "KillSignal=SIGTERM", "EnvironmentFile=-/etc/default/vorn-station"}) {
        EXPECT_TRUE(lines.count(line)) << line;
    }
}

}  // namespace
}  // namespace vorn::test
