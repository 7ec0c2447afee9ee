#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace sonorix {

// A small reader for the release notes, which come as RTF: it keeps the text, the paragraphs and
// bold and italic, and skips everything else (font and colour tables, style sheets, pictures,
// "\*" destinations and unknown control words). Text is taken as Windows-1252 where the document
// escapes bytes with \'hh, and as Unicode where it uses \uN. Nesting deeper than a reader needs is
// skipped rather than followed, so no document can exhaust memory or the stack.
struct RtfRun {
    std::string text; // UTF-8
    bool bold = false;
    bool italic = false;
};
using RtfParagraph = std::vector<RtfRun>;

std::vector<RtfParagraph> readRtf(std::string_view rtf);

// True when the bytes look like an RTF document ("{\rtf" and more than ten bytes).
bool looksLikeRtf(std::string_view bytes);

// The paragraphs as lines of plain text.
std::string rtfToPlainText(std::string_view rtf);
// The paragraphs as HTML <p> elements with <b> and <i>, text escaped.
std::string rtfToHtml(std::string_view rtf);

} // namespace sonorix
