#include "library/VornPlaylistItem.h"

#include <gtest/gtest.h>

#include <limits>

#include "tests/library/LibraryTestSupport.h"
#include "tests/support/ScopedLog.h"

namespace vorn {
namespace {

using test::MakeRecommendation;

TEST(VornPlaylistItemTest, StoredLineRoundTrips) {
    VornPlaylistItem item(MakeRecommendation(12, "http://h:8000/media/12.mp3", "f.mp3", "A", "T"),
                          "/m/3stars/", 1120000000, 3);
    const std::string line = item.ToXml().Text();
    EXPECT_EQ(line,
              "<vornplaylistitem><filename>f.mp3</filename><location>/m/3stars/</location>"
              "<lastplayed>1120000000</lastplayed><rating>3</rating><recommendation>" +
                  item.GetRecommendation().ToXml().Text() + "</recommendation></vornplaylistitem>");
    auto back = VornPlaylistItem::FromXml(XmlElement(line));
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(back->Rating(), 3);
    EXPECT_EQ(back->LastPlayed(), 1120000000);
    EXPECT_EQ(back->Location(), "/m/3stars/");
    EXPECT_EQ(back->GetRecommendation(), item.GetRecommendation());
    EXPECT_EQ(back->StatusRecord().statusText, "Downloaded");
    EXPECT_EQ(back->StatusRecord().status, ItemStatus::Downloaded);
}

TEST(VornPlaylistItemTest, TheFileNameAlwaysComesFromTheRecommendation) {
    VornPlaylistItem item(MakeRecommendation(1, "http://h/1.mp3", "real.mp3"), "/m/UnRated/", 0, 0);
    std::string line = item.ToXml().Text();
    line.replace(line.find("real.mp3"), 8, "fake.mp3");  // only the first occurrence: <filename>
    auto back = VornPlaylistItem::FromXml(XmlElement(line));
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(back->FileName(), "real.mp3");
    EXPECT_EQ(back->FullPath(), "/m/UnRated/real.mp3");
    // A damaged record gives nothing.
    EXPECT_EQ(VornPlaylistItem::FromXml(XmlElement("<vornplaylistitem><rating>3</rating>")), nullptr);
    EXPECT_EQ(VornPlaylistItem::FromXml(XmlElement("")), nullptr);
}

TEST(VornPlaylistItemTest, DisplayNameFromArtistAndTitle) {
    const auto name = [](const std::string& artist, const std::string& title) {
        return VornPlaylistItem(MakeRecommendation(1, "http://h/1.mp3", "file.mp3", artist, title), "/m/", 0, 0)
            .DisplayName();
    };
    EXPECT_EQ(name("A", "T"), "A - T");
    EXPECT_EQ(name("", "T"), "T");
    EXPECT_EQ(name("A", ""), "A - file.mp3");
    EXPECT_EQ(name("", ""), "file.mp3");
}

TEST(VornPlaylistItemTest, ReportsSetTheStatusTexts) {
    VornPlaylistItem item(MakeRecommendation(5, "http://127.0.0.1:1/5.mp3"), "/m/UnRated/", nullptr);
    EXPECT_EQ(item.StatusRecord().statusText, "Initializing Download");
    item.OnRetrievalStatus(37.9f, 12.5f);
    EXPECT_EQ(item.StatusRecord().statusText, "File Downloading Rate = 37 Complete = 12%");
    EXPECT_FLOAT_EQ(item.StatusRecord().percentComplete, 12.5f);
    item.OnRetrievalStatus(std::numeric_limits<float>::infinity(), -0.5f);  // an infinite rate stays a defined number
    EXPECT_EQ(item.StatusRecord().statusText, "File Downloading Rate = 0 Complete = 0%");
    item.OnRetrievalError(4);
    EXPECT_EQ(item.StatusRecord().statusText, "Download Error : 4");
    EXPECT_EQ(item.StatusRecord().status, ItemStatus::DownloadFailed);
}

TEST(VornPlaylistItemTest, ServerFileNamesCannotLeaveTheFolder) {
    EXPECT_EQ(VornPlaylistItem::SafeFileName("../../.bashrc.mp3"), ".._.._.bashrc.mp3");
    EXPECT_EQ(VornPlaylistItem::SafeFileName("a\\b.mp3"), "a_b.mp3");
    EXPECT_EQ(VornPlaylistItem::SafeFileName(".."), "_");
    EXPECT_EQ(VornPlaylistItem::SafeFileName(""), "_");
    EXPECT_EQ(VornPlaylistItem::SafeFileName("Song (live).mp3"), "Song (live).mp3");
    VornPlaylistItem item(MakeRecommendation(2, "http://h/2.mp3", "../../../etc/x.mp3"), "/m/UnRated/", 0, 0);
    EXPECT_EQ(item.FullPath(), "/m/UnRated/.._.._.._etc_x.mp3");
}

TEST(VornPlaylistItemTest, NamesInEveryScriptKeepTheirLettersOnDiskAndThroughTheStoredLine) {
    // 坂本 美穂子 - 東京の夜, Чайковский, Zoë
    const std::string name =
        "\xE5\x9D\x82\xE6\x9C\xAC \xE7\xBE\x8E\xE7\xA9\x82\xE5\xAD\x90 - \xE6\x9D\xB1\xE4\xBA\xAC\xE3\x81\xAE"
        "\xE5\xA4\x9C \xD0\xA7\xD0\xB0\xD0\xB9\xD0\xBA\xD0\xBE\xD0\xB2\xD1\x81\xD0\xBA\xD0\xB8\xD0\xB9 Zo\xC3\xAB [5]";
    const VornPlaylistItem item(MakeRecommendation(5, "http://h/5.mp3", name + ".mp3", "Zo\xC3\xAB", "T"),
                                "/m/UnRated/", 0, 0);
    EXPECT_EQ(item.FullPath(), "/m/UnRated/" + name + ".mp3");
    EXPECT_EQ(item.ArtFileNames(), (std::vector<std::string>{name + ".jpg", name + ".png"}));
    const auto back = VornPlaylistItem::FromXml(XmlElement(item.ToXml().Text()));
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(back->FileName(), name + ".mp3");
    EXPECT_EQ(back->DisplayName(), "Zo\xC3\xAB - T");
}

TEST(VornPlaylistItemTest, TheGainIsANumberOfDecibelsWithinSaneLimitsAndSurvivesTheStoredLine) {
    test::IsolatedHome home;
    test::ScopedLog log(0);
    const auto gain = [](const char* text) {
        auto recommendation = MakeRecommendation(7, "http://h/7.mp3");
        if (text != nullptr) recommendation->AddDetail("Gain", text);
        return VornPlaylistItem(std::move(recommendation), "/m/UnRated/", 0, 0).GainDb();
    };
    EXPECT_EQ(gain(nullptr), std::nullopt);
    EXPECT_EQ(gain("-3.2"), -3.2);
    EXPECT_EQ(gain("+1.5"), 1.5);
    EXPECT_EQ(gain(" 6 "), 6.0);
    EXPECT_EQ(gain("0"), 0.0);
    EXPECT_FALSE(log.Contains("Gain"));
    // Beyond the limits: the limit, said once.
    EXPECT_EQ(gain("-45"), VornPlaylistItem::kMinGainDb);
    EXPECT_TRUE(log.Contains("VornPlaylistItem : The Gain detail of item 7 (-45 dB) is taken as -30 dB"));
    EXPECT_EQ(gain("1e3"), VornPlaylistItem::kMaxGainDb);
    // Not a number of dB: no gain at all, said once each.
    for (const char* text : {"", "loud", "-3.2 dB", "3,5", "nan", "inf", "--1", "+", "0x10", "1e999"}) {
        EXPECT_EQ(gain(text), std::nullopt) << text;
        EXPECT_TRUE(log.Contains(std::string("VornPlaylistItem : Ignoring the Gain detail of item 7: not a number of dB: ") +
                                 text + " "))
            << text;
    }
    // Restored from the playlist file with the rest of the details.
    auto recommendation = MakeRecommendation(8, "http://h/8.mp3");
    recommendation->AddDetail("Gain", "-7.25");
    const VornPlaylistItem item(std::move(recommendation), "/m/UnRated/", 0, 0);
    EXPECT_EQ(VornPlaylistItem::FromXml(item.ToXml())->GainDb(), -7.25);
}

}  // namespace
}  // namespace vorn
