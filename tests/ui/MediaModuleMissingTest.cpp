#include <gtest/gtest.h>

#include "foundation/LogTable.h"
#include "tests/support/TempDir.h"
#include "tests/ui/ToneFile.h"
#include "ui/MediaGraph.h"

namespace vorn {
namespace {

// Built without the run path to the modules, as a client installed without
// its media module would run: nothing plays, every call answers as a graph
// with nothing loaded, and the log says once which module is missing.
TEST(MediaModuleMissingTest, NothingLoadsAndTheLogNamesTheModuleOnce) {
    test::IsolatedHome home;
    OpenLog(kGlobalLogName, kGlobalLogFile, 0);
    const std::string tone = home / "tone.mp3";
    ASSERT_TRUE(test::WriteToneMp3(tone, 1.0));

    MediaGraph::LoadPlugins();
    MediaGraph graph;
    graph.SetLevelling(false);
    graph.Prepare();
    EXPECT_EQ(graph.Load(tone), MediaGraph::kNoPlaybin);
    EXPECT_EQ(graph.State(), MediaGraph::kEmpty);
    EXPECT_EQ(graph.Path(), "");
    EXPECT_EQ(graph.Run(), MediaGraph::kRunRefused);
    EXPECT_FALSE(graph.IsComplete());
    double seconds = 0.0;
    EXPECT_EQ(graph.GetPosition(seconds), MediaGraph::kNotRunning);
    EXPECT_EQ(graph.Volume(), 1.0);
    EXPECT_FALSE(graph.Levelling());
    CloseAllLogs();

    const std::string log = test::ReadFile(home / "logs/vorn.log");
    const std::string line = "MediaGraph : the media module libvorn-media.so cannot be used : "
                             "libvorn-media.so: cannot open shared object file";
    const std::size_t first = log.find(line);
    ASSERT_NE(first, std::string::npos) << log;
    EXPECT_EQ(log.find(line, first + 1), std::string::npos) << log;
}

}  // namespace
}  // namespace vorn
