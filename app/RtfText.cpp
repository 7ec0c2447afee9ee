#include "app/RtfText.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdlib>

namespace sonorix {
namespace {

constexpr size_t kMaxDepth = 256;

// Windows-1252's bytes 0x80 to 0x9F; the rest of the code page is Latin-1. Unassigned bytes
// become U+FFFD.
constexpr char32_t kCp1252High[32] = {
    0x20AC, 0xFFFD, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0xFFFD, 0x017D, 0xFFFD, 0xFFFD, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0xFFFD, 0x017E, 0x0178};

void appendUtf8(std::string& out, char32_t c) {
    if ((c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) {
        c = 0xFFFD;
    }
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

bool isDestination(std::string_view word) {
    static constexpr std::string_view kSkipped[] = {"fonttbl",    "colortbl",
                                                    "stylesheet", "info",
                                                    "pict",       "header",
                                                    "footer",     "headerl",
                                                    "headerr",    "headerf",
                                                    "footerl",    "footerr",
                                                    "footerf",    "footnote",
                                                    "object",     "themedata",
                                                    "listtable",  "listoverridetable",
                                                    "rsidtbl",    "generator",
                                                    "filetbl",    "revtbl",
                                                    "xmlnstbl",   "latentstyles",
                                                    "datastore",  "expandedcolortbl",
                                                    "fldinst",    "bkmkstart",
                                                    "bkmkend",    "nonshppict",
                                                    "shp",        "template"};
    for (auto name : kSkipped) {
        if (word == name) {
            return true;
        }
    }
    return false;
}

struct State {
    bool bold = false;
    bool italic = false;
    bool skip = false;
    int unicodeSkip = 1; // \ucN: characters after \uN that stand in for readers without Unicode
};

class Reader {
public:
    explicit Reader(std::string_view rtf) : m_in(rtf) {}

    std::vector<RtfParagraph> read() {
        m_stack.push_back(State{});
        while (m_pos < m_in.size()) {
            const char c = m_in[m_pos++];
            switch (c) {
            case '{':
                if (m_stack.size() < kMaxDepth && m_overflow == 0) {
                    m_stack.push_back(m_stack.back());
                } else {
                    ++m_overflow;
                }
                m_pendingSkip = 0;
                break;
            case '}':
                if (m_overflow > 0) {
                    --m_overflow;
                } else if (m_stack.size() > 1) {
                    m_stack.pop_back();
                }
                m_pendingSkip = 0;
                break;
            case '\\':
                controlWord();
                break;
            case '\r':
            case '\n':
                break; // line ends in the source mean nothing
            default:
                character(static_cast<unsigned char>(c));
                break;
            }
        }
        endParagraph();
        // Trailing empty paragraphs are an artefact of the closing \par.
        while (!m_paragraphs.empty() && m_paragraphs.back().empty()) {
            m_paragraphs.pop_back();
        }
        return std::move(m_paragraphs);
    }

private:
    State& state() { return m_stack.back(); }

    void character(unsigned char byte) {
        if (m_pendingSkip > 0) {
            --m_pendingSkip;
            return;
        }
        if (byte < 0x80) {
            text(byte);
        } else if (byte < 0xA0) {
            text(kCp1252High[byte - 0x80]);
        } else {
            text(byte);
        }
    }

    void text(char32_t c) {
        if (state().skip || m_overflow > 0) {
            return;
        }
        // A lone high surrogate waits for its partner from the next \uN.
        if (c >= 0xD800 && c <= 0xDBFF) {
            m_highSurrogate = c;
            return;
        }
        if (c >= 0xDC00 && c <= 0xDFFF && m_highSurrogate) {
            c = 0x10000 + ((m_highSurrogate - 0xD800) << 10) + (c - 0xDC00);
        }
        m_highSurrogate = 0;
        if (m_current.empty() || m_current.back().bold != state().bold ||
            m_current.back().italic != state().italic) {
            m_current.push_back(RtfRun{{}, state().bold, state().italic});
        }
        appendUtf8(m_current.back().text, c);
    }

    void endParagraph() {
        if (state().skip || m_overflow > 0) {
            return;
        }
        m_paragraphs.push_back(std::move(m_current));
        m_current.clear();
    }

    void controlWord() {
        if (m_pos >= m_in.size()) {
            return;
        }
        const char first = m_in[m_pos];
        if (!std::isalpha(static_cast<unsigned char>(first))) {
            ++m_pos;
            controlSymbol(first);
            return;
        }
        const size_t start = m_pos;
        while (m_pos < m_in.size() && std::isalpha(static_cast<unsigned char>(m_in[m_pos])) &&
               m_pos - start < 32) {
            ++m_pos;
        }
        const std::string_view word = m_in.substr(start, m_pos - start);
        bool hasParameter = false;
        long parameter = 0;
        const size_t numberStart = m_pos;
        if (m_pos < m_in.size() && m_in[m_pos] == '-') {
            ++m_pos;
        }
        while (m_pos < m_in.size() && std::isdigit(static_cast<unsigned char>(m_in[m_pos]))) {
            hasParameter = true;
            parameter = std::min(parameter * 10 + (m_in[m_pos] - '0'), 1'000'000'000L);
            ++m_pos;
        }
        if (hasParameter && m_in[numberStart] == '-') {
            parameter = -parameter;
        } else if (!hasParameter) {
            m_pos = numberStart;
        }
        // A space after a control word belongs to it.
        if (m_pos < m_in.size() && m_in[m_pos] == ' ') {
            ++m_pos;
        }
        apply(word, hasParameter, parameter);
    }

    void controlSymbol(char symbol) {
        switch (symbol) {
        case '\\':
        case '{':
        case '}':
            character(static_cast<unsigned char>(symbol));
            break;
        case '~':
            text(0x00A0);
            break;
        case '_':
            text(0x2011);
            break;
        case '*':
            state().skip = true;
            break;
        case '\'': {
            if (m_pos + 2 <= m_in.size()) {
                const std::string hex(m_in.substr(m_pos, 2));
                char* end = nullptr;
                const long value = std::strtol(hex.c_str(), &end, 16);
                if (end == hex.c_str() + 2) {
                    m_pos += 2;
                    character(static_cast<unsigned char>(value));
                }
            }
            break;
        }
        case '\r':
        case '\n':
            endParagraph(); // "\" before a line end is \par
            break;
        default:
            break; // \- (optional hyphen), \: and the rest show nothing
        }
    }

    void apply(std::string_view word, bool hasParameter, long parameter) {
        if (isDestination(word)) {
            state().skip = true;
            return;
        }
        if (word == "par" || word == "sect" || word == "page") {
            endParagraph();
        } else if (word == "line") {
            text('\n');
        } else if (word == "tab") {
            text('\t');
        } else if (word == "b") {
            state().bold = !hasParameter || parameter != 0;
        } else if (word == "i") {
            state().italic = !hasParameter || parameter != 0;
        } else if (word == "plain") {
            state().bold = false;
            state().italic = false;
        } else if (word == "uc" && hasParameter) {
            state().unicodeSkip = static_cast<int>(std::clamp(parameter, 0L, 8L));
        } else if (word == "u" && hasParameter) {
            const long value = parameter < 0 ? parameter + 65536 : parameter;
            text(static_cast<char32_t>(std::clamp(value, 0L, 65535L)));
            m_pendingSkip = state().unicodeSkip;
        } else if (word == "emdash") {
            text(0x2014);
        } else if (word == "endash") {
            text(0x2013);
        } else if (word == "bullet") {
            text(0x2022);
        } else if (word == "lquote") {
            text(0x2018);
        } else if (word == "rquote") {
            text(0x2019);
        } else if (word == "ldblquote") {
            text(0x201C);
        } else if (word == "rdblquote") {
            text(0x201D);
        }
    }

    std::string_view m_in;
    size_t m_pos = 0;
    std::vector<State> m_stack;
    std::vector<RtfParagraph> m_paragraphs;
    RtfParagraph m_current;
    int m_pendingSkip = 0;
    size_t m_overflow = 0; // groups opened beyond kMaxDepth, skipped with everything in them
    char32_t m_highSurrogate = 0;
};

void appendEscaped(std::string& out, const std::string& text) {
    for (char c : text) {
        switch (c) {
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '&':
            out += "&amp;";
            break;
        case '"':
            out += "&quot;";
            break;
        case '\n':
            out += "<br>";
            break;
        default:
            out += c;
        }
    }
}

} // namespace

std::vector<RtfParagraph> readRtf(std::string_view rtf) {
    return Reader(rtf).read();
}

bool looksLikeRtf(std::string_view bytes) {
    return bytes.size() > 10 && bytes.substr(0, 5) == "{\\rtf";
}

std::string rtfToPlainText(std::string_view rtf) {
    std::string out;
    for (const auto& paragraph : readRtf(rtf)) {
        for (const auto& run : paragraph) {
            out += run.text;
        }
        out += '\n';
    }
    return out;
}

std::string rtfToHtml(std::string_view rtf) {
    std::string out;
    for (const auto& paragraph : readRtf(rtf)) {
        out += "<p>";
        for (const auto& run : paragraph) {
            out += run.bold ? "<b>" : "";
            out += run.italic ? "<i>" : "";
            appendEscaped(out, run.text);
            out += run.italic ? "</i>" : "";
            out += run.bold ? "</b>" : "";
        }
        out += "</p>";
    }
    return out;
}

} // namespace sonorix
