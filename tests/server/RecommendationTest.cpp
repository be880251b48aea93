#include "server/Recommendation.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

namespace vorn {
namespace {

TEST(UrlPartsTest, SplitsSchemeHostPortPathAndFile) {
    UrlParts noScheme("h:8000/a/b.mp3");
    EXPECT_EQ(noScheme.Url(), "h:8000/a/b.mp3");
    EXPECT_EQ(noScheme.Scheme(), "http");
    EXPECT_EQ(noScheme.Host(), "h");
    EXPECT_EQ(noScheme.Port(), 8000);
    EXPECT_EQ(noScheme.Path(), "/a/b.mp3");
    EXPECT_EQ(noScheme.File(), "b.mp3");

    UrlParts plain("https://media.example:8443/m/x.mp3?k=1/2");
    EXPECT_EQ(plain.Scheme(), "https");
    EXPECT_EQ(plain.Host(), "media.example");
    EXPECT_EQ(plain.Port(), 8443);
    EXPECT_EQ(plain.Path(), "/m/x.mp3?k=1/2");
    EXPECT_EQ(plain.File(), "2");  // after the last "/" of the whole text, query or not
}

TEST(UrlPartsTest, MissingPartsStayEmptyAndPortDefaultsTo80) {
    UrlParts file("http://h/x");
    EXPECT_EQ(file.Path(), "/x");
    EXPECT_EQ(file.File(), "x");
    EXPECT_EQ(file.Port(), 80);

    UrlParts folder("http://h/");
    EXPECT_EQ(folder.Path(), "/");
    EXPECT_EQ(folder.File(), "");

    UrlParts hostOnly("http://h");
    EXPECT_EQ(hostOnly.Host(), "h");
    EXPECT_EQ(hostOnly.Path(), "");
    EXPECT_EQ(hostOnly.File(), "");
    EXPECT_EQ(hostOnly.Port(), 80);

    UrlParts emptyPort("http://h:/a");
    EXPECT_EQ(emptyPort.Host(), "h");
    EXPECT_EQ(emptyPort.Port(), 80);

    EXPECT_TRUE(emptyPort.HasValidPort());
}

// A port that is no TCP port is refused, never cut down to 16 bits (84026 would
// otherwise reach 18490) nor read as its leading digits.
TEST(UrlPartsTest, OnlyDecimalPortsFrom1To65535AreValid) {
    for (const char* bad : {"http://h:84026/a", "http://h:65536/a", "http://h:0/a", "http://h:x9/a", "http://h:80x/a",
                            "http://h:-80/a", "http://h:+80/a", "http://h: 80/a", "http://h:4294967376/a"}) {
        const UrlParts parts(bad);
        EXPECT_FALSE(parts.HasValidPort()) << bad;
        EXPECT_EQ(parts.Port(), 0) << bad;
        EXPECT_EQ(parts.Host(), "h") << bad;
    }
    for (const auto& [text, port] : std::vector<std::pair<std::string, int>>{
             {"http://h:1/a", 1}, {"http://h:65535/a", 65535}, {"http://h:08080/a", 8080}, {"http://h:000080/a", 80},
             {"http://h/a", 80}}) {
        const UrlParts parts(text);
        EXPECT_TRUE(parts.HasValidPort()) << text;
        EXPECT_EQ(parts.Port(), port) << text;
    }
    UrlParts reused("http://h:99999/a");
    reused.ParseUrl("http://h:81/a");
    EXPECT_TRUE(reused.HasValidPort());
}

TEST(UrlPartsTest, ParsingAgainReplacesEveryPart) {
    UrlParts parts("ftp://a:21/dir/f.txt");
    parts.ParseUrl("b");
    EXPECT_EQ(parts, UrlParts("b"));
    EXPECT_EQ(parts.Scheme(), "http");
    EXPECT_EQ(parts.Host(), "b");
    EXPECT_EQ(parts.Port(), 80);
    EXPECT_EQ(parts.Path(), "");
    EXPECT_EQ(parts.File(), "");
}

Recommendation CompleteRecord() {
    Recommendation r(42, 3);
    r.AddDetail("url", "http://m.example:8081/media/song.mp3");
    r.AddDetail("Source", "http://shop.example/item/42");
    r.AddDetail("Filename", "song.mp3");
    r.AddDetail("Title", "A & B <live>");
    r.AddDetail("Artist", "Someone");
    return r;
}

TEST(RecommendationTest, AddDetailRoutesTheNamedDetailsAndKeepsTheFirstValue) {
    Recommendation r(1, 2);
    EXPECT_FALSE(r.IsComplete());
    r.AddDetail("url", "http://h/a.mp3");
    r.AddDetail("Source", "http://s/");
    EXPECT_FALSE(r.IsComplete());
    r.AddDetail("Filename", "a.mp3");
    EXPECT_TRUE(r.IsComplete());

    r.AddDetail("Artist", "first");
    r.AddDetail("Artist", "second");
    r.AddDetail("source", "lower case is just a detail");
    r.AddDetail("URL", "so is this");

    EXPECT_EQ(r.MediaUrl().Url(), "http://h/a.mp3");
    EXPECT_EQ(r.MediaUrl().File(), "a.mp3");
    EXPECT_EQ(r.SourceUrl().Url(), "http://s/");
    EXPECT_EQ(r.FileName(), "a.mp3");
    EXPECT_EQ(r.Detail("Artist"), "first");
    EXPECT_EQ(r.Detail("Title"), "");
    const Recommendation::DetailMap expected{
        {"Artist", "first"}, {"URL", "so is this"}, {"source", "lower case is just a detail"}};
    EXPECT_EQ(r.Details(), expected);
}

TEST(RecommendationTest, StoredFormHasTheFixedElementOrder) {
    Recommendation r(7, 1);
    r.AddDetail("url", "U");
    r.AddDetail("Source", "S");
    r.AddDetail("Filename", "F");
    r.AddDetail("b", "2");
    r.AddDetail("a", "1");
    EXPECT_EQ(r.ToXml().Text(),
              "<vornrecommendation><details><detail><key>b</key><value>2</value></detail>"
              "<detail><key>a</key><value>1</value></detail></details><filename>F</filename>"
              "<source>S</source><url>U</url><typeid>1</typeid><itemid>7</itemid>"
              "</vornrecommendation>");

    Recommendation negative(-5, 0);
    EXPECT_NE(negative.ToXml().Text().find("<itemid>-5</itemid>"), std::string::npos);
}

TEST(RecommendationTest, StoredFormReadsBackEqual) {
    const Recommendation original = CompleteRecord();
    const auto restored = Recommendation::FromXml(original.ToXml());
    ASSERT_NE(restored, nullptr);
    EXPECT_EQ(*restored, original);
    EXPECT_EQ(restored->MediaUrl().Port(), 8081);
    EXPECT_EQ(restored->Detail("Title"), "A & B <live>");

    // The playlist file stores the record inside a larger line.
    const XmlElement line("<vornplaylistitem><rating>4</rating>" + original.ToXml().Text() +
                          "</vornplaylistitem>");
    const auto fromLine = Recommendation::FromXml(line);
    ASSERT_NE(fromLine, nullptr);
    EXPECT_EQ(*fromLine, original);
}

TEST(RecommendationTest, FromXmlRefusesMissingOrIncompleteRecords) {
    EXPECT_EQ(Recommendation::FromXml(XmlElement("<itemid>1</itemid><url>u</url>")), nullptr);
    EXPECT_EQ(Recommendation::FromXml(XmlElement()), nullptr);

    Recommendation noFile(9, 9);
    noFile.AddDetail("url", "http://h/a.mp3");
    noFile.AddDetail("Source", "http://s/");
    EXPECT_EQ(Recommendation::FromXml(noFile.ToXml()), nullptr);
}

}  // namespace
}  // namespace vorn
