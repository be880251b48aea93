#include "foundation/RegistryFile.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "foundation/RegistryKey.h"
#include "tests/support/ScopedLog.h"
#include "tests/support/TempDir.h"

namespace vorn {
namespace {

using test::IsolatedHome;
using test::ReadFile;
using test::ScopedLog;
using test::WriteFile;

RegistryData Text(const std::string& text) {
    RegistryData d;
    d.type = RegistryType::String;
    d.text = text;
    return d;
}

TEST(RegistryFileTest, ValueLinesRoundTripEveryType) {
    RegistryData dword;
    dword.type = RegistryType::Dword;
    dword.dword = 13;
    RegistryData binary;
    binary.type = RegistryType::Binary;
    binary.bytes = {0x0a, 0x0b, 0xff};
    RegistryData multi;
    multi.type = RegistryType::MultiString;
    multi.strings = {"a", "bc"};

    EXPECT_EQ(RegistryFile::FormatValueLine("user_id_0", dword), "\"user_id_0\"=dword:0000000d");
    EXPECT_EQ(RegistryFile::FormatValueLine("b", binary), "\"b\"=hex:0a,0b,ff");
    EXPECT_EQ(RegistryFile::FormatValueLine("m", multi), "\"m\"=hex(7):61,00,62,63,00,00");
    EXPECT_EQ(RegistryFile::FormatValueLine("MediaDir", Text("C:\\x \"y\"")),
              "\"MediaDir\"=\"C:\\\\x \\\"y\\\"\"");

    for (const RegistryData& d : {dword, binary, multi, Text("C:\\x \"y\""), Text("two\nlines\r\0x"),
                               Text(std::string("32783\0\0", 7))}) {
        const auto parsed = RegistryFile::ParseValueLine(RegistryFile::FormatValueLine("n\"ame", d));
        ASSERT_TRUE(parsed.has_value());
        EXPECT_EQ(parsed->first, "n\"ame");
        EXPECT_EQ(parsed->second, d);
    }
}

TEST(RegistryFileTest, DamagedLinesAreSkippedAndKept) {
    IsolatedHome home;
    const std::string path = home / "k.reg";
    WriteFile(path,
              "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\T]\r\n"
              "\"good\"=\"1\"\r\n"
              "\"broken=\"2\r\n"
              "garbage \x01\x02 line\r\n"
              "\"dw\"=dword:zz\r\n"
              "\"wrapped\"=hex:01,02,\\\r\n  03\r\n"
              "[HKEY_CURRENT_USER\\Software\\Other]\r\n\"foreign\"=\"x\"\r\n");
    RegistryFile file(path, "HKEY_CURRENT_USER\\Software\\T");
    auto values = file.Load();
    ASSERT_TRUE(values.has_value());
    ASSERT_EQ(values->size(), 2u);
    EXPECT_EQ((*values)[0].first, "good");
    EXPECT_EQ((*values)[1].second.bytes, (std::vector<std::uint8_t>{1, 2, 3}));

    ASSERT_TRUE(file.Write("GOOD", Text("3")));
    const std::string after = ReadFile(path);
    EXPECT_NE(after.find("garbage \x01\x02 line"), std::string::npos);
    EXPECT_NE(after.find("\"foreign\"=\"x\""), std::string::npos);
    values = file.Load();
    ASSERT_EQ(values->size(), 2u);
    EXPECT_EQ((*values)[0].second.text, "3");

    // A continuation cut off by the end of the file never swallows the line a
    // write adds after it (found by the fuzzer: a value changed, another vanished).
    WriteFile(path, "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\T]\n\"t\"=\"1\"\n\"t\"=\"47=hex(1),6b,\\\\");
    ASSERT_TRUE(file.Write("added", Text("0")));
    values = file.Load();
    ASSERT_TRUE(values.has_value());
    ASSERT_EQ(values->size(), 2u);
    EXPECT_EQ((*values)[0].second.text, "1");
    EXPECT_EQ((*values)[1].first, "added");
    // Nor does a damaged line whose CR is followed by a backslash.
    WriteFile(path, "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\T]\n\"t\"=\"1\"\n\"u=hex\\\\\r\\\n\n");
    ASSERT_TRUE(file.Write("added", Text("0")));
    ASSERT_TRUE(file.Write("more", Text("2")));
    values = file.Load();
    ASSERT_TRUE(values.has_value());
    ASSERT_EQ(values->size(), 3u);
    EXPECT_EQ((*values)[1].first, "added");
    EXPECT_EQ((*values)[2].first, "more");
}

TEST(RegistryFileTest, TwoKeysWritingDifferentValuesBothSurvive) {
    IsolatedHome home;
    RegistryKey first;
    RegistryKey second;
    ASSERT_TRUE(first.Open(kVornKeyPath));
    ASSERT_TRUE(second.Open(kVornKeyPath));  // both loaded the same (empty) key
    first.Value("user_id_0").SetInt(42);
    second.Value("MediaDir").SetText("/music/Vorn/");
    RegistryKey reader;
    ASSERT_TRUE(reader.Open(kVornKeyPath));
    EXPECT_EQ(reader.Value("user_id_0").AsInt(), 42);
    EXPECT_EQ(reader.Value("MediaDir").AsText(), "/music/Vorn/");
    EXPECT_TRUE(std::filesystem::exists(home.StorePath()));
}

TEST(RegistryFileTest, AValueWrittenAsItStandsLeavesTheStoreAlone) {
    IsolatedHome home;
    const auto identity = [&] {
        struct stat facts {};
        return ::stat(home.StorePath().c_str(), &facts) == 0 ? facts.st_ino : 0;
    };
    RegistryKey key;
    ASSERT_TRUE(key.Open(kVornKeyPath));
    key.Value("pref_useproxy").SetText("0");
    const std::string written = ReadFile(home.StorePath());
    const auto before = identity();
    ASSERT_NE(before, 0u);

    RegistryKey again;  // another key, as every start has
    ASSERT_TRUE(again.Open(kVornKeyPath));
    again.Value("pref_useproxy").SetText("0");
    EXPECT_EQ(identity(), before) << "the store was replaced for nothing";
    EXPECT_EQ(ReadFile(home.StorePath()), written);

    again.Value("pref_useproxy").SetText("1");
    EXPECT_NE(identity(), before);
    RegistryKey reader;
    ASSERT_TRUE(reader.Open(kVornKeyPath));
    EXPECT_EQ(reader.Value("pref_useproxy").AsText(), "1");
}

TEST(RegistryFileTest, ValuesWrittenInABatchReachTheStoreTogetherAtItsEnd) {
    IsolatedHome home;
    RegistryKey key;
    ASSERT_TRUE(key.Open(kVornKeyPath));
    const std::string empty = ReadFile(home.StorePath());
    {
        RegistryKey::Batch batch(key);
        key.Value("InstallDir").SetText("/first/");
        {
            RegistryKey::Batch inner(key);
            key.Value("MediaDir").SetText("/music/");
        }
        key.Value("installdir").SetText("/second/");  // the same value, named otherwise
        EXPECT_EQ(key.Value("MediaDir").AsText(), "/music/");  // the cache has it at once
        EXPECT_EQ(ReadFile(home.StorePath()), empty) << "written before the batch ended";
    }
    RegistryKey reader;
    ASSERT_TRUE(reader.Open(kVornKeyPath));
    EXPECT_EQ(reader.Value("InstallDir").AsText(), "/second/");
    EXPECT_EQ(reader.Value("MediaDir").AsText(), "/music/");
    const std::string stored = ReadFile(home.StorePath());
    EXPECT_EQ(stored.find("/first/"), std::string::npos);
    // After the batch, writes go out at once again.
    key.Value("pref_hk").SetText("1");
    RegistryKey later;
    ASSERT_TRUE(later.Open(kVornKeyPath));
    EXPECT_EQ(later.Value("pref_hk").AsText(), "1");
    // A batch that does not wait for the disk reaches the store the same way.
    {
        RegistryKey::Batch unflushed(key, false);
        key.Value("MediaDir").SetText("/elsewhere/");
        key.Value("pref_aot").SetText("0");
    }
    RegistryKey last;
    ASSERT_TRUE(last.Open(kVornKeyPath));
    EXPECT_EQ(last.Value("MediaDir").AsText(), "/elsewhere/");
    EXPECT_EQ(last.Value("pref_aot").AsText(), "0");
    EXPECT_EQ(last.Value("InstallDir").AsText(), "/second/");
}

TEST(RegistryFileTest, ConcurrentWritersFromManyThreadsLoseNothing) {
    IsolatedHome home;
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t) {
        writers.emplace_back([t] {
            RegistryKey key;
            key.Open(kVornKeyPath);
            for (int i = 0; i < 25; ++i) {
                key.Value("v" + std::to_string(t) + "_" + std::to_string(i)).SetInt(i);
            }
        });
    }
    for (auto& w : writers) w.join();
    RegistryKey reader;
    reader.Open(kVornKeyPath);
    for (int t = 0; t < 4; ++t) {
        for (int i = 0; i < 25; ++i) {
            EXPECT_EQ(reader.Value("v" + std::to_string(t) + "_" + std::to_string(i)).AsInt(), i);
        }
    }
}

// Flushed to disk or not (the defaults of a first start), a replacement is
// whole or absent for every reader.
TEST(RegistryFileTest, AWriterKilledAtAnyMomentNeverLeavesAHalfWrittenStore) {
    IsolatedHome home;
    const std::string path = home / "store.reg";
    RegistryFile file(path, "HKEY_CURRENT_USER\\Software\\T");
    ASSERT_TRUE(file.Write("keep", Text(std::string(3000, 'k'))));
    for (int round = 0; round < 8; ++round) {
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            for (int i = 0;; ++i) {
                file.Write({{"counter" + std::to_string(i % 50), Text(std::string(200, 'c'))}}, round % 2 == 0);
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5 + 7 * round));
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);
        const auto values = file.Load();
        ASSERT_TRUE(values.has_value());
        ASSERT_FALSE(values->empty());
        EXPECT_EQ((*values)[0].first, "keep");
        EXPECT_EQ((*values)[0].second.text, std::string(3000, 'k'));
        for (const auto& [name, data] : *values) {
            EXPECT_TRUE(name == "keep" || data.text == std::string(200, 'c')) << name;
        }
    }
}

std::size_t Occurrences(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
    return count;
}

// A store entry that exists but whose read fails (a link to a folder: EISDIR; a
// link to unmapped memory: EIO) must never be replaced by a file holding only the
// value being written. Root reads through any permission bits, so these make the
// read itself fail.
TEST(RegistryFileTest, AStoreThatCannotBeReadIsNeverReplaced) {
    IsolatedHome home;
    ScopedLog log(0);
    std::filesystem::create_directories(home / "real-folder");
    for (const std::string& target : {home / "real-folder", std::string("/proc/self/mem")}) {
        const std::string path = home / (std::filesystem::path(target).filename().string() + ".reg");
        std::filesystem::create_symlink(target, path);
        RegistryFile file(path, "HKEY_CURRENT_USER\\Software\\T");
        EXPECT_FALSE(file.Write("user_id_0", Text("7"))) << target;
        EXPECT_FALSE(file.Write("MediaDir", Text("/m/"))) << target;
        EXPECT_TRUE(std::filesystem::is_symlink(path)) << target;
        EXPECT_EQ(std::filesystem::read_symlink(path).string(), target);
        EXPECT_FALSE(file.Load().has_value());
        // Said once for the path, not once per write.
        EXPECT_EQ(Occurrences(log.Text(), "RegistryFile : Cannot read " + path), 1u) << target;
        // Readable again: writes go on, and a new failure is reported again.
        std::filesystem::remove(path);
        ASSERT_TRUE(file.Write("user_id_0", Text("7")));
        std::filesystem::remove(path);
        std::filesystem::create_symlink(target, path);
        EXPECT_FALSE(file.Write("user_id_0", Text("8")));
        EXPECT_EQ(Occurrences(log.Text(), "RegistryFile : Cannot read " + path), 2u) << target;
    }
    EXPECT_TRUE(log.Contains("*****WARNING***** : RegistryFile : Cannot read "));

    // Through the key the value stays in the cache.
    std::filesystem::create_directories(std::filesystem::path(home.StorePath()).parent_path());
    std::filesystem::create_symlink(home / "real-folder", home.StorePath());
    RegistryKey key;
    ASSERT_TRUE(key.Open(kVornKeyPath));
    key.Value("user_id_0").SetInt(42);
    EXPECT_EQ(key.Value("user_id_0").AsInt(), 42);
    EXPECT_TRUE(std::filesystem::is_symlink(home.StorePath()));
}

TEST(RegistryFileTest, TemporaryFilesOfKilledWritersAreRemoved) {
    IsolatedHome home;
    const std::string folder = std::filesystem::path(home.StorePath()).parent_path().string();
    std::filesystem::create_directories(folder);
    WriteFile(home.StorePath(), "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Mirelund\\Vorn]\n\"a\"=\"1\"\n");
    const std::vector<std::string> stale = {"Vorn.reg.aB3xY9", "Vorn.reg.000000"};
    const std::vector<std::string> kept = {"Vorn.reg.lock", "Vorn.reg.backup1", "Vorn.reg.ab-cde", "Other.reg.aB3xY9"};
    const auto plant = [&] {
        for (const auto& name : stale) WriteFile(folder + "/" + name, "REGEDIT4\n");
        for (const auto& name : kept) WriteFile(folder + "/" + name, "keep");
    };
    const auto check = [&](const char* when) {
        for (const auto& name : stale) EXPECT_FALSE(std::filesystem::exists(folder + "/" + name)) << when << name;
        for (const auto& name : kept) EXPECT_TRUE(std::filesystem::exists(folder + "/" + name)) << when << name;
    };
    plant();
    RegistryKey key;  // opening an existing store
    ASSERT_TRUE(key.Open(kVornKeyPath));
    check("open ");
    EXPECT_EQ(key.Value("a").AsInt(), 1);
    plant();
    key.Value("b").SetInt(2);  // every write
    check("write ");
    EXPECT_EQ(ReadFile(home.StorePath()),
              "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Mirelund\\Vorn]\n\"a\"=\"1\"\n\"b\"=\"2\"\n");
}

TEST(RegistryKeyTest, ValuesMatchWithoutRegardToCaseAndKeepTheirType) {
    IsolatedHome home;
    WriteFile(home.StorePath(),
              "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Mirelund\\Vorn]\n"
              "\"MediaDir\"=\"/m/\"\n\"user_id_0\"=dword:0000002a\n\"text_id\"=\"42\"\n");
    RegistryKey key;
    ASSERT_TRUE(key.Open(kVornKeyPath));
    EXPECT_EQ(key.Value("mediadir").AsText(), "/m/");
    EXPECT_EQ(&key.Value("MEDIADIR"), &key.Value("MediaDir"));
    // A number stored as REG_DWORD reads the same as the same number as text.
    EXPECT_EQ(key.Value("user_id_0").Type(), RegistryType::Dword);
    EXPECT_EQ(key.Value("user_id_0").AsInt(), 42);
    EXPECT_EQ(key.Value("user_id_0").AsText(), "42");
    EXPECT_EQ(key.Value("text_id").AsInt(), 42);
    // Written back by the program it becomes text.
    key.Value("user_id_0").SetInt(43);
    EXPECT_NE(ReadFile(home.StorePath()).find("\"user_id_0\"=\"43\""), std::string::npos);
    // A value never seen has type none and reads as nothing.
    RegistryValue& missing = key.Value("nothing");
    EXPECT_FALSE(missing.Exists());
    EXPECT_EQ(missing.AsText(), "");
    EXPECT_EQ(missing.AsInt(), 0);
}

TEST(RegistryKeyTest, LongTextsAreCutInTheCacheButStoredWhole) {
    IsolatedHome home;
    RegistryKey key;
    ASSERT_TRUE(key.Open(kVornKeyPath));
    const std::string longText(5000, 'x');
    key.Value("long").SetText(longText);
    EXPECT_EQ(key.Value("long").AsText().size(), RegistryValue::kMaxCachedText);
    EXPECT_NE(ReadFile(home.StorePath()).find(longText), std::string::npos);
}

TEST(RegistryKeyTest, AKeyThatCannotBeOpenedOnlyChangesItsCache) {
    IsolatedHome home;
    WriteFile(home / "config/Mirelund", "a file blocks the folder");
    RegistryKey key;
    EXPECT_FALSE(key.Open(kVornKeyPath));
    EXPECT_FALSE(key.Value("pref_aot").Exists());
    key.Value("pref_aot").SetText("1");
    EXPECT_EQ(key.Value("pref_aot").AsText(), "1");
    EXPECT_EQ(ReadFile(home / "config/Mirelund"), "a file blocks the folder");
}

}  // namespace
}  // namespace vorn
