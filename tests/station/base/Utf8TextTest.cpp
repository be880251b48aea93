// File names and tags in other encodings than UTF-8: what is kept, what is
// read as Windows-1252, and what no store or page may hold.
#include "station/base/Utf8Text.h"

#include <gtest/gtest.h>

namespace vorn::station::test {
namespace {

TEST(Utf8TextTest, ValidSequencesStayAndEveryStrayByteIsReadAsWindows1252) {
    const std::pair<std::string, std::string> cases[] = {
        {"Caf\xe9", "Café"},
        {"\x80 \x82\x83\x84\x85\x86\x87\x88\x89\x8a\x8b\x8c\x8e", "€ ‚ƒ„…†‡ˆ‰Š‹ŒŽ"},
        {"\x91\x92\x93\x94\x95\x96\x97\x98\x99\x9a\x9b\x9c\x9e\x9f", "‘’“”•–—˜™š›œžŸ"},
        {"\x81\x8d\x8f\x90\x9d", "\u0081\u008d\u008f\u0090\u009d"},
        {"\xa0\xbf\xc0\xff", "\u00a0¿Àÿ"},
        // Valid sequences beside stray bytes keep their characters.
        {"Caf\xc3\xa9 \xe9t\xe9 \xf0\x9d\x84\x9e", "Café été 𝄞"},
        // Cut short, overlong, a surrogate, beyond U+10FFFF: each byte on its own.
        {"\xe2\x82", "â‚"},
        {"\xc0\xaf", "À¯"},
        {"\xe0\x80\xaf", "à€¯"},
        {"\xed\xa0\x80", "í\u00a0€"},
        {"\xf4\x90\x80\x80", "ô\u0090€€"},
        {"\xf0\x8f\xbf\xbf", "ð\u008f¿¿"},
        {std::string("a\0b", 3), "a\uFFFDb"},
    };
    for (const auto& [given, shown] : cases) {
        EXPECT_FALSE(IsUtf8(given)) << given;
        EXPECT_EQ(AsUtf8(given), shown) << given;
        EXPECT_TRUE(IsUtf8(shown)) << shown;
        EXPECT_EQ(AsUtf8(shown), shown) << "valid text stays as it is: " << shown;
    }
    for (const std::string valid : {"", "plain", "Ünïcødé ✓", "\u00ff\u0100\u07ff\u0800\ud7ff\ue000\uffff",
                                    "\U00010000\U0010ffff"}) {
        EXPECT_TRUE(IsUtf8(valid)) << valid;
        EXPECT_EQ(AsUtf8(valid), valid);
    }
}

}  // namespace
}  // namespace vorn::station::test
