#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <regex>
#include <sstream>
#include <thread>
#include <vector>

#include "foundation/LogEntry.h"
#include "foundation/LogTable.h"
#include "foundation/TimeStamp.h"
#include "tests/support/TempDir.h"

namespace vorn {
namespace {

using test::IsolatedHome;
using test::ReadFile;

const std::string kStamp = "[A-Z][a-z]{2} [A-Z][a-z]{2} [0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} [0-9]{4}\n";

class LogTest : public ::testing::Test {
protected:
    ~LogTest() override { CloseAllLogs(); }
    std::string LogText() const { return ReadFile("logs/vorn.log"); }
    IsolatedHome home_;
};

TEST(TimeStampTest, HasTheFixedEnglishLayoutWithZeroPaddedDay) {
    const char* oldTz = std::getenv("TZ");
    const std::string saved = oldTz ? oldTz : "";
    ::setenv("TZ", "UTC", 1);
    ::tzset();
    // Monday 7 December 2026, 01:22:31 UTC.
    EXPECT_EQ(FormatTimeStamp(1796606551), "Mon Dec 07 01:22:31 2026\n");
    EXPECT_EQ(FormatTimeStamp(0), "Thu Jan 01 00:00:00 1970\n");
    EXPECT_EQ(FormatTimeStamp(1796606551).size(), 25u);
    if (oldTz) ::setenv("TZ", saved.c_str(), 1); else ::unsetenv("TZ");
    ::tzset();
}

TEST_F(LogTest, OpenCreatesTheFolderAndWritesTheHeader) {
    OpenLog(kGlobalLogName, kGlobalLogFile, kGlobalLogThreshold);
    EXPECT_TRUE(std::filesystem::is_directory("logs"));
    EXPECT_TRUE(std::regex_match(LogText(), std::regex("Vorn Log File vorn\\.log Created on : " + kStamp + "\n\n")));
}

TEST_F(LogTest, EntriesHaveTheExactShapeAndRespectTheThreshold) {
    OpenLog(kGlobalLogName, kGlobalLogFile, 1);
    VORN_LOG(LogLevel::Fine) << "FINE : Playing Next Item";
    VORN_LOG(LogLevel::Warning) << "Failed to initialize Vorn, Error code = " << 4;
    VORN_LOG(LogLevel::Info) << "VornPlayer : " << 3 << "Recommendations Received";
    VORN_LOG(LogLevel::Severe) << "Initializing Vorn Build : " << 13;
    VORN_LOG(LogLevel::Info) << "rate = " << 37.5f << " " << 12.25;
    const std::string text = LogText();
    EXPECT_EQ(text.find("Playing Next Item"), std::string::npos);
    const std::string expected =
        "Vorn Log File vorn\\.log Created on : " + kStamp + "\n\n"
        "\\*{5}WARNING\\*{5} : Failed to initialize Vorn, Error code = 4 " + kStamp + "\n"
        "INFO : VornPlayer : 3Recommendations Received " + kStamp + "\n"
        "\\*{5}SEVERE\\*{6} : Initializing Vorn Build : 13 " + kStamp + "\n"
        "INFO : rate = 37\\.5 12\\.25 " + kStamp + "\n";
    EXPECT_TRUE(std::regex_match(text, std::regex(expected))) << text;
}

TEST_F(LogTest, FineEntriesAppearAtThresholdZero) {
    OpenLog(kGlobalLogName, kGlobalLogFile, 0);
    VORN_LOG(LogLevel::Fine) << "FINE : Loaded Public Key\n";
    EXPECT_NE(LogText().find("\nFINE : Loaded Public Key\n "), std::string::npos);
}

TEST_F(LogTest, PartsAreNotEvaluatedWhenNothingIsWritten) {
    int evaluated = 0;
    auto part = [&evaluated] { return ++evaluated; };
    VORN_LOG(LogLevel::Warning) << part();  // no channel open
    OpenLog(kGlobalLogName, kGlobalLogFile, 2);
    VORN_LOG(LogLevel::Info) << part();  // below the threshold
    EXPECT_EQ(evaluated, 0);
    VORN_LOG(LogLevel::Warning) << part();
    EXPECT_EQ(evaluated, 1);
}

TEST_F(LogTest, NothingIsWrittenBeforeOpenOrAfterClose) {
    VORN_LOG(LogLevel::Severe) << "too early";
    EXPECT_FALSE(std::filesystem::exists("logs"));
    OpenLog(kGlobalLogName, kGlobalLogFile, 1);
    ASSERT_NE(FindLog(kGlobalLogName), nullptr);
    CloseAllLogs();
    EXPECT_EQ(FindLog(kGlobalLogName), nullptr);
    VORN_LOG(LogLevel::Severe) << "too late";
    EXPECT_EQ(LogText().find("too"), std::string::npos);
}

TEST_F(LogTest, EachPassTruncatesTheFile) {
    OpenLog(kGlobalLogName, kGlobalLogFile, 1);
    VORN_LOG(LogLevel::Info) << "first pass";
    CloseAllLogs();
    OpenLog(kGlobalLogName, kGlobalLogFile, 1);
    VORN_LOG(LogLevel::Info) << "second pass";
    const std::string text = LogText();
    EXPECT_EQ(text.find("first pass"), std::string::npos);
    EXPECT_EQ(text.rfind("Vorn Log File", 0), 0u);
    EXPECT_NE(text.find("second pass"), std::string::npos);
}

TEST_F(LogTest, ASecondRegistrationKeepsTheFirstChannel) {
    OpenLog(kGlobalLogName, kGlobalLogFile, 3);
    const auto first = FindLog(kGlobalLogName);
    OpenLog(kGlobalLogName, "other.log", 0);
    EXPECT_EQ(FindLog(kGlobalLogName), first);
    EXPECT_FALSE(std::filesystem::exists("logs/other.log"));
    VORN_LOG(LogLevel::Info) << "hidden";
    EXPECT_EQ(LogText().find("hidden"), std::string::npos);
}

TEST_F(LogTest, AFileThatCannotBeOpenedLeavesADeadChannel) {
    test::WriteFile("logs", "a file where the folder should be");
    OpenLog(kGlobalLogName, kGlobalLogFile, 0);
    ASSERT_NE(FindLog(kGlobalLogName), nullptr);
    VORN_LOG(LogLevel::Severe) << "dropped";
    EXPECT_EQ(ReadFile("logs"), "a file where the folder should be");
}

TEST_F(LogTest, ConcurrentWritersNeverInterleaveWithinAnEntry) {
    OpenLog(kGlobalLogName, kGlobalLogFile, 1);
    constexpr int kThreads = 8;
    constexpr int kEntries = 400;
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
        writers.emplace_back([t] {
            for (int i = 0; i < kEntries; ++i) {
                VORN_LOG(LogLevel::Info) << "writer " << t << " entry " << i << " " << std::string(40, 'a' + t);
            }
        });
    }
    for (auto& w : writers) w.join();

    std::istringstream lines(LogText());
    std::string line;
    std::getline(lines, line);  // the header and its two empty lines
    std::getline(lines, line);
    std::getline(lines, line);
    ASSERT_TRUE(line.empty());
    const std::regex entry("INFO : writer ([0-7]) entry ([0-9]+) ([a-h]{40}) " + kStamp.substr(0, kStamp.size() - 1));
    std::vector<int> seen(kThreads, 0);
    int count = 0;
    while (std::getline(lines, line)) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, entry)) << "[" << line << "]";
        const int writer = std::stoi(m[1]);
        EXPECT_EQ(m[3].str(), std::string(40, 'a' + writer));
        EXPECT_EQ(std::stoi(m[2]), seen[writer]++);  // each writer's entries in order
        std::getline(lines, line);
        ASSERT_TRUE(line.empty());
        ++count;
    }
    EXPECT_EQ(count, kThreads * kEntries);
}

}  // namespace
}  // namespace vorn
