// The station serving music in other formats than MP3: the real station with
// files made by GStreamer's encoders, asked through its ports as the client
// asks.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <taglib/id3v2tag.h>
#include <taglib/mpegfile.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <filesystem>
#include <map>
#include <set>
#include <thread>
#include <utility>
#include <vector>

#include "foundation/Preferences.h"
#include "server/VornClientEngine.h"
#include "station/app/StationProgram.h"
#include "station/catalogue/Catalogue.h"
#include "station/media/Mp3Cache.h"
#include "station/store/SqliteStore.h"
#include "tests/station/support/ClientDownload.h"
#include "tests/station/support/EncodedAudio.h"
#include "tests/station/support/Mp3Files.h"
#include "tests/station/support/RawClient.h"
#include "tests/station/support/StationTestSupport.h"
#include "tests/support/LoopbackServer.h"
#include "tests/support/ScopedLog.h"

namespace vorn::station::test {
namespace {

namespace fs = std::filesystem;

// One music file made for a test, with what the catalogue knows of it.
struct Source {
    std::string name;
    std::string encoder;  // empty: an MP3 written directly
    std::uint64_t samples = 0;
    int rate = 44100;
    int channels = 2;
    std::string wave = "sine";
    std::int32_t id = 0;  // once published
    ItemRecord record;
};

struct Answer {
    std::string status;
    std::string head;
    std::string body;
    long contentLength = -1;
};

Answer Get(int port, const std::string& path, int timeoutMs = 60000) {
    const std::string bytes = Exchange(port, "GET " + path + " HTTP/1.0\r\n\r\n", timeoutMs);
    Answer answer;
    const std::size_t end = bytes.find("\r\n\r\n");
    if (end == std::string::npos) {
        return answer;
    }
    answer.head = bytes.substr(0, end);
    answer.status = answer.head.substr(0, answer.head.find("\r\n"));
    answer.body = bytes.substr(end + 4);
    if (const std::size_t at = answer.head.find("Content-Length: "); at != std::string::npos) {
        answer.contentLength = std::atol(answer.head.c_str() + at + 16);
    }
    return answer;
}

std::size_t Count(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

// Two files' bytes compared without printing them.
::testing::AssertionResult SameBytes(const std::string& got, const std::string& wanted) {
    if (got == wanted) {
        return ::testing::AssertionSuccess();
    }
    std::size_t at = 0;
    while (at < got.size() && at < wanted.size() && got[at] == wanted[at]) {
        ++at;
    }
    return ::testing::AssertionFailure() << got.size() << " bytes where " << wanted.size()
                                         << " were wanted, the first difference at byte " << at;
}

ino_t InodeOf(const std::string& path) {
    struct stat facts {};
    return ::stat(path.c_str(), &facts) == 0 ? facts.st_ino : 0;
}

// A music file that arrives only as the test gives it: the file at `path`
// becomes a FIFO that holds its bytes back, so that no MP3 of it can be made
// before the test says so. The test holds the FIFO open for writing, so that
// the station's reader neither blocks in opening it nor sees its end early.
class HeldBackFile {
public:
    explicit HeldBackFile(const std::string& path) : bytes_(vorn::test::ReadFile(path)) {
        if (::unlink(path.c_str()) == 0 && ::mkfifo(path.c_str(), 0600) == 0) {
            fd_ = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        }
    }
    ~HeldBackFile() { Close(); }
    HeldBackFile(const HeldBackFile&) = delete;
    HeldBackFile& operator=(const HeldBackFile&) = delete;

    bool Ready() const { return fd_ >= 0 && !bytes_.empty(); }
    // Bytes taken by the reader, or waiting in the FIFO for it.
    std::size_t Given() const { return given_.load(); }

    // Gives the bytes on a thread of its own, `chunk` at a time with `pauseMs`
    // between; the end of the file once all are given.
    void Give(std::size_t chunk, int pauseMs) {
        feeder_ = std::thread([this, chunk, pauseMs] {
            while (!stop_.load() && given_.load() < bytes_.size()) {
                const std::size_t size = std::min(chunk, bytes_.size() - given_.load());
                const ssize_t written = ::write(fd_, bytes_.data() + given_.load(), size);
                if (written < 0 && errno != EAGAIN) {
                    break;
                }
                given_ += written > 0 ? static_cast<std::size_t>(written) : 0;
                // A full FIFO waits for its reader (or for Close).
                std::this_thread::sleep_for(std::chrono::milliseconds(written > 0 ? pauseMs : 1));
            }
            if (!stop_.load()) {
                ::close(std::exchange(fd_, -1));
            }
        });
    }

    // Stops giving and closes the FIFO: the reader sees the file end there.
    void Close() {
        stop_ = true;
        if (feeder_.joinable()) {
            feeder_.join();
        }
        if (fd_ >= 0) {
            ::close(std::exchange(fd_, -1));
        }
    }

private:
    const std::string bytes_;
    int fd_ = -1;
    std::atomic<std::size_t> given_{0};
    std::atomic<bool> stop_{false};
    std::thread feeder_;
};

class TranscodingTest : public ::testing::Test {
protected:
    // Writes the files and hands them to the station's store as a scan would
    // have found them. The station's music folder itself is left missing, so
    // that its own scan keeps the catalogue as published.
    void MakeMusic(std::vector<Source>& sources) {
        WriteMusic(sources);
        if (!HasFatalFailure()) {
            PublishMusic(sources);
        }
    }

    void WriteMusic(std::vector<Source>& sources) {
        fs::create_directories(home_ / "files");
        for (Source& source : sources) {
            const std::string path = home_ / ("files/" + source.name);
            if (source.encoder.empty()) {
                ASSERT_TRUE(WriteSilentMp3(path, 3, 77));
            } else {
                ASSERT_TRUE(WriteEncodedAudio(path, source.encoder, source.samples, source.rate, source.channels,
                                              source.wave))
                    << source.name;
            }
            ItemRecord& record = source.record;
            record.path = path;
            record.artist = "Artist of " + source.name;
            record.title = "Title of " + source.name;
            record.album = "Album of " + source.name;
            record.genre = "Genre of " + source.name;
            // A WAV file stays untagged: its tags are what the catalogue made
            // of its path.
            if (!source.encoder.empty() && source.encoder != "wavenc") {
                ASSERT_TRUE(TagAudio(path, record.artist, record.title, record.album, record.genre)) << source.name;
            }
        }
    }

    void PublishMusic(std::vector<Source>& sources) {
        for (Source& source : sources) {
            ItemRecord& record = source.record;
            const std::string& path = record.path;
            struct stat facts {};
            ASSERT_EQ(::stat(path.c_str(), &facts), 0);
            record.fileSize = facts.st_size;
            record.modified = static_cast<std::int64_t>(facts.st_mtim.tv_sec) * 1000000000 + facts.st_mtim.tv_nsec;
            record.lengthSeconds = static_cast<std::int32_t>(source.samples / static_cast<std::uint64_t>(source.rate));
        }
        fs::create_directories(home_ / "data");
        SqliteStore store;
        ASSERT_TRUE(store.Open(home_ / "data/station.db"));
        Catalogue catalogue(store, home_ / "no-music");
        std::vector<ItemRecord> records;
        for (const Source& source : sources) {
            records.push_back(source.record);
        }
        ASSERT_TRUE(catalogue.Publish(records));
        for (const ItemRecord& stored : store.LoadItems()) {
            for (Source& source : sources) {
                if (source.record.path == stored.path) {
                    source.id = stored.id;
                    source.record = stored;
                    // The art and loudness work would read the files too, and
                    // a held-back file must have the MP3 maker as its one
                    // reader: recorded as done (nothing found).
                    MediaFactsRecord facts;
                    facts.item = stored.id;
                    facts.fileSize = stored.fileSize;
                    facts.modified = stored.modified;
                    ASSERT_TRUE(store.StoreMediaFacts(facts));
                }
            }
        }
        store.Close();
    }

    StationOptions Options(int cacheMegabytes = 64) const {
        StationOptions options = TestStationOptions(home_ / "no-music", home_ / "data");
        options.cacheMegabytes = cacheMegabytes;
        options.logLevel = LogLevel::Fine;
        return options;
    }

    std::string CachePath(const Source& source) const {
        return home_ / ("data/mp3-cache/" + Mp3Cache::KeyOf(source.record) + ".mp3");
    }

    static std::string Made(const Source& source) {
        return "made the MP3 of item " + std::to_string(source.id) + " in";
    }

    static std::string MediaPath(const Source& source) { return "/media/" + std::to_string(source.id) + ".mp3"; }

    // A served MP3 made of `source`, whole.
    void ExpectMadeOf(const Source& source, const Answer& answer) {
        SCOPED_TRACE(source.name);
        ASSERT_EQ(answer.status, "HTTP/1.0 200 OK");
        EXPECT_NE(answer.head.find("Content-Type: audio/mpeg"), std::string::npos);
        EXPECT_EQ(answer.contentLength, static_cast<long>(answer.body.size()));
        ExpectMp3Of(source, answer.body);
    }

    // An MP3 made of `source`: frames from its tag to its end, with a Xing
    // header, as long as the source within two frames, tagged as the
    // catalogue knows it.
    void ExpectMp3Of(const Source& source, const std::string& body) {
        SCOPED_TRACE(source.name);
        const Mp3Facts facts = ReadMp3Facts(body);
        ASSERT_EQ(facts.problem, "");
        EXPECT_TRUE(facts.xing);
        EXPECT_EQ(facts.xingFrames, facts.frames + 1);  // xingmux counts its own frame too
        EXPECT_EQ(facts.xingBytes, body.size() - facts.tagBytes);
        // LAME's delay and the decoder's (576 + 529 samples) come first, and
        // the last frame is filled up: at most two frames more than the source.
        ASSERT_EQ(facts.sampleRate, source.rate);
        const std::uint64_t samples = facts.frames * static_cast<std::uint64_t>(facts.samplesPerFrame);
        EXPECT_GE(samples, source.samples + 1105);
        EXPECT_LT(samples, source.samples + 1105 + facts.samplesPerFrame);

        const std::string copy = home_ / "tags.mp3";
        vorn::test::WriteFile(copy, body);
        TagLib::MPEG::File file(copy.c_str());
        ASSERT_NE(file.ID3v2Tag(), nullptr);
        const TagLib::ID3v2::Tag& tag = *file.ID3v2Tag();
        EXPECT_EQ(tag.artist().to8Bit(true), source.record.artist);
        EXPECT_EQ(tag.title().to8Bit(true), source.record.title);
        EXPECT_EQ(tag.album().to8Bit(true), source.record.album);
        EXPECT_EQ(tag.genre().to8Bit(true), source.record.genre);
    }

    // A new listener's first recommendations (at most 10), asked as the client asks.
    void NewListenerAsks(const StationProgram& station, VornClientEngine::RecommendationList& list) {
        VornClientEngine engine(&direct_);
        ASSERT_EQ(engine.Initialise("127.0.0.1", station.ProtocolPort()), kEngineOk);
        std::int32_t user = 0;
        ASSERT_EQ(engine.RegisterUser(user, {}), kEngineOk);
        ASSERT_EQ(engine.GetRecommendations(user, 1, 10, list), kEngineOk);
    }

    vorn::test::IsolatedHome home_;
    vorn::test::ScopedLog clientLog_;
    CapturedLog log_;
    Preferences direct_;
};

TEST_F(TranscodingTest, EveryFormatIsServedAsAnMp3OfItsLengthAndTagsAndAnMp3AsItIs) {
    std::vector<Source> sources = {
        {"tone.flac", "flacenc", 3 * 44100 + 123},
        {"tone.ogg", "vorbisenc ! oggmux", 2 * 44100 + 5000},
        {"tone.opus", "opusenc ! oggmux", 3 * 48000 + 480, 48000},
        {"tone.wav", "wavenc", 2 * 22050 + 77, 22050, 1},
        {"plain.mp3", ""},
    };
    MakeMusic(sources);
    if (HasFatalFailure()) return;
    StationProgram station;
    std::string error;
    ASSERT_TRUE(station.Start(Options(), error)) << error;
    for (const Source& source : sources) {
        const Answer answer = Get(station.MediaPort(), MediaPath(source));
        if (source.encoder.empty()) {
            EXPECT_EQ(answer.status, "HTTP/1.0 200 OK");
            EXPECT_TRUE(SameBytes(answer.body, vorn::test::ReadFile(source.record.path))) << "the MP3 is not served as it is";
            EXPECT_EQ(answer.contentLength, static_cast<long>(answer.body.size()));
        } else {
            ExpectMadeOf(source, answer);
            EXPECT_TRUE(SameBytes(answer.body, vorn::test::ReadFile(CachePath(source))));
        }
    }
    // A HEAD request gets the length alone; the MP3 was made once.
    const Answer head = [&] {
        const std::string bytes = Exchange(station.MediaPort(), "HEAD " + MediaPath(sources[0]) + " HTTP/1.1\r\n\r\n");
        Answer out;
        out.head = bytes;
        return out;
    }();
    EXPECT_NE(head.head.find("Content-Length: " + std::to_string(fs::file_size(CachePath(sources[0])))),
              std::string::npos);
    EXPECT_EQ(head.head.size(), head.head.find("\r\n\r\n") + 4);
    for (std::size_t k = 0; k + 1 < sources.size(); ++k) {
        EXPECT_EQ(Count(log_.Text(), Made(sources[k])), 1u) << sources[k].name;
    }
}

// Six clients ask at once for an MP3 that is not made yet: more than the
// media host's threads. Each gets the whole file from one job, and meanwhile
// the host answers everyone else.
TEST_F(TranscodingTest, FirstDownloadsWaitForOneJobWithoutHoldingUpOthers) {
    std::vector<Source> sources = {
        {"held.flac", "flacenc", 10 * 44100, 44100, 2, "pink-noise"},
        {"plain.mp3", ""},
    };
    WriteMusic(sources);
    if (HasFatalFailure()) return;
    HeldBackFile held(sources[0].record.path);
    ASSERT_TRUE(held.Ready());
    PublishMusic(sources);
    if (HasFatalFailure()) return;
    StationProgram station;
    std::string error;
    ASSERT_TRUE(station.Start(Options(), error)) << error;
    const int port = station.MediaPort();
    constexpr int kWaiting = 6;
    std::vector<Answer> answers(kWaiting);
    std::atomic<int> finished{0};
    std::vector<std::thread> clients;
    for (int k = 0; k < kWaiting; ++k) {
        clients.emplace_back([&, k] {
            answers[k] = Get(port, MediaPath(sources[0]), 120000);
            ++finished;
        });
    }
    // Nothing tells from outside that the six wait inside the station; give
    // them a moment to get there.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    for (int k = 0; k < 6; ++k) {
        EXPECT_EQ(Get(port, "/help.html", 10000).status, "HTTP/1.0 200 OK");
    }
    EXPECT_TRUE(SameBytes(Get(port, MediaPath(sources[1]), 10000).body, vorn::test::ReadFile(sources[1].record.path)));
    EXPECT_EQ(finished.load(), 0);
    held.Give(64 * 1024, 0);
    for (std::thread& client : clients) {
        client.join();
    }
    ExpectMadeOf(sources[0], answers[0]);
    for (const Answer& answer : answers) {
        EXPECT_TRUE(SameBytes(answer.body, answers[0].body));
    }
    EXPECT_EQ(Count(log_.Text(), Made(sources[0])), 1u);
}

// A station that stops while a download waits for its MP3 tells the client
// to try again, and leaves nothing half made.
TEST_F(TranscodingTest, StoppingAnswersTheDownloadsThatWait) {
    std::vector<Source> sources = {{"held.flac", "flacenc", 30 * 44100, 44100, 2, "pink-noise"}};
    WriteMusic(sources);
    if (HasFatalFailure()) return;
    HeldBackFile held(sources[0].record.path);
    ASSERT_TRUE(held.Ready());
    PublishMusic(sources);
    if (HasFatalFailure()) return;
    StationProgram station;
    std::string error;
    ASSERT_TRUE(station.Start(Options(), error)) << error;
    Answer answer;
    std::thread client([&] { answer = Get(station.MediaPort(), MediaPath(sources[0]), 60000); });
    // The file trickles in; once more of it was taken than the FIFO holds,
    // its MP3 is being made, for the download alone.
    held.Give(4096, 20);
    EXPECT_TRUE(vorn::test::WaitFor([&] { return held.Given() > 256 * 1024; }, 30000));
    station.Stop();
    held.Close();
    client.join();
    EXPECT_EQ(answer.status, "HTTP/1.0 503 Service Unavailable");
    EXPECT_NE(answer.head.find("Retry-After: "), std::string::npos);
    EXPECT_FALSE(log_.Contains(Made(sources[0])));
    EXPECT_TRUE(fs::is_empty(home_ / "data/mp3-cache"));
}

// Each MP3 is about 400 KB (pink noise near 160 kbit/s for 20 s): two fit in
// the cache of 1 MB, three do not.
TEST_F(TranscodingTest, TheCacheKeepsToItsSizeLeastRecentlyUsedFirstAcrossRestarts) {
    std::vector<Source> sources = {
        {"a.flac", "flacenc", 20 * 44100, 44100, 2, "pink-noise"},
        {"b.flac", "flacenc", 20 * 44100, 44100, 2, "pink-noise"},
        {"c.flac", "flacenc", 20 * 44100, 44100, 2, "pink-noise"},
    };
    MakeMusic(sources);
    if (HasFatalFailure()) return;
    const Source& a = sources[0];
    const Source& b = sources[1];
    const Source& c = sources[2];
    std::map<std::string, std::string> served;
    std::string error;
    {
        StationProgram station;
        ASSERT_TRUE(station.Start(Options(1), error)) << error;
        for (const Source* source : {&a, &b, &a, &c, &a}) {
            const Answer answer = Get(station.MediaPort(), MediaPath(*source));
            ASSERT_EQ(answer.status, "HTTP/1.0 200 OK") << source->name;
            served[source->name] = answer.body;
        }
        ASSERT_GT(served["a.flac"].size() * 3, 1024u * 1024u) << "three MP3s fit in the cache: nothing to prove";
        ASSERT_LE(served["a.flac"].size() + served["c.flac"].size(), 1024u * 1024u);
        // b was used last before c came: it made room; a, used again, stayed.
        EXPECT_TRUE(fs::exists(CachePath(a)));
        EXPECT_FALSE(fs::exists(CachePath(b)));
        EXPECT_TRUE(fs::exists(CachePath(c)));
        EXPECT_EQ(Count(log_.Text(), Made(a)), 1u);
        station.Stop();
    }
    const ino_t inodeA = InodeOf(CachePath(a));
    const std::size_t before = log_.Text().size();

    // Restarted, the station serves both from the cache without making them
    // again: the same files, untouched. Its first new MP3 makes room by the
    // uses of the first run: c, used before a there, goes.
    StationProgram station;
    ASSERT_TRUE(station.Start(Options(1), error)) << error;
    EXPECT_NE(log_.Text().find("Mp3Cache : 2 MP3s made before", before), std::string::npos);
    const Answer b2 = Get(station.MediaPort(), MediaPath(b));
    ExpectMadeOf(b, b2);
    EXPECT_TRUE(fs::exists(CachePath(a)));
    EXPECT_FALSE(fs::exists(CachePath(c)));
    EXPECT_TRUE(SameBytes(Get(station.MediaPort(), MediaPath(a)).body, served["a.flac"]));
    EXPECT_EQ(InodeOf(CachePath(a)), inodeA);
    const std::string after = log_.Text().substr(before);
    EXPECT_EQ(Count(after, Made(a)), 0u);
    EXPECT_EQ(Count(after, Made(b)), 1u);
}

TEST_F(TranscodingTest, ABrokenFileIsLoggedOnceAndNotOfferedAgain) {
    std::vector<Source> sources = {
        {"broken.flac", "flacenc", 44100},
        {"plain.mp3", ""},
    };
    WriteMusic(sources);
    if (HasFatalFailure()) return;
    // The stream's header stays, its frames become noise.
    std::string bytes = vorn::test::ReadFile(sources[0].record.path);
    for (std::size_t k = 200; k < bytes.size(); ++k) {
        bytes[k] = static_cast<char>(k * 7919 % 251);
    }
    vorn::test::WriteFile(sources[0].record.path, bytes);
    PublishMusic(sources);
    if (HasFatalFailure()) return;
    StationProgram station;
    std::string error;
    ASSERT_TRUE(station.Start(Options(), error)) << error;
    VornClientEngine::RecommendationList list;
    NewListenerAsks(station, list);
    if (HasFatalFailure()) return;
    ASSERT_EQ(list.size(), 2u);

    // Tried once, ahead of the download; the download is refused.
    const std::string failed = "item " + std::to_string(sources[0].id) + ", " + sources[0].record.path +
                               ", cannot be made into an MP3";
    EXPECT_TRUE(vorn::test::WaitFor([&] { return log_.Contains(failed); }, 60000));
    EXPECT_EQ(Get(station.MediaPort(), MediaPath(sources[0])).status, "HTTP/1.0 404 Not Found");
    list.clear();
    NewListenerAsks(station, list);
    if (HasFatalFailure()) return;
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0]->ItemId(), sources[1].id);
    EXPECT_EQ(Get(station.MediaPort(), MediaPath(sources[0])).status, "HTTP/1.0 404 Not Found");
    EXPECT_EQ(Count(log_.Text(), failed), 1u);
    EXPECT_TRUE(fs::is_empty(home_ / "data/mp3-cache")) << "a half-made file was left behind";
}

// The recommendation has the station make the MP3s before anyone asks for
// them; the client's downloader then gets the one made.
TEST_F(TranscodingTest, TheClientDownloadsAnMp3MadeAheadOfItsRecommendation) {
    std::vector<Source> sources = {
        {"song.flac", "flacenc", 4 * 44100},
        {"song.ogg", "vorbisenc ! oggmux", 4 * 44100},
        {"plain.mp3", ""},
    };
    MakeMusic(sources);
    if (HasFatalFailure()) return;
    StationProgram station;
    std::string error;
    ASSERT_TRUE(station.Start(Options(), error)) << error;
    VornClientEngine::RecommendationList list;
    NewListenerAsks(station, list);
    if (HasFatalFailure()) return;
    ASSERT_EQ(list.size(), 3u);
    EXPECT_TRUE(vorn::test::WaitFor(
        [&] { return log_.Contains(Made(sources[0])) && log_.Contains(Made(sources[1])); }, 60000));

    const auto flac = std::find_if(list.begin(), list.end(),
                                   [&](const auto& rec) { return rec->ItemId() == sources[0].id; });
    ASSERT_NE(flac, list.end());
    EXPECT_EQ(fs::path((*flac)->FileName()).extension(), ".mp3");
    const std::string target = home_ / "downloaded.mp3";
    const std::int32_t bytes = DownloadAsTheClient(**flac, target, &direct_, 60000);
    const std::string body = vorn::test::ReadFile(target);
    ASSERT_EQ(bytes, static_cast<std::int32_t>(body.size()));
    EXPECT_TRUE(SameBytes(body, vorn::test::ReadFile(CachePath(sources[0]))));
    ExpectMp3Of(sources[0], body);
    EXPECT_EQ(Count(log_.Text(), Made(sources[0])), 1u);
}

}  // namespace
}  // namespace vorn::station::test
