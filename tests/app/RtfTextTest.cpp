#include "app/RtfText.h"

#include <gtest/gtest.h>

namespace sonorix {
namespace {

TEST(RtfText, ParagraphsWithoutTablesOrHiddenGroups) {
    const std::string rtf = "{\\rtf1\\ansi\\ansicpg1252\\cocoartf2709\n"
                            "{\\fonttbl\\f0\\fswiss\\fcharset0 Helvetica;\\f1 Times;}\n"
                            "{\\colortbl;\\red255\\green255\\blue255;}\n"
                            "{\\stylesheet{\\s0 Normal;}}\n"
                            "{\\*\\expandedcolortbl;;}{\\*\\generator Writer 1.0;}\n"
                            "\\pard\\f0\\fs24 Version 3.8\\par\n"
                            "Faster\n analysis.\\par\n"
                            "\\par}";
    EXPECT_EQ(rtfToPlainText(rtf), "Version 3.8\nFaster analysis.\n");
}

TEST(RtfText, EscapesAndUnicode) {
    // \'hh in Windows-1252, \uN with its stand-in skipped, \ucN, negative \uN, surrogate pairs,
    // escaped braces and backslash, the control-word delimiter space.
    EXPECT_EQ(rtfToPlainText("{\\rtf1 caf\\'e9 \\'80 \\'93q\\'94}"), "café € “q”\n");
    EXPECT_EQ(rtfToPlainText("{\\rtf1 \\u8364?uro}"), "€uro\n");
    EXPECT_EQ(rtfToPlainText("{\\rtf1 \\uc2\\u8364??x\\uc0\\u8364 y}"), "€x€y\n");
    EXPECT_EQ(rtfToPlainText("{\\rtf1 \\u-3913?}"), "\xEF\x82\xB7\n");               // U+F0B7
    EXPECT_EQ(rtfToPlainText("{\\rtf1 \\u-10179?\\u-8704?}"), "\xF0\x9F\x98\x80\n"); // U+1F600
    EXPECT_EQ(rtfToPlainText("{\\rtf1 \\{a\\}\\\\b}"), "{a}\\b\n");
    EXPECT_EQ(rtfToPlainText("{\\rtf1 \\'e9\\u8364\\'e9}"), "é€\n"); // \'e9 stands in for \u
    EXPECT_EQ(rtfToPlainText("{\\rtf1 a\\tab b\\line c}"), "a\tb\nc\n");
}

TEST(RtfText, HtmlKeepsBoldAndItalicAndEscapesMarkup) {
    EXPECT_EQ(rtfToHtml("{\\rtf1 {\\b New:} <fast> & {\\i safe}\\par Next\\b0\\par}"),
              "<p><b>New:</b> &lt;fast&gt; &amp; <i>safe</i></p><p>Next</p>");
    EXPECT_EQ(rtfToHtml("{\\rtf1 \\b bold\\b0  plain\\i it\\plain  end}"),
              "<p><b>bold</b> plain<i>it</i> end</p>");
}

TEST(RtfText, BrokenDocumentsEndWithoutHarm) {
    EXPECT_EQ(rtfToPlainText("{\\rtf1 open {{{ text"), "open  text\n");
    EXPECT_EQ(rtfToPlainText("{\\rtf1 close}}} more}"), "close more\n");
    EXPECT_EQ(rtfToPlainText("{\\rtf1 \\'zz\\'4"), "zz4\n");
    EXPECT_EQ(rtfToPlainText("{\\rtf1 \\u99999999999999999?x\\"), "\xEF\xBF\xBFx\n");
    // Nesting deeper than any document has is skipped, not followed.
    const std::string deep =
        "{\\rtf1 a" + std::string(100000, '{') + "x" + std::string(100000, '}') + "b}";
    EXPECT_EQ(rtfToPlainText(deep), "ab\n");
}

TEST(RtfText, RecognisesRtf) {
    EXPECT_TRUE(looksLikeRtf("{\\rtf1 hello}"));
    EXPECT_FALSE(looksLikeRtf("{\\rtf1 x}")); // ten bytes
    EXPECT_FALSE(looksLikeRtf("<html>{\\rtf1 hello}</html>"));
}

} // namespace
} // namespace sonorix
