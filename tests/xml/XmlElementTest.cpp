#include "xml/XmlElement.h"

#include <gtest/gtest.h>

namespace vorn {
namespace {

TEST(XmlElementTest, ChildAndNextChildShareThePosition) {
    XmlElement e("<a>1</a><a>2</a>");
    EXPECT_EQ(e.Child("a").Text(), "1");
    EXPECT_EQ(e.Position(), 8);
    EXPECT_EQ(e.NextChild("a").Text(), "2");
    EXPECT_EQ(e.Position(), 16);
    EXPECT_TRUE(e.NextChild("a").IsEmpty());
    EXPECT_EQ(e.Position(), 16);  // unchanged when not found
    // Child always starts again from the front.
    EXPECT_EQ(e.Child("a").Text(), "1");
}

TEST(XmlElementTest, MissingChildGivesEmptyElementAndPositionZero) {
    XmlElement e("<a>x</a>");
    e.NextChild("a");
    ASSERT_EQ(e.Position(), 8);
    EXPECT_TRUE(e.Child("b").IsEmpty());
    EXPECT_EQ(e.Position(), 0);
    EXPECT_FALSE(e.HasChild("b"));
}

TEST(XmlElementTest, ClosingTagBeforeOpeningTagRunsToTheEnd) {
    XmlElement e("</a>zz<a>y");
    EXPECT_EQ(e.Child("a").Text(), "y");
    EXPECT_TRUE(e.HasChild("a"));
    EXPECT_TRUE(XmlElement("</a><a>").HasChild("a"));
}

TEST(XmlElementTest, SetChildInsertsNewestFirst) {
    XmlElement r("<r></r>");
    r.SetChild("r", XmlElement("<x>1</x>"));
    r.SetChild("r", XmlElement("<x>2</x>"));
    EXPECT_EQ(r.Text(), "<r><x>2</x><x>1</x></r>");

    XmlElement q("<q></q>");
    q.SetChild("u", "7");
    EXPECT_EQ(q.Text(), "<q></q><u>7</u>");

    XmlElement u("<userid></userid>");
    u.SetChildInt("userid", -5);
    EXPECT_EQ(u.Text(), "<userid>-5</userid>");
}

TEST(XmlElementTest, SetChildUsesTheFirstOpeningTagOnly) {
    XmlElement e("<a>old</a><a>second</a>");
    e.SetChild("a", "new");
    EXPECT_EQ(e.Text(), "<a>newold</a><a>second</a>");
}

TEST(XmlElementTest, AddAndAppendConcatenateWhateverIsThere) {
    XmlElement e;
    e.AddChild("name", "b").AddChild("ignored", "x");  // the copy is not e
    EXPECT_EQ(e.Text(), "<name>b</name>");
    e.AddChildInt("n", -2147483647 - 1);
    e.Append(XmlElement("<z/>"));
    EXPECT_EQ(e.Text(), "<name>b</name><n>-2147483648</n><z/>");
}

TEST(XmlElementTest, ChildIntReadsLikeTheCLibrary) {
    XmlElement e("<n>12abc</n><m></m><k>  -34</k><big>99999999999</big>");
    EXPECT_EQ(e.ChildInt("n"), 12);
    EXPECT_EQ(e.ChildInt("m"), 0);
    EXPECT_EQ(e.ChildInt("k"), -34);
    EXPECT_EQ(e.ChildInt("missing"), 0);
    EXPECT_EQ(e.ChildInt("big"), 2147483647);
    // ChildInt moves the position like Child does.
    XmlElement walk("<id>1</id><d>a</d><d>b</d>");
    walk.ChildInt("id");
    EXPECT_EQ(walk.NextChild("d").Text(), "a");
}

TEST(XmlElementTest, ValuesAreStoredByteForByte) {
    const std::string value = std::string("a&b<c>\0\x10\x10", 9);
    XmlElement e;
    e.AddChild("v", value);
    EXPECT_EQ(e.Child("v").Text(), value);

    // Decrypted replies carry NUL and padding bytes after the XML; reading ignores them.
    XmlElement padded(std::string("<type>T</type>\x02\x02", 16));
    EXPECT_EQ(padded.Child("type").Text(), "T");
    XmlElement withNul(std::string("<a>x\0y</a>", 10));
    EXPECT_EQ(withNul.Child("a").Text(), std::string("x\0y", 3));
}

TEST(XmlElementTest, CopiesAreIndependent) {
    XmlElement a("<a>1</a><a>2</a>");
    a.Child("a");
    XmlElement b = a;
    EXPECT_EQ(b.NextChild("a").Text(), "2");
    EXPECT_EQ(a.Position(), 8);
    EXPECT_EQ(a.NextChild("a").Text(), "2");
}

}  // namespace
}  // namespace vorn
