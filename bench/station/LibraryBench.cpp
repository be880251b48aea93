// Usage: library_bench [files] [folder] [data]
//
// The station on a large music library: writes a tree of small but valid MP3
// files (default 100,000: 1,000 artists of 10 albums of 10 tracks, each
// album with a cover.jpg beside its tracks; four MPEG frames of silence per
// track, each file's own, tags varied) into a temporary folder (or `folder`, kept and reused when it holds
// the same count), then times the real vorn-station program on it (with
// `data`, a data folder kept too: when it holds a store already, the first
// start is left out and the other steps run on that store):
//   first start   from launch until it serves, the first scan reading every file;
//   restart       from launch until it serves what the store knew, and until
//                 its scan of the unchanged library is done;
//   a file added  copied in while it runs, until the scan its watch starts
//                 has it in the catalogue;
//   rescan        Catalogue::Rescan of the unchanged library in this process,
//                 on the station's store, as the station assembles them, and
//                 its walk alone (FolderWalk) beside the standard library's
//                 recursive iterator with a stat per file;
// and its resident memory per item after the first start and the restart's
// scan, less that of a station serving an empty folder, and less that of a
// station on 100 of the same files after their first start (which has loaded
// the decoders and their libraries, tens of MB that do not grow with the
// library: the cost of each further item). The same for its anonymous memory
// alone (heaps, stacks), without the libraries' pages, which a station has
// loaded or not depending on how far its background work got. Each of those
// steps also prints where the station's resident memory lies (main heap,
// other anonymous memory, libraries, other files) and that of its children,
// the decoding workers, which the memory per item "with its children" adds:
// a worker ends 5 s after its last request, so whether one is there depends
// on the moment. The floor is
// `find` walking the same tree and printing every file's size and time,
// measured again just before each step (the load of a shared machine changes
// from one minute to the next); each time is also given as a ratio to its
// floor.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/ProcessUsage.h"
#include "station/base/StationLog.h"
#include "station/catalogue/Catalogue.h"
#include "station/catalogue/FolderWalk.h"
#include "station/store/SqliteStore.h"
#include "tests/station/support/StationProcess.h"
#include "tests/support/LoopbackServer.h"
#include "tests/support/TempDir.h"

using namespace vorn;
using namespace vorn::station;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

namespace {

constexpr int kTracksPerAlbum = 10;
constexpr int kAlbumsPerArtist = 10;
constexpr int kFrames = 4;
// The small library whose station is the floor of the memory per item.
constexpr int kSmall = 100;

const char* const kWords[] = {"Amber", "Harbour", "Night", "Glass", "River", "Static", "Orchard", "Lantern",
                              "Northern", "Paper", "Velvet", "Signal", "Winter", "Cobalt", "Echo", "Meadow"};
const char* const kGenres[] = {"Folk", "Ambient", "Jazz", "Techno", "Rock", "Classical", "Soul", "Pop"};

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// One ID3v2.3 text frame, Latin-1.
void TextFrame(std::string& tag, const char* id, const std::string& text) {
    const std::size_t size = text.size() + 1;
    tag.append(id, 4);
    for (int shift = 24; shift >= 0; shift -= 8) tag += static_cast<char>((size >> shift) & 0xFF);
    tag.append(2, '\0');
    tag += '\0';
    tag += text;
}

std::string Id3(const std::string& artist, const std::string& album, const std::string& title, const char* genre,
                int track) {
    std::string frames;
    TextFrame(frames, "TPE1", artist);
    TextFrame(frames, "TALB", album);
    TextFrame(frames, "TIT2", title);
    TextFrame(frames, "TCON", genre);
    TextFrame(frames, "TRCK", std::to_string(track));
    std::string tag = "ID3\x03";
    tag += '\0';
    tag += '\0';
    for (int shift = 21; shift >= 0; shift -= 7) tag += static_cast<char>((frames.size() >> shift) & 0x7F);
    return tag + frames;
}

bool WriteFile(const std::string& path, const std::string& a, const std::string& b = {}) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(a.data(), static_cast<std::streamsize>(a.size()));
    out.write(b.data(), static_cast<std::streamsize>(b.size()));
    return static_cast<bool>(out);
}

// Writes the tree; the number of tracks written.
int MakeLibrary(const std::string& root, int tracks) {
    // 128 kbit/s, 44.1 kHz MPEG-1 layer III frames of silence, 417 bytes each.
    std::string audio;
    for (int i = 0; i < kFrames; ++i) {
        std::string frame(417, '\0');
        frame[0] = static_cast<char>(0xFF);
        frame[1] = static_cast<char>(0xFB);
        frame[2] = static_cast<char>(0x90);
        audio += frame;
    }
    const std::string cover = "\xFF\xD8\xFF\xE0 not really a picture";
    int written = 0;
    for (int artist = 0; written < tracks; ++artist) {
        const std::string artistName = std::string(kWords[artist % 16]) + " " + kWords[(artist / 16) % 16] + " " +
                                       std::to_string(artist);
        for (int album = 0; album < kAlbumsPerArtist && written < tracks; ++album) {
            const std::string albumName = std::string(kWords[(artist + album) % 16]) + " of the " +
                                          kWords[(album * 7) % 16] + " " + std::to_string(album + 1);
            const std::string folder = root + "/" + artistName + "/" + albumName;
            fs::create_directories(folder);
            WriteFile(folder + "/cover.jpg", cover);
            for (int track = 1; track <= kTracksPerAlbum && written < tracks; ++track, ++written) {
                const std::string title = std::string(kWords[(written * 5) % 16]) + " " +
                                          kWords[(written * 11 + 3) % 16] + " " + std::to_string(written);
                char number[8];
                std::snprintf(number, sizeof number, "%02d", track);
                const std::string tag = Id3(artistName, albumName, title, kGenres[(artist + album) % 8], track);
                // The track's number in the unused end of its first frame: the
                // same silence, but each file a recording of its own.
                std::string frames = audio;
                for (int byte = 0; byte < 4; ++byte) {
                    frames[416 - byte] = static_cast<char>((written >> (8 * byte)) & 0xFF);
                }
                if (!WriteFile(folder + "/" + number + " " + title + ".mp3", tag, frames)) {
                    return -1;
                }
            }
        }
    }
    return written;
}

int CountTracks(const std::string& root) {
    int count = 0;
    std::error_code error;
    for (fs::recursive_directory_iterator it(root, error), end; !error && it != end; it.increment(error)) {
        count += it->path().extension() == ".mp3" ? 1 : 0;
    }
    return count;
}

// `find` walking the tree and printing every file's size and time: the best of three.
double FindSeconds(const std::string& root) {
    double best = 1e9;
    for (int run = 0; run < 3; ++run) {
        const auto start = Clock::now();
        const std::string command = "find '" + root + "' -type f -printf '%s %T@\\n' > /dev/null";
        if (std::system(command.c_str()) != 0) {
            return -1;
        }
        best = std::min(best, Seconds(Clock::now() - start));
    }
    return best;
}

std::vector<std::string> Arguments(const std::string& music, const std::string& data) {
    return {"--music", music, "--data", data, "--port", "0", "--media-port", "0", "--cdn-port", "0", "--rescan", "0"};
}

// Launches the station and waits until it serves; seconds, or -1.
double Launch(std::unique_ptr<vorn::station::test::StationProcess>& station, const std::string& music,
              const std::string& data, const std::string& log) {
    const auto start = Clock::now();
    station = std::make_unique<vorn::station::test::StationProcess>(Arguments(music, data), log);
    return station->WaitForPort(30 * 60 * 1000) != 0 ? Seconds(Clock::now() - start) : -1;
}

// Resident anonymous memory of the process (RssAnon), kB.
long AnonymousKb(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("RssAnon:", 0) == 0) {
            return std::atol(line.c_str() + 8);
        }
    }
    return 0;
}

// The process's resident memory by the kind of mapping that holds it, kB:
// the main heap, other anonymous memory (the arenas of threads' allocators
// and their stacks), the libraries' pages and other files' (the store).
struct ResidentKinds {
    long heapKb = 0;
    long anonKb = 0;
    long libraryKb = 0;
    long fileKb = 0;
    long Total() const { return heapKb + anonKb + libraryKb + fileKb; }
};

ResidentKinds ReadResidentKinds(pid_t pid) {
    ResidentKinds kinds;
    std::ifstream smaps("/proc/" + std::to_string(pid) + "/smaps");
    long* current = nullptr;
    for (std::string line; std::getline(smaps, line);) {
        if (!line.empty() && std::isxdigit(static_cast<unsigned char>(line[0])) && line.find('-') < 17 &&
            line.find(':') > line.find(' ')) {
            // "start-end perms offset dev inode [name]": the name is the sixth field.
            std::istringstream fields(line);
            std::string range, perms, offset, device, inode, name;
            fields >> range >> perms >> offset >> device >> inode;
            std::getline(fields >> std::ws, name);
            if (name == "[heap]") {
                current = &kinds.heapKb;
            } else if (name.empty() || name[0] == '[') {
                current = &kinds.anonKb;
            } else if (name.find(".so") != std::string::npos || name.find("/vorn-station") != std::string::npos) {
                current = &kinds.libraryKb;
            } else {
                current = &kinds.fileKb;
            }
        } else if (current != nullptr && line.rfind("Rss:", 0) == 0) {
            *current += std::atol(line.c_str() + 4);
        }
    }
    return kinds;
}

// The resident memory of the process's children (its decoding worker), kB.
long ChildrenKb(pid_t pid) {
    long kb = 0;
    std::ifstream children("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children");
    for (pid_t child = 0; children >> child;) {
        kb += vorn::bench::ReadProcessUsage(child).rssKb;
    }
    return kb;
}

void PrintKinds(const char* what, pid_t pid) {
    const ResidentKinds kinds = ReadResidentKinds(pid);
    std::printf("%s: main heap %.1f MB, other anonymous %.1f MB, libraries %.1f MB, other files %.1f MB; "
                "its children %.1f MB\n",
                what, kinds.heapKb / 1024.0, kinds.anonKb / 1024.0, kinds.libraryKb / 1024.0, kinds.fileKb / 1024.0,
                ChildrenKb(pid) / 1024.0);
    std::fflush(stdout);
}

int Occurrences(const std::string& log, const std::string& line) {
    int count = 0;
    for (std::size_t at = log.find(line); at != std::string::npos; at = log.find(line, at + 1)) {
        ++count;
    }
    return count;
}

// Waits until the line has been logged `times` times.
bool WaitForLine(const vorn::station::test::StationProcess& station, const std::string& line, int times,
                 int boundMs = 30 * 60 * 1000) {
    return vorn::test::WaitFor([&] { return Occurrences(station.Log(), line) >= times; }, boundMs);
}

}  // namespace

int main(int argc, char** argv) {
    const int files = argc > 1 ? std::atoi(argv[1]) : 100000;
    vorn::test::TempDir temp;
    const std::string music = argc > 2 ? std::string(argv[2]) : temp / "music";
    const std::string data = argc > 3 ? std::string(argv[3]) : temp / "data";
    if (files <= kSmall) {
        std::fprintf(stderr, "usage: library_bench [files] [folder]\n");
        return 2;
    }
    auto start = Clock::now();
    if (!fs::exists(music) || CountTracks(music) != files) {
        fs::remove_all(music);
        if (MakeLibrary(music, files) != files) {
            std::fprintf(stderr, "cannot write the library in %s\n", music.c_str());
            return 1;
        }
        std::printf("library: %d tracks written in %.1f s\n", files, Seconds(Clock::now() - start));
    }
    std::fflush(stdout);
    // Each step's time beside the floor measured just before it.
    struct Row {
        const char* what;
        double seconds;
        double floor;
    };
    std::vector<Row> rows;

    // Logged by every scan, and at a restart first for what the store knew.
    const std::string itemsLine = "Catalogue : " + std::to_string(files) + " playable items";
    std::unique_ptr<vorn::station::test::StationProcess> station;

    // An empty folder: what the station costs without items.
    fs::create_directories(temp / "empty");
    if (Launch(station, temp / "empty", temp / "empty-data", temp / "empty.log") < 0) {
        std::fprintf(stderr, "the station did not start:\n%s\n", station->Log().c_str());
        return 1;
    }
    const long emptyKb = vorn::bench::ReadProcessUsage(station->Pid()).rssKb;
    const long emptyAnonKb = AnonymousKb(station->Pid());
    station->Kill();
    // A small library, and what the station costs on it after its first start.
    if (MakeLibrary(temp / "small", kSmall) != kSmall ||
        Launch(station, temp / "small", temp / "small-data", temp / "small.log") < 0) {
        std::fprintf(stderr, "the station did not start on %d files:\n%s\n", kSmall, station->Log().c_str());
        return 1;
    }
    const long smallFirstKb = vorn::bench::ReadProcessUsage(station->Pid()).rssKb;
    const long smallFirstAnonKb = AnonymousKb(station->Pid());
    const long smallFirstChildrenKb = ChildrenKb(station->Pid());
    PrintKinds((std::to_string(kSmall) + " files, after the first start").c_str(), station->Pid());
    station->Kill();
    const std::string smallLine = "Catalogue : " + std::to_string(kSmall) + " playable items";
    if (Launch(station, temp / "small", temp / "small-data", temp / "small-restart.log") < 0 ||
        !WaitForLine(*station, smallLine, 2)) {
        std::fprintf(stderr, "the station did not restart on %d files:\n%s\n", kSmall, station->Log().c_str());
        return 1;
    }
    const vorn::bench::ProcessUsage smallRestart = vorn::bench::ReadProcessUsage(station->Pid());
    const long smallRestartAnonKb = AnonymousKb(station->Pid());
    station->Kill();

    double floor = 0;
    long firstKb = 0;
    long firstAnonKb = 0;
    long firstChildrenKb = 0;
    bool scannedAgain = false;
    if (!fs::exists(data + "/station.db")) {
        floor = FindSeconds(music);
        const double first = Launch(station, music, data, temp / "first.log");
        if (first < 0 || station->Log().find(itemsLine) == std::string::npos) {
            std::fprintf(stderr, "the first start failed:\n%s\n", station->Log().c_str());
            return 1;
        }
        rows.push_back({"first start, until serving (reads every file)", first, floor});
        firstKb = vorn::bench::ReadProcessUsage(station->Pid()).rssKb;
        firstAnonKb = AnonymousKb(station->Pid());
        firstChildrenKb = ChildrenKb(station->Pid());
        PrintKinds("after the first start", station->Pid());
        // Reading the files must not look like changing them to the watch, which
        // would scan everything again.
        std::this_thread::sleep_for(std::chrono::seconds(2));
        scannedAgain = Occurrences(station->Log(), itemsLine) > 1;
        station->Kill();
    }

    floor = FindSeconds(music);
    start = Clock::now();
    const double serving = Launch(station, music, data, temp / "restart.log");
    if (serving < 0 || !WaitForLine(*station, itemsLine, 2)) {
        std::fprintf(stderr, "the restart failed:\n%s\n", station->Log().c_str());
        return 1;
    }
    const double scanned = Seconds(Clock::now() - start);
    rows.push_back({"restart, until serving (the store's items)", serving, floor});
    rows.push_back({"restart, until its scan of the library is done", scanned, floor});
    const vorn::bench::ProcessUsage restartUsage = vorn::bench::ReadProcessUsage(station->Pid());
    const long restartAnonKb = AnonymousKb(station->Pid());
    PrintKinds("after the restart's scan", station->Pid());

    // A file copied in while the station runs, until the scan after it is done.
    std::string track;
    for (const auto& entry : fs::recursive_directory_iterator(music)) {
        if (entry.path().extension() == ".mp3") {
            track = vorn::test::ReadFile(entry.path());
            break;
        }
    }
    // A number no track has, where each track keeps its own (the end of its first frame).
    track[track.size() - (kFrames - 1) * 417 - 4] ^= 0x5A;
    const std::string added = music + "/Added while running.mp3";
    const std::string moreLine = "Catalogue : " + std::to_string(files + 1) + " playable items";
    floor = FindSeconds(music);
    start = Clock::now();
    if (!WriteFile(added, track) || !WaitForLine(*station, moreLine, 1, 60 * 1000)) {
        std::fprintf(stderr, "the file added was not taken:\n%s\n", station->Log().c_str());
        return 1;
    }
    rows.push_back({"a file added while running, until offered", Seconds(Clock::now() - start), floor});
    fs::remove(added);
    if (!WaitForLine(*station, itemsLine, 3, 60 * 1000)) {
        std::fprintf(stderr, "the file removed stayed:\n%s\n", station->Log().c_str());
        return 1;
    }
    station->Kill();

    // The same scan in this process, timed alone.
    StationLog::SetThreshold(LogLevel::Warning);
    SqliteStore store;
    if (!store.Open(data + "/station.db")) {
        return 1;
    }
    Catalogue catalogue(store, music);
    floor = FindSeconds(music);
    start = Clock::now();
    catalogue.Load();
    rows.push_back({"Catalogue::Load alone", Seconds(Clock::now() - start), floor});
    start = Clock::now();
    const int rescanned = catalogue.Rescan();
    rows.push_back({"Catalogue::Rescan of the unchanged library", Seconds(Clock::now() - start), floor});
    if (rescanned != files) {
        std::fprintf(stderr, "the rescan found %d items\n", rescanned);
        return 1;
    }

    // The walk alone, and the same walk by the standard library's iterator.
    floor = FindSeconds(music);
    start = Clock::now();
    long walked = 0;
    FolderWalk::Visitor visitor;
    visitor.file = [&walked](const WalkedFile& file) { walked += file.size > 0 ? 1 : 0; };
    FolderWalk(music).Run(visitor);
    rows.push_back({"FolderWalk alone", Seconds(Clock::now() - start), floor});
    start = Clock::now();
    long iterated = 0;
    std::error_code error;
    for (fs::recursive_directory_iterator it(music, error), end; !error && it != end; it.increment(error)) {
        struct stat facts {};
        if (it->is_regular_file(error) && ::stat(it->path().c_str(), &facts) == 0) {
            iterated += facts.st_size > 0 ? 1 : 0;
        }
    }
    rows.push_back({"std::filesystem's iterator and a stat per file", Seconds(Clock::now() - start), floor});
    if (walked != iterated) {
        std::fprintf(stderr, "the walks disagree: %ld and %ld files\n", walked, iterated);
    }

    std::printf("%-48s %8s  %8s  %s\n", "", "seconds", "floor", "times the floor");
    for (const Row& row : rows) {
        std::printf("%-48s %8.3f  %8.3f  %6.1fx\n", row.what, row.seconds, row.floor, row.seconds / row.floor);
    }
    // Per item beyond an empty station, and beyond the same step on the small library.
    std::printf("%-48s %9s  %12s  %12s\n", "resident memory", "", "empty folder",
                (std::to_string(kSmall) + " files").c_str());
    const auto memory = [&](const char* what, long kb, long smallKb, long noneKb = -1) {
        noneKb = noneKb < 0 ? emptyKb : noneKb;
        std::printf("%-48s %6.1f MB  %12.0f  %12.0f bytes per item\n", what, kb / 1024.0,
                    (kb - noneKb) * 1024.0 / files, (kb - smallKb) * 1024.0 / (files - kSmall));
    };
    std::printf("%-48s %6.1f MB\n", "empty folder", emptyKb / 1024.0);
    std::printf("%-48s %6.1f MB\n", (std::to_string(kSmall) + " files, after the first start").c_str(),
                smallFirstKb / 1024.0);
    std::printf("%-48s %6.1f MB\n", (std::to_string(kSmall) + " files, after the restart's scan").c_str(),
                smallRestart.rssKb / 1024.0);
    if (firstKb > 0) {
        memory("after the first start", firstKb, smallFirstKb);
        memory("after the first start, with its children", firstKb + firstChildrenKb,
               smallFirstKb + smallFirstChildrenKb);
    }
    memory("after the restart's scan", restartUsage.rssKb, smallRestart.rssKb);
    memory("at most, restart and its scan", restartUsage.peakRssKb, smallRestart.peakRssKb);
    std::printf("%-48s %6.1f MB\n", "anonymous: empty folder", emptyAnonKb / 1024.0);
    if (firstAnonKb > 0) {
        memory("anonymous: after the first start", firstAnonKb, smallFirstAnonKb, emptyAnonKb);
    }
    memory("anonymous: after the restart's scan", restartAnonKb, smallRestartAnonKb, emptyAnonKb);
    if (scannedAgain) {
        std::printf("the watch took the first start's reading of the files for changes and scanned again\n");
    }
    return 0;
}
