#include "foundation/Text.h"

#include <gtest/gtest.h>

using namespace sonorix;

TEST(Text, RoundTripsAsciiAndUnicode) {
    for (std::string s : {std::string(), std::string("plain"), std::string("Björk – Jóga"),
                          std::string("東京事変"), std::string("emoji \xF0\x9F\x8E\xB5 note")}) {
        EXPECT_EQ(toUtf8(toUtf16(s)), s);
    }
    EXPECT_EQ(toUtf16("\xF0\x9F\x8E\xB5").size(), 2u); // a surrogate pair
}

TEST(Text, InvalidUtf8Throws) {
    EXPECT_THROW(toUtf16("bad \xC3"), TextConversionError);
    EXPECT_THROW(toUtf16("bad \xFF\xFE"), TextConversionError);
}

TEST(Text, LoneSurrogateIsReplacedNotThrown) {
    std::u16string s = u"a";
    s += char16_t(0xD800);
    s += u"b";
    std::string out;
    EXPECT_NO_THROW(out = toUtf8(s));
    EXPECT_EQ(out.front(), 'a');
    EXPECT_EQ(out.back(), 'b');
}
