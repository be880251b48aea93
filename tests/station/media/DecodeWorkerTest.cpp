// The station's decoding in worker processes of the real vorn-station
// program: the same prints, loudness and pictures as decoding in the process
// itself; a worker that crashes on a file costs that file alone, logged, and
// not again until it changes; workers end once idle.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <memory>

#include "station/catalogue/ContentPrint.h"
#include "station/catalogue/DecodeWorker.h"
#include "station/media/ArtScaler.h"
#include "station/media/LoudnessMeter.h"
#include "tests/station/support/EncodedTracks.h"
#include "tests/station/support/StationProcess.h"
#include "tests/support/LoopbackServer.h"
#include "tests/support/TempDir.h"

namespace vorn::station::test {
namespace {

constexpr const char* kCrashOn = "VORN_DECODE_WORKER_CRASH_ON";
constexpr int kIdleMs = 30000;

// Files in every format the workers decode, and one that is not audio.
class DecodeWorkerTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        folder_ = std::make_unique<vorn::test::TempDir>();
        std::string error;
        const std::string dir = Dir();
        std::filesystem::create_directories(dir + "/music");
        ASSERT_TRUE(EncodeTrack(dir + "/music/a.flac", TrackFormat::Flac, MusicLike(6, 0.5, 1), error)) << error;
        ASSERT_TRUE(EncodeTrack(dir + "/music/b.ogg", TrackFormat::Vorbis, MusicLike(6, 0.25, 2), error)) << error;
        ASSERT_TRUE(EncodeTrack(dir + "/music/c.mp3", TrackFormat::Mp3, MusicLike(6, 0.3, 3), error)) << error;
        ASSERT_TRUE(EncodeTrack(dir + "/music/crash.flac", TrackFormat::Flac, MusicLike(6, 0.4, 4), error)) << error;
        std::ofstream(dir + "/broken.flac") << "fLaC and then nothing that decodes";
    }
    static void TearDownTestSuite() { folder_.reset(); }
    static const std::string& Dir() { return folder_->Path(); }

    void TearDown() override {
        ::unsetenv(kCrashOn);
        DecodeWorker::UseProgram("");
        // No worker outlives a test: each starts with workers of its own environment.
        EXPECT_TRUE(vorn::test::WaitFor([] { return DecodeWorker::Running() == 0; }, kIdleMs));
    }

    static std::unique_ptr<vorn::test::TempDir> folder_;
};

std::unique_ptr<vorn::test::TempDir> DecodeWorkerTest::folder_;

TEST_F(DecodeWorkerTest, WorkersAnswerAsThisProcessDoesAndEndOnceIdle) {
    const std::string music = Dir() + "/music/";
    const std::string picture = MakePicture(900, 300, 0x3366CC, "pngenc");
    ASSERT_FALSE(picture.empty());
    const std::atomic<bool> stop{false};
    for (const std::string& path : {music + "a.flac", music + "b.ogg", music + "c.mp3", Dir() + "/broken.flac"}) {
        SCOPED_TRACE(path);
        DecodeWorker::UseProgram("");
        ContentPrint here;
        std::string hereProblem;
        const PrintOutcome hereOutcome = MakeContentPrint(path, here, hereProblem);
        Loudness hereLoudness;
        std::string hereError;
        const bool hereMeasured = LoudnessMeter::Measure(path, stop, hereLoudness, hereError);

        DecodeWorker::UseProgram(VORN_STATION_PROGRAM);
        ContentPrint there;
        std::string thereProblem;
        EXPECT_EQ(MakeContentPrint(path, there, thereProblem), hereOutcome);
        EXPECT_EQ(DecodeWorker::Running(), 1);  // it was a worker's answer

        EXPECT_EQ(there.key, here.key);
        EXPECT_EQ(there.print, here.print);
        EXPECT_EQ(there.printHash, here.printHash);
        EXPECT_EQ(there.seconds, here.seconds);
        // Which of a broken file's errors comes first varies from run to run
        // in any process: only that there is one is the same.
        EXPECT_EQ(thereProblem.empty(), hereProblem.empty());
        Loudness thereLoudness;
        std::string thereError;
        EXPECT_EQ(LoudnessMeter::Measure(path, stop, thereLoudness, thereError), hereMeasured);
        EXPECT_EQ(thereLoudness.integratedLufs, hereLoudness.integratedLufs);
        EXPECT_EQ(thereLoudness.truePeakDbtp, hereLoudness.truePeakDbtp);
        EXPECT_EQ(thereError.empty(), hereError.empty());
    }
    std::string hereJpeg;
    std::string thereJpeg;
    std::string error;
    DecodeWorker::UseProgram("");
    ASSERT_TRUE(ArtScaler::ToJpeg(picture, stop, hereJpeg, error)) << error;
    DecodeWorker::UseProgram(VORN_STATION_PROGRAM);
    ASSERT_TRUE(ArtScaler::ToJpeg(picture, stop, thereJpeg, error)) << error;
    EXPECT_EQ(thereJpeg, hereJpeg);
    EXPECT_FALSE(ArtScaler::ToJpeg("not a picture", stop, thereJpeg, error));

    // One worker served every request of this thread; it ends by itself.
    EXPECT_EQ(DecodeWorker::Running(), 1);
    EXPECT_TRUE(vorn::test::WaitFor([] { return DecodeWorker::Running() == 0; }, kIdleMs));
}

TEST_F(DecodeWorkerTest, AWorkerThatCrashesCostsItsFileAloneAndAStopEndsIt) {
    const std::string music = Dir() + "/music/";
    ::setenv(kCrashOn, "crash.flac", 1);
    DecodeWorker::UseProgram(VORN_STATION_PROGRAM);
    ContentPrint print;
    std::string problem;
    EXPECT_EQ(MakeContentPrint(music + "crash.flac", print, problem), PrintOutcome::Unreadable);
    EXPECT_NE(problem.find("signal " + std::to_string(SIGABRT)), std::string::npos) << problem;
    EXPECT_EQ(print.key, 0u);
    const std::atomic<bool> stop{false};
    Loudness loudness;
    std::string error;
    EXPECT_FALSE(LoudnessMeter::Measure(music + "crash.flac", stop, loudness, error));
    EXPECT_NE(error.find("signal"), std::string::npos) << error;
    // The next file gets a new worker.
    EXPECT_EQ(MakeContentPrint(music + "a.flac", print, problem), PrintOutcome::Made) << problem;
    EXPECT_NE(print.key, 0u);

    // A program that cannot be started leaves the decoding to this process.
    DecodeWorker::UseProgram(Dir() + "/no such program");
    EXPECT_EQ(MakeContentPrint(music + "crash.flac", print, problem), PrintOutcome::Made) << problem;
    EXPECT_EQ(MakeContentPrint(music + "a.flac", print, problem), PrintOutcome::Made) << problem;
    DecodeWorker::UseProgram(VORN_STATION_PROGRAM);

    // A stop ends the worker under way at once.
    const std::atomic<bool> stopped{true};
    EXPECT_FALSE(LoudnessMeter::Measure(music + "a.flac", stopped, loudness, error));
    EXPECT_TRUE(LoudnessMeter::Measure(music + "a.flac", stop, loudness, error)) << error;
}

// The real station on a folder where one file crashes its worker: it serves
// the others, says which file it skipped and why, leaves no worker behind
// once its work is done, and does not try that file again after a restart.
TEST_F(DecodeWorkerTest, TheStationServesTheRestWhenAWorkerCrashesOnAFile) {
    ::setenv(kCrashOn, "crash.flac", 1);
    vorn::test::TempDir data;
    const std::vector<std::string> arguments = {"--music", Dir() + "/music", "--data", data.Path(), "--port", "0",
                                                "--media-port", "0", "--cdn-port", "0", "--rescan", "0"};
    const auto children = [](pid_t pid) {
        std::ifstream in("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children");
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    };
    {
        StationProcess station(arguments, data / "first.log");
        ASSERT_NE(station.WaitForPort(120000), 0) << station.Log();
        const std::string log = station.Log();
        EXPECT_NE(log.find("Catalogue : 3 playable items"), std::string::npos) << log;
        EXPECT_NE(log.find("DecodeWorker : the decoding worker ended by signal " + std::to_string(SIGABRT)),
                  std::string::npos)
            << log;
        EXPECT_NE(log.find("Catalogue : skipped (unreadable) : " + Dir() + "/music/crash.flac"), std::string::npos)
            << log;
        ASSERT_TRUE(vorn::test::WaitFor(
            [&] { return station.Log().find("art and loudness of every item known") != std::string::npos; },
            120000))
            << station.Log();
        EXPECT_TRUE(vorn::test::WaitFor([&] { return children(station.Pid()).empty(); }, kIdleMs))
            << children(station.Pid());
        EXPECT_TRUE(station.Running());
    }
    StationProcess again(arguments, data / "again.log");
    ASSERT_NE(again.WaitForPort(120000), 0) << again.Log();
    ASSERT_TRUE(vorn::test::WaitFor(
        [&] { return again.Log().find("MediaWorkQueue : 0 of 3 items") != std::string::npos; }, 120000))
        << again.Log();
    EXPECT_EQ(again.Log().find("DecodeWorker"), std::string::npos) << again.Log();
    EXPECT_NE(again.Log().find("Catalogue : 3 playable items"), std::string::npos) << again.Log();
}

}  // namespace
}  // namespace vorn::station::test
