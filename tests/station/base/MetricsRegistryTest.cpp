#include "station/base/MetricsRegistry.h"

#include <gtest/gtest.h>

#include <cmath>

#include "station/base/StationLog.h"

namespace vorn::station {
namespace {

using std::chrono::microseconds;
using std::chrono::milliseconds;

// What the text format needs that a scrape of the station's ordinary
// counters does not show: cumulative buckets with inclusive bounds, escaped
// text, one family per name, and names that cannot be written out refused.
TEST(MetricsRegistryTest, WritesFamiliesInTheTextFormat) {
    std::string log;  // written on this thread only
    StationLog::SetSink([&](LogLevel, const std::string& line) { log += line; });
    MetricsRegistry registry;
    MetricHistogram& took = registry.Histogram("took_seconds", "Time taken", {0.001, 0.01}, {{"kind", "a"}});
    took.Observe(microseconds(500));
    took.Observe(milliseconds(1));  // on the bound: counted in it
    took.Observe(milliseconds(5));
    took.Observe(milliseconds(50));
    MetricCounter& first = registry.Counter("done_total", "Back\\slash and\nline", {{"what", "say \"hi\"\n"}});
    MetricCounter& again = registry.Counter("done_total", "ignored", {{"what", "say \"hi\"\n"}});
    EXPECT_EQ(&first, &again);
    first.Add(2);
    registry.Counter("done_total", "ignored", {{"what", "other"}}).Add();
    registry.Gauge("level", "Level").Set(-3);
    registry.CallbackGauge("unknown", "Not known yet", [] { return std::nan(""); });
    registry.CallbackCounter("read_total", "Read", [] { return 7.0; });
    registry.Gauge("done_total", "a counter already").Set(1);
    registry.Counter("bad name", "").Add();
    registry.Counter("labelled_total", "", {{"le", "1"}}).Add();

    EXPECT_EQ(registry.Exposition(),
              "# HELP took_seconds Time taken\n"
              "# TYPE took_seconds histogram\n"
              "took_seconds_bucket{kind=\"a\",le=\"0.001\"} 2\n"
              "took_seconds_bucket{kind=\"a\",le=\"0.01\"} 3\n"
              "took_seconds_bucket{kind=\"a\",le=\"+Inf\"} 4\n"
              "took_seconds_sum{kind=\"a\"} 0.0565\n"
              "took_seconds_count{kind=\"a\"} 4\n"
              "# HELP done_total Back\\\\slash and\\nline\n"
              "# TYPE done_total counter\n"
              "done_total{what=\"say \\\"hi\\\"\\n\"} 2\n"
              "done_total{what=\"other\"} 1\n"
              "# HELP level Level\n"
              "# TYPE level gauge\n"
              "level -3\n"
              "# HELP unknown Not known yet\n"
              "# TYPE unknown gauge\n"
              "unknown NaN\n"
              "# HELP read_total Read\n"
              "# TYPE read_total counter\n"
              "read_total 7\n");
    StationLog::SetSink(nullptr);
    for (const char* name : {"\"done_total\"", "\"bad name\"", "\"labelled_total\""}) {
        EXPECT_NE(log.find(std::string(name) + " cannot be registered"), std::string::npos) << name << "\n" << log;
    }
}

}  // namespace
}  // namespace vorn::station
