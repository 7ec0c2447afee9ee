#include "foundation/PropertyList.h"

#include "foundation/Base64.h"
#include "foundation/Paths.h"
#include "foundation/Text.h"

#include <rapidxml.hpp>

#include <boost/lexical_cast.hpp>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <new>
#include <stdexcept>
#include <string_view>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>
#include <vector>

namespace sonorix {
namespace {

using Node = rapidxml::xml_node<char>;

bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// Byte classes for the in-place index: blanks, and bytes of element names by the parser's rule.
constexpr uint8_t kBlank = 1;
constexpr uint8_t kNameChar = 2;
constexpr auto kByteClass = [] {
    std::array<uint8_t, 256> table{};
    for (int c = 0; c < 256; ++c) {
        const bool blank = c == ' ' || c == '\t' || c == '\n' || c == '\r';
        table[c] = static_cast<uint8_t>(
            (blank ? kBlank : 0) |
            (blank || c == '/' || c == '>' || c == '?' || c == 0 ? 0 : kNameChar));
    }
    return table;
}();

// Skips to just past the first occurrence of end; false at the end of the text.
bool skipPast(const char*& p, const char* end, std::string_view terminator) {
    if (terminator.size() == 1) {
        const char* at =
            static_cast<const char*>(std::memchr(p, terminator[0], static_cast<size_t>(end - p)));
        if (!at) {
            return false;
        }
        p = at + 1;
        return true;
    }
    std::string_view rest(p, static_cast<size_t>(end - p));
    size_t at = rest.find(terminator);
    if (at == std::string_view::npos) {
        return false;
    }
    p += at + terminator.size();
    return true;
}

// The deepest element nesting that the DOM parser would build, computed without recursion. It
// walks the text with the parser's own rules for comments, CDATA, processing instructions and
// DOCTYPE, so that nothing the parser treats as an element is missed; where the document is
// malformed the parser stops, so what follows does not matter. Stops early beyond the limit.
bool nestingWithin(const char* text, size_t length, int limit) {
    const char* p = text;
    const char* end = text + length;
    int depth = 0;
    while (p < end) {
        const char* lt =
            static_cast<const char*>(std::memchr(p, '<', static_cast<size_t>(end - p)));
        if (!lt) {
            return true;
        }
        p = lt + 1;
        if (p >= end) {
            return true;
        }
        std::string_view rest(p, static_cast<size_t>(end - p));
        if (*p == '/') {
            if (depth > 0) {
                --depth;
            }
            if (!skipPast(p, end, ">")) {
                return true;
            }
        } else if (*p == '?') {
            ++p; // "<?>" does not end itself: the search starts after the "?"
            if (!skipPast(p, end, "?>")) {
                return true;
            }
        } else if (*p == '!') {
            if (rest.substr(0, 3) == "!--") {
                p += 3;
                if (!skipPast(p, end, "-->")) {
                    return true;
                }
            } else if (rest.substr(0, 8) == "![CDATA[") {
                p += 8;
                if (!skipPast(p, end, "]]>")) {
                    return true;
                }
            } else if (rest.size() > 8 && rest.substr(0, 8) == "!DOCTYPE" && isSpace(rest[8])) {
                p += 9;
                while (p < end && *p != '>') {
                    if (*p == '[') {
                        ++p;
                        int brackets = 1;
                        while (brackets > 0 && p < end) {
                            if (*p == '[') {
                                ++brackets;
                            } else if (*p == ']') {
                                --brackets;
                            }
                            ++p;
                        }
                    } else {
                        ++p;
                    }
                }
                ++p;
            } else if (!skipPast(p, end, ">")) {
                return true;
            }
        } else {
            // A start tag; quoted attribute values may hold ">".
            char last = 0;
            while (p < end && *p != '>') {
                if (*p == '"' || *p == '\'') {
                    const char* close = static_cast<const char*>(
                        std::memchr(p + 1, *p, static_cast<size_t>(end - p - 1)));
                    if (!close) {
                        return true;
                    }
                    p = close;
                }
                last = *p;
                ++p;
            }
            if (p >= end) {
                return true;
            }
            ++p;
            if (last != '/' && ++depth > limit) {
                return false;
            }
        }
    }
    return true;
}

std::string_view nodeText(const Node* node) {
    return {node->value(), node->value_size()};
}
std::string_view nodeName(const Node* node) {
    return {node->name(), node->name_size()};
}

const Node* nextElement(const Node* node) {
    while (node && node->type() != rapidxml::node_element) {
        node = node->next_sibling();
    }
    return node;
}

// Data nodes are not needed: an element's text is kept as its value either way, and a library's
// tree would be twice as large with them.
constexpr int kParseFlags = rapidxml::parse_no_data_nodes;

// Per-document sharing of immutable values: the small integers and the booleans of a library
// repeat in every track, and one shared value serves them all.
class ValueCache {
public:
    ValueRef integer(int64_t v) {
        if (v < 0 || v >= kSmall) {
            return std::make_shared<Value_int64>(v);
        }
        if (m_small.empty()) {
            m_small.resize(kSmall);
        }
        ValueRef& slot = m_small[static_cast<size_t>(v)];
        if (!slot) {
            slot = std::make_shared<Value_int64>(v);
        }
        return slot;
    }
    ValueRef boolean(bool v) {
        ValueRef& slot = v ? m_true : m_false;
        if (!slot) {
            slot = std::make_shared<Value_bool>(v);
        }
        return slot;
    }

private:
    static constexpr int64_t kSmall = 4096;
    std::vector<ValueRef> m_small; // filled on first use
    ValueRef m_true;
    ValueRef m_false;
};

ValueRef parseValue(const Node* node, ValueCache& cache);

ValueRef parseDict(const Node* node, ValueCache& cache) {
    DictRef dict = makeDict();
    const Node* keyNode = nextElement(node->first_node());
    while (keyNode) {
        const Node* valueNode = nextElement(keyNode->next_sibling());
        if (!valueNode) {
            break; // a key without its value at the end
        }
        // A key that cannot be converted throws out of here: the whole dictionary is dropped.
        std::u16string key = toUtf16(nodeText(keyNode));
        ValueRef value;
        try {
            value = parseValue(valueNode, cache);
        } catch (const std::exception&) {
            // This value only; the dictionary goes on with the next pair.
        }
        if (value) {
            dict->items().insert_or_assign(std::move(key), std::move(value));
        }
        keyNode = nextElement(valueNode->next_sibling());
    }
    return dict;
}

ValueRef parseArray(const Node* node, ValueCache& cache) {
    ArrayRef array = makeArray();
    for (const Node* child = nextElement(node->first_node()); child;
         child = nextElement(child->next_sibling())) {
        try {
            array->append(parseValue(child, cache));
        } catch (const std::exception&) {
        }
    }
    return array;
}

// The element names of values without children.
enum class ScalarKind : uint8_t { None, String, Integer, Real, True, False, Date, Data };

ScalarKind scalarKind(std::string_view name) {
    if (name == "string") {
        return ScalarKind::String;
    }
    if (name == "integer") {
        return ScalarKind::Integer;
    }
    if (name == "real") {
        return ScalarKind::Real;
    }
    if (name == "true") {
        return ScalarKind::True;
    }
    if (name == "false") {
        return ScalarKind::False;
    }
    if (name == "date") {
        return ScalarKind::Date;
    }
    if (name == "data") {
        return ScalarKind::Data;
    }
    return ScalarKind::None;
}

// Read as a string value would be: the whole text must be the number, else 0.
int64_t integerOf(std::string_view text) {
    int64_t v = 0;
    try {
        v = boost::lexical_cast<int64_t>(text.data(), text.size());
    } catch (const boost::bad_lexical_cast&) {
    }
    return v;
}

double realOf(std::string_view text) {
    double v = 0;
    try {
        v = boost::lexical_cast<double>(text.data(), text.size());
    } catch (const boost::bad_lexical_cast&) {
    }
    return v;
}

bool isAscii(std::string_view text) {
    for (char c : text) {
        if (static_cast<unsigned char>(c) >= 0x80) {
            return false;
        }
    }
    return true;
}

// Throws what the text conversion throws; the caller drops the value.
ValueRef parseScalar(ScalarKind kind, std::string_view text, ValueCache* cache) {
    switch (kind) {
    case ScalarKind::String:
        return std::make_shared<Value_string>(toUtf16(text));
    case ScalarKind::Integer: {
        int64_t v = integerOf(text);
        return cache ? cache->integer(v) : std::make_shared<Value_int64>(v);
    }
    case ScalarKind::Real:
        return std::make_shared<Value_double>(realOf(text));
    case ScalarKind::True:
    case ScalarKind::False:
        return cache ? cache->boolean(kind == ScalarKind::True)
                     : std::make_shared<Value_bool>(kind == ScalarKind::True);
    case ScalarKind::Date: {
        // A date that does not parse is left out rather than stored as an arbitrary instant.
        auto point = DateTimePoint::parse(text, kIsoDatePattern);
        if (!point) {
            return {};
        }
        return makeDate(*point);
    }
    case ScalarKind::Data: {
        std::vector<uint8_t> bytes = base64Decode(text);
        if (bytes.empty() || bytes.size() > static_cast<size_t>(INT32_MAX)) {
            return {};
        }
        return makeData(bytes.data(), static_cast<int32_t>(bytes.size()), true, true);
    }
    case ScalarKind::None:
        break;
    }
    return {};
}

ValueRef parseValue(const Node* node, ValueCache& cache) {
    std::string_view name = nodeName(node);
    if (name == "dict") {
        return parseDict(node, cache);
    }
    if (name == "array") {
        return parseArray(node, cache);
    }
    return parseScalar(scalarKind(name), nodeText(node), &cache);
}

// The whole document as one tree. The tree lives only as long as this call.
DictRef parseWhole(char* buffer) {
    ValueCache cache;
    try {
        auto document = std::make_unique<rapidxml::xml_document<char>>();
        document->parse<kParseFlags>(buffer);
        const Node* plist = document->first_node("plist");
        const Node* root = plist ? plist->first_node("dict") : nullptr;
        if (!root) {
            return nullptr;
        }
        return std::static_pointer_cast<Value_dict>(parseDict(root, cache));
    } catch (const rapidxml::parse_error&) {
        return nullptr;
    } catch (const std::exception&) {
        return nullptr; // the root dictionary itself could not be built
    }
}

} // namespace

namespace detail {

// The bytes of a document read in place, and the index of its plain dictionaries: every pair as
// the position of its value's text, the value's element and the key's number. A key's text is kept
// once, however many dictionaries use it.
struct InPlaceSource {
    struct Field {
        uint32_t text;
        uint32_t length;
        uint32_t key : 24;
        uint32_t kind : 8;
    };
    static constexpr uint32_t kMaxKeys = 1u << 24;

    std::shared_ptr<void> storage; // owns base
    const char* base = nullptr;
    std::vector<Field> fields;
    template <class View>
    struct KeyHash {
        using is_transparent = void;
        size_t operator()(View key) const { return std::hash<View>()(key); }
    };
    std::vector<std::u16string> keys;
    std::vector<std::string> keyBytes; // as first met; while reading only
    std::unordered_map<std::u16string, uint32_t, KeyHash<std::u16string_view>, std::equal_to<>>
        keyNumbers;
    std::unordered_map<std::string, uint32_t, KeyHash<std::string_view>, std::equal_to<>>
        keyNumbersByBytes; // while reading only

    // Throws TextConversionError for an undecodable key.
    uint32_t keyNumber(std::string_view bytes) {
        auto found = keyNumbersByBytes.find(bytes);
        if (found != keyNumbersByBytes.end()) {
            return found->second;
        }
        std::u16string text = toUtf16(bytes);
        auto [it, added] = keyNumbers.try_emplace(text, static_cast<uint32_t>(keys.size()));
        if (added) {
            if (keys.size() >= kMaxKeys) {
                keyNumbers.erase(it);
                throw std::length_error("too many keys");
            }
            keys.push_back(std::move(text));
            keyBytes.emplace_back(bytes);
        }
        keyNumbersByBytes.emplace(bytes, it->second);
        return it->second;
    }

    const uint32_t* findKey(std::u16string_view key) const {
        auto found = keyNumbers.find(key);
        return found == keyNumbers.end() ? nullptr : &found->second;
    }

    ValueRef value(const Field& field) const {
        return parseScalar(static_cast<ScalarKind>(field.kind),
                           std::string_view(base + field.text, field.length), nullptr);
    }
};

} // namespace detail

namespace {

// Stands in the root for the lazily read dictionary until its entries are handed to the caller;
// it never reaches a file or another caller.
class Value_lazyEntries final : public Value {
public:
    static constexpr int kLazyEntries = 100;
    explicit Value_lazyEntries(std::shared_ptr<LazyDicts> entries) : entries(std::move(entries)) {}
    int type() const override { return kLazyEntries; }
    void writeXML(std::ostream&, const std::string&) const override {}
    std::shared_ptr<LazyDicts> entries;
};

using detail::InPlaceSource;

// Large documents: a library file's tree would be several times the size of the file. The
// containers of the top levels are walked here (the root, its playlists, each playlist and its
// items), and each of their other children is parsed as a tree of its own and turned into values
// at once, or built straight from the text where it is a dictionary of plain values. Only the
// plain layout that property-list writers produce is walked; anything else (comments, stray text,
// attributes on containers, a malformed part) abandons the walk, and the caller parses the original
// bytes whole, so that the result is always the one the whole-document parse gives.
class SegmentedReader {
public:
    struct Abandon {}; // deliberately not a std::exception: nothing on the way may swallow it
    struct TooDeep {}; // the document is nested deeper than allowed: no root

    // release (optional) is told, after each child of a walked container, that the bytes between
    // the two positions are no longer needed.
    using Release = std::function<void(const char*, const char*)>;
    SegmentedReader(char* buffer, size_t length, Release release = {})
        : m_begin(buffer), m_p(buffer), m_write(buffer), m_end(buffer + length),
          m_release(std::move(release)) {}

    // The dictionaries in the root's dictionary under lazyKey are indexed where their layout
    // allows (see readPropertyListLazily): their values' texts are moved to the front of the
    // buffer, which source holds, and only that front stays needed.
    SegmentedReader(char* buffer, size_t length, std::u16string lazyKey,
                    std::shared_ptr<InPlaceSource> source, Release release)
        : m_begin(buffer), m_p(buffer), m_write(buffer), m_end(buffer + length),
          m_release(std::move(release)), m_lazyKey(std::move(lazyKey)), m_source(std::move(source)),
          m_checkSegments(true) {
        m_source->fields.reserve(length / 48);
    }

    // The end of the texts kept for the lazy dictionaries.
    const char* keptEnd() const { return m_write; }

    DictRef read() {
        skipProlog();
        if (!consume("<dict>")) {
            throw Abandon();
        }
        DictRef root;
        try {
            root = std::static_pointer_cast<Value_dict>(walkContainer(true, 0));
        } catch (const std::exception&) {
            root = nullptr; // the root dictionary itself could not be built
        }
        skipSpace();
        consumeEndTag(); // </plist>
        skipSpace();
        if (m_p != m_end) {
            throw Abandon();
        }
        return root;
    }

private:
    static constexpr int kWalkedLevels = 4;

    char* m_begin;
    char* m_p;
    char* m_write; // the texts of indexed values are moved here, ahead of m_p
    char* m_end;
    Release m_release;
    std::u16string m_lazyKey;
    std::shared_ptr<InPlaceSource> m_source;
    bool m_checkSegments = false; // the caller did not check the whole document's nesting
    struct Text {
        std::string_view text;
        uint32_t key;
        ScalarKind kind;
    };
    std::vector<Text> m_texts; // of the dictionary being indexed
    struct PlainPair {
        std::string_view key;
        std::string_view text;
        ScalarKind kind;
    };
    std::vector<PlainPair> m_pairs;   // of the plain dictionary being read
    std::vector<uint32_t> m_lastKeys; // of the previous dictionary, by place
    ValueCache m_cache;
    rapidxml::xml_document<char> m_document;

    static bool isNameChar(char c) {
        return !(isSpace(c) || c == '/' || c == '>' || c == '?' || c == '\0');
    }

    void skipSpace() {
        while (m_p < m_end && isSpace(*m_p)) {
            ++m_p;
        }
    }

    bool at(std::string_view text) const {
        return static_cast<size_t>(m_end - m_p) >= text.size() &&
               std::memcmp(m_p, text.data(), text.size()) == 0;
    }

    bool consume(std::string_view text) {
        if (!at(text)) {
            return false;
        }
        m_p += text.size();
        return true;
    }

    // "</name>" with optional blanks before ">"; closing names are not checked by the parser.
    void consumeEndTag() {
        if (!consume("</")) {
            throw Abandon();
        }
        while (m_p < m_end && isNameChar(*m_p)) {
            ++m_p;
        }
        skipSpace();
        if (!consume(">")) {
            throw Abandon();
        }
    }

    // Up to the root "<plist>" start tag: a byte-order mark, the declaration, DOCTYPE, blanks.
    void skipProlog() {
        consume("\xEF\xBB\xBF");
        for (;;) {
            skipSpace();
            if (at("<?")) {
                const char* p = m_p + 2;
                if (!skipPast(p, m_end, "?>")) {
                    throw Abandon();
                }
                m_p = const_cast<char*>(p);
            } else if (at("<!DOCTYPE ")) {
                // Only the plain form without an internal subset.
                char* close =
                    static_cast<char*>(std::memchr(m_p, '>', static_cast<size_t>(m_end - m_p)));
                if (!close || std::memchr(m_p, '[', static_cast<size_t>(close - m_p))) {
                    throw Abandon();
                }
                m_p = close + 1;
            } else {
                break;
            }
        }
        // The parser ends the document at a zero byte; the skips above would step over one.
        if (std::memchr(m_begin, '\0', static_cast<size_t>(m_p - m_begin))) {
            throw Abandon();
        }
        if (consume("<plist>")) {
            skipSpace();
            return;
        }
        if (!consume("<plist version=\"")) {
            throw Abandon();
        }
        while (m_p < m_end && *m_p != '"') {
            if (*m_p == '&' || *m_p == '<' || *m_p == '\0') {
                throw Abandon();
            }
            ++m_p;
        }
        if (!consume("\">")) {
            throw Abandon();
        }
        skipSpace();
    }

    // The end of the element starting at m_p, by the parser's rules (see nestingWithin).
    char* elementEnd() const {
        const char* p = m_p;
        int depth = 0;
        for (;;) {
            const char* lt =
                static_cast<const char*>(std::memchr(p, '<', static_cast<size_t>(m_end - p)));
            if (!lt || lt + 1 >= m_end) {
                throw Abandon();
            }
            p = lt + 1;
            if (*p == '/') {
                ++p;
                while (p < m_end && isNameChar(*p)) {
                    ++p;
                }
                while (p < m_end && isSpace(*p)) {
                    ++p;
                }
                if (p >= m_end || *p != '>') {
                    throw Abandon();
                }
                ++p;
                if (--depth <= 0) {
                    if (depth < 0) {
                        throw Abandon();
                    }
                    return const_cast<char*>(p);
                }
            } else if (*p == '?' || *p == '!') {
                // Comments, CDATA, instructions and declarations inside a child: rare in property
                // lists, so the whole-document parse handles them.
                throw Abandon();
            } else {
                char last = 0;
                while (p < m_end && *p != '>') {
                    if (*p == '"' || *p == '\'') {
                        const char* close = static_cast<const char*>(
                            std::memchr(p + 1, *p, static_cast<size_t>(m_end - p - 1)));
                        if (!close) {
                            throw Abandon();
                        }
                        p = close;
                    }
                    last = *p;
                    ++p;
                }
                if (p >= m_end) {
                    throw Abandon();
                }
                ++p;
                if (last == '/') {
                    if (depth == 0) {
                        return const_cast<char*>(p);
                    }
                } else {
                    ++depth;
                }
            }
        }
    }

    // Parses the next child element alone; the node stays valid until the next call.
    const Node* nextSegment(int level) {
        char* stop = elementEnd();
        // Without the check of the whole document beforehand, each tree is checked before it is
        // parsed: the child of a container at level 0 stands at depth 3.
        if (m_checkSegments && !nestingWithin(m_p, static_cast<size_t>(stop - m_p),
                                              kMaxPropertyListDepth - 2 - level)) {
            throw TooDeep();
        }
        char saved = *stop; // the byte after the element; m_end holds the buffer's own zero
        *stop = '\0';
        try {
            m_document.clear();
            m_document.parse<kParseFlags>(m_p);
        } catch (const rapidxml::parse_error&) {
            *stop = saved;
            throw Abandon();
        }
        *stop = saved;
        const Node* node = m_document.first_node();
        if (!node || node != m_document.last_node() || node->type() != rapidxml::node_element) {
            throw Abandon();
        }
        m_p = stop;
        return node;
    }

    // A child to walk into rather than parse: a plain "<dict>" or "<array>" above the limit.
    int walkableChild(int level) const {
        if (level + 1 >= kWalkedLevels) {
            return 0;
        }
        if (at("<dict>")) {
            return 1;
        }
        if (at("<array>")) {
            return 2;
        }
        return 0;
    }

    // The next child's value: walked or parsed, with the dropping rules of parseValue.
    ValueRef childValue(int level) {
        if (int kind = walkableChild(level)) {
            m_p += kind == 1 ? 6 : 7;
            return walkContainer(kind == 1, level + 1);
        }
        ValueRef built;
        if (at("<dict>") && buildPlainDict(built)) {
            return built;
        }
        return parseValue(nextSegment(level), m_cache);
    }

    // Everything before the current position has become values (keys included).
    void released() {
        if (m_release) {
            m_release(m_write, m_p);
        }
    }

    // Before a child: blanks only; true at the container's end tag (consumed).
    bool atContainerEnd() {
        skipSpace();
        if (at("</")) {
            consumeEndTag();
            return true;
        }
        if (!at("<") || at("<!") || at("<?")) {
            throw Abandon();
        }
        return false;
    }

    // An element holding text only, from p on: "<name>text</name>" or "<name/>", the name followed
    // by blanks at most. False for anything else (attributes, children, references, comments).
    // text is the element's text as the parser keeps it: empty when it is only blanks.
    bool plainElement(const char*& p, std::string_view& name, std::string_view& text) const {
        // The buffer ends in a zero byte, which stops every loop below.
        if (*p != '<') {
            return false;
        }
        const char* start = ++p;
        if (*p == '!' || *p == '?') {
            return false;
        }
        while (kByteClass[static_cast<unsigned char>(*p)] & kNameChar) {
            ++p;
        }
        if (p == start) {
            return false;
        }
        name = std::string_view(start, static_cast<size_t>(p - start));
        while (kByteClass[static_cast<unsigned char>(*p)] & kBlank) {
            ++p;
        }
        if (p[0] == '/' && p[1] == '>') {
            p += 2;
            text = {};
            return true;
        }
        if (*p != '>') {
            return false;
        }
        const char* textStart = ++p;
        p += std::strcspn(p, "<&"); // stops at the zero byte too
        bool blank = true;
        for (const char* c = textStart; c < p && blank; ++c) {
            blank = kByteClass[static_cast<unsigned char>(*c)] & kBlank;
        }
        if (p[0] != '<' || p[1] != '/') {
            return false; // a reference, a zero byte or the buffer's end, or a child
        }
        text = blank ? std::string_view()
                     : std::string_view(textStart, static_cast<size_t>(p - textStart));
        p += 2;
        while (kByteClass[static_cast<unsigned char>(*p)] & kNameChar) {
            ++p;
        }
        while (kByteClass[static_cast<unsigned char>(*p)] & kBlank) {
            ++p;
        }
        if (*p != '>') {
            return false;
        }
        ++p;
        return true;
    }

    // A "<dict>" at m_p whose pairs are plain elements with values that have no children, into
    // m_pairs (a key without its value at the end left out). The position after its end tag, or
    // null for any other layout; nothing is consumed.
    const char* scanPlainDict() {
        const char* p = m_p + 6; // "<dict>"
        m_pairs.clear();
        for (;;) {
            while (p < m_end && isSpace(*p)) {
                ++p;
            }
            if (p + 1 < m_end && p[0] == '<' && p[1] == '/') {
                break;
            }
            std::string_view keyName, keyText, valueName, valueText;
            if (!plainElement(p, keyName, keyText)) {
                return nullptr;
            }
            while (p < m_end && isSpace(*p)) {
                ++p;
            }
            if (p + 1 < m_end && p[0] == '<' && p[1] == '/') {
                break; // a key without its value at the end
            }
            if (!plainElement(p, valueName, valueText)) {
                return nullptr;
            }
            ScalarKind kind = scalarKind(valueName);
            if (kind == ScalarKind::None && (valueName == "dict" || valueName == "array")) {
                return nullptr; // "<dict/>" is a value, and an empty one is not nothing
            }
            m_pairs.push_back({keyText, valueText, kind});
        }
        // The end tag: "</name>" with blanks before ">".
        p += 2;
        while (p < m_end && isNameChar(*p)) {
            ++p;
        }
        while (p < m_end && isSpace(*p)) {
            ++p;
        }
        if (p >= m_end || *p != '>') {
            return nullptr;
        }
        return p + 1;
    }

    // A plain "<dict>" at m_p (see scanPlainDict) indexed into the source without building
    // anything. False, with nothing consumed, for any other layout or an undecodable key: the
    // parser decides those.
    bool indexPlainDict(LazyDict& result) {
        const char* end = scanPlainDict();
        if (!end) {
            return false;
        }
        m_texts.clear();
        for (size_t pair = 0; pair < m_pairs.size(); ++pair) {
            uint32_t key = 0;
            try {
                key = keyNumberAt(pair, m_pairs[pair].key);
            } catch (const std::exception&) {
                return false;
            }
            if (m_pairs[pair].kind != ScalarKind::None) { // else no value, as the parser gives
                m_texts.push_back({m_pairs[pair].text, key, m_pairs[pair].kind});
            }
        }
        m_p = const_cast<char*>(end);
        // Nothing of the element is read again, so its texts may move over it.
        const size_t first = m_source->fields.size();
        for (const auto& text : m_texts) {
            if (!text.text.empty()) { // an empty text may have no buffer at all
                std::memmove(m_write, text.text.data(), text.text.size());
            }
            m_source->fields.push_back({static_cast<uint32_t>(m_write - m_begin),
                                        static_cast<uint32_t>(text.text.size()), text.key,
                                        static_cast<uint32_t>(text.kind)});
            m_write += text.text.size();
        }
        result = LazyDict(m_source, static_cast<uint32_t>(first),
                          static_cast<uint32_t>(m_source->fields.size() - first));
        return true;
    }

    // A plain "<dict>" at m_p (see scanPlainDict) built as parseDict builds it, without parsing
    // the element into a tree first: a playlist holds one for each of its tracks. False, with
    // nothing consumed, for any other layout or an undecodable key (which drops the dictionary:
    // the parser decides that).
    bool buildPlainDict(ValueRef& result) {
        const char* end = scanPlainDict();
        if (!end) {
            return false;
        }
        DictRef dict = makeDict();
        for (const PlainPair& pair : m_pairs) {
            std::u16string key;
            try {
                key = toUtf16(pair.key);
            } catch (const std::exception&) {
                return false;
            }
            ValueRef value;
            try {
                value = parseScalar(pair.kind, pair.text, &m_cache);
            } catch (const std::exception&) {
                // This value only, as parseDict drops it.
            }
            if (value) {
                dict->items().insert_or_assign(std::move(key), std::move(value));
            }
        }
        m_p = const_cast<char*>(end);
        result = std::move(dict);
        return true;
    }

    // The key's number; dictionaries of one file mostly hold the same keys in the same order, so
    // the key at the same place in the previous dictionary is tried first.
    uint32_t keyNumberAt(size_t pair, std::string_view text) {
        constexpr uint32_t kUnknown = UINT32_MAX;
        if (pair >= m_lastKeys.size()) {
            m_lastKeys.resize(pair + 1, kUnknown);
        }
        uint32_t& last = m_lastKeys[pair];
        if (last != kUnknown && m_source->keyBytes[last] == text) {
            return last;
        }
        last = kUnknown; // stays so when the key cannot be decoded
        last = m_source->keyNumber(text);
        return last;
    }

    // The lazily read dictionary under the root's lazy key, start tag not yet consumed, as a
    // value holding the entries.
    ValueRef walkLazyDict() {
        m_p += 6;
        auto entries = std::make_shared<LazyDicts>();
        bool keyFailed = false;
        while (!atContainerEnd()) {
            std::string_view keyText;
            if (at("<dict>") || at("<array>")) {
                try {
                    childValue(1);
                } catch (const std::exception&) {
                }
            } else {
                keyText = nodeText(nextSegment(1));
            }
            if (atContainerEnd()) {
                break;
            }
            std::u16string key;
            try {
                key = toUtf16(keyText);
            } catch (const std::exception&) {
                keyFailed = true;
            }
            try {
                LazyDict entry;
                bool present = true;
                if (!(at("<dict>") && indexPlainDict(entry))) {
                    ValueRef value = childValue(1);
                    present = value != nullptr;
                    entry = LazyDict(asDict(value));
                }
                if (present && !keyFailed) {
                    entries->insert_or_assign(std::move(key), std::move(entry));
                }
            } catch (const std::exception&) {
            }
            released();
        }
        if (keyFailed) {
            throw TextConversionError("undecodable key");
        }
        return std::make_shared<Value_lazyEntries>(std::move(entries));
    }

    // The content of a container whose start tag was consumed, up to and including its end tag.
    ValueRef walkContainer(bool isDict, int level) {
        // From here on the walk must reach the container's end whatever fails on the way.
        ArrayRef array;
        DictRef dict;
        try {
            if (isDict) {
                dict = makeDict();
            } else {
                array = makeArray();
            }
        } catch (const std::exception&) {
            throw Abandon();
        }
        if (!isDict) {
            while (!atContainerEnd()) {
                try {
                    array->append(childValue(level));
                } catch (const std::exception&) {
                }
                released();
            }
            return array;
        }
        bool keyFailed = false;
        while (!atContainerEnd()) {
            // The key's text stays in the buffer; it is converted only once its value is known to
            // exist, as the tree walk does.
            std::string_view keyText;
            if (walkableChild(level)) {
                // A container as a key: its text, as the tree would give it, is empty, and its
                // content is never read as a value.
                try {
                    childValue(level);
                } catch (const std::exception&) {
                }
            } else {
                keyText = nodeText(nextSegment(level));
            }
            if (atContainerEnd()) {
                break; // a key without its value at the end
            }
            std::u16string key;
            try {
                key = toUtf16(keyText);
            } catch (const std::exception&) {
                keyFailed = true; // the dictionary is dropped once its end is reached
            }
            try {
                ValueRef value =
                    level == 0 && m_source && !keyFailed && key == m_lazyKey && at("<dict>")
                        ? walkLazyDict()
                        : childValue(level);
                if (value && !keyFailed) {
                    dict->items().insert_or_assign(std::move(key), std::move(value));
                }
            } catch (const std::exception&) {
            }
            released();
        }
        if (keyFailed) {
            throw TextConversionError("undecodable key");
        }
        return dict;
    }
};

// The document's bytes plus a terminating zero. Large buffers are mapped pages of their own, so
// that the part already turned into values can be handed back while the rest is read.
class Buffer {
public:
    explicit Buffer(size_t length) : m_size(length + 1), m_mapped(length >= kReleasableFrom) {
        if (m_mapped) {
            void* p =
                ::mmap(nullptr, m_size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
            m_data = p == MAP_FAILED ? nullptr : static_cast<char*>(p);
            if (m_data) {
                // Large pages: a library file would otherwise take one fault per 4 KiB.
                ::madvise(m_data, m_size, MADV_HUGEPAGE);
            }
        } else {
            m_data = static_cast<char*>(std::malloc(m_size));
        }
    }
    ~Buffer() {
        if (m_data && m_mapped) {
            ::munmap(m_data, m_size);
        } else {
            std::free(m_data);
        }
    }
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;

    char* get() const { return m_data; }

    // Gives the whole pages between from and to back to the system; they read as zeros
    // afterwards. Pages are given back in steps, never one before from.
    void releaseBetween(const char* from, const char* to, bool now = false) {
        if (!m_mapped || !m_data) {
            return;
        }
        size_t page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
        size_t start = (static_cast<size_t>(from - m_data) + page - 1) / page * page;
        size_t upTo = static_cast<size_t>(to - m_data) / page * page;
        start = std::max(start, m_released);
        if (upTo > start && (now || upTo >= start + kReleaseStep)) {
            ::madvise(m_data + start, upTo - start, MADV_DONTNEED);
            m_released = upTo;
        }
    }
    const char* end() const { return m_data + m_size; }
    // The pages come back (zeroed) when written again, as a reload does.
    void resetReleased() { m_released = 0; }

private:
    static constexpr size_t kReleasableFrom = 1024 * 1024;
    static constexpr size_t kReleaseStep = 256 * 1024;
    char* m_data = nullptr;
    size_t m_size;
    bool m_mapped;
    size_t m_released = 0;
};

// Below this size the whole-document parse is as small as it gets.
constexpr size_t kSegmentedFrom = 256 * 1024;

// Parses a zero-terminated buffer of length + 1 bytes in place. reload refills the buffer with the
// original bytes when the segmented walk has to be abandoned half-way.
DictRef parseBuffer(Buffer& buffer, size_t length, const std::function<bool(char*)>& reload,
                    bool segmented) {
    if (!nestingWithin(buffer.get(), length, kMaxPropertyListDepth)) {
        return nullptr;
    }
    if (segmented) {
        try {
            return SegmentedReader(buffer.get(), length,
                                   [&buffer](const char* from, const char* to) {
                                       buffer.releaseBetween(from, to);
                                   })
                .read();
        } catch (const SegmentedReader::Abandon&) {
        } catch (const std::exception&) {
        }
        buffer.resetReleased();
        if (!reload(buffer.get())) {
            return nullptr;
        }
    }
    return parseWhole(buffer.get());
}

DictRef readBytes(const void* bytes, size_t length, bool segmented) {
    if (!bytes || length == 0) {
        return nullptr;
    }
    Buffer buffer(length);
    if (!buffer.get()) {
        return nullptr;
    }
    auto fill = [&](char* target) {
        std::memcpy(target, bytes, length);
        target[length] = '\0';
        return true;
    };
    fill(buffer.get());
    return parseBuffer(buffer, length, fill, segmented);
}

// Reads the whole file into target (length + 1 bytes, zero-terminated).
bool readWholeFile(const std::string& path, char* target, size_t length) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    size_t done = 0;
    while (done < length) {
        ssize_t n = ::read(fd, target + done, length - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        done += static_cast<size_t>(n);
    }
    ::close(fd);
    target[length] = '\0';
    return done == length;
}

// The lazy reading: the segmented walk with an index in place for the dictionaries under key, or,
// where the walk gives up, the whole-document parse with each of those dictionaries built.
DictRef readLazily(const std::shared_ptr<Buffer>& buffer, size_t length,
                   const std::function<bool(char*)>& reload, std::u16string_view key,
                   LazyDicts& entries) {
    entries.clear();
    // The walk checks the nesting of each tree it has parsed; the indexed dictionaries are flat.
    DictRef root;
    bool walked = false;
    if (length < UINT32_MAX) { // field positions are 32-bit
        auto source = std::make_shared<InPlaceSource>();
        source->storage = buffer;
        source->base = buffer->get();
        try {
            SegmentedReader reader(
                buffer->get(), length, std::u16string(key), source,
                [&buffer](const char* from, const char* to) { buffer->releaseBetween(from, to); });
            root = reader.read();
            walked = true;
            buffer->releaseBetween(reader.keptEnd(), buffer->end(), true);
        } catch (const SegmentedReader::TooDeep&) {
            return nullptr;
        } catch (const SegmentedReader::Abandon&) {
        } catch (const std::exception&) {
        }
        source->keyNumbersByBytes = {};
        source->keyBytes = {};
        if (!walked) {
            buffer->resetReleased();
            if (!reload(buffer->get())) {
                return nullptr;
            }
        }
    }
    if (!walked) {
        if (!nestingWithin(buffer->get(), length, kMaxPropertyListDepth)) {
            return nullptr;
        }
        root = parseWhole(buffer->get());
    }
    if (!root) {
        return nullptr;
    }
    ValueRef under = root->get(key);
    if (auto lazy = std::dynamic_pointer_cast<Value_lazyEntries>(under)) {
        entries = std::move(*lazy->entries);
    } else if (DictRef dict = asDict(under)) {
        for (const auto& [name, value] : dict->items()) {
            entries.emplace(name, LazyDict(asDict(value)));
        }
    }
    root->remove(key);
    return root;
}

} // namespace

namespace detail {

DictRef readPropertyListWhole(const void* bytes, size_t length) {
    return readBytes(bytes, length, false);
}

DictRef readPropertyListSegmented(const void* bytes, size_t length) {
    return readBytes(bytes, length, true);
}

} // namespace detail

DictRef readPropertyList(const void* bytes, size_t length) {
    return readBytes(bytes, length, length >= kSegmentedFrom);
}

DictRef readPropertyList(const Value& data) {
    int32_t length = 0;
    const uint8_t* bytes = data.bytes(length);
    return length > 0 ? readPropertyList(bytes, static_cast<size_t>(length)) : nullptr;
}

DictRef readPropertyList(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= 0) {
        return nullptr;
    }
    size_t length = static_cast<size_t>(st.st_size);
    Buffer buffer(length);
    if (!buffer.get() || !readWholeFile(path, buffer.get(), length)) {
        return nullptr; // unreadable, or reads short
    }
    auto reload = [&](char* target) { return readWholeFile(path, target, length); };
    return parseBuffer(buffer, length, reload, length >= kSegmentedFrom);
}

DictRef readPropertyListLazily(const void* bytes, size_t length, std::u16string_view key,
                               LazyDicts& entries) {
    entries.clear();
    if (!bytes || length == 0) {
        return nullptr;
    }
    auto buffer = std::make_shared<Buffer>(length);
    if (!buffer->get()) {
        return nullptr;
    }
    auto fill = [&](char* target) {
        std::memcpy(target, bytes, length);
        target[length] = '\0';
        return true;
    };
    fill(buffer->get());
    return readLazily(buffer, length, fill, key, entries);
}

DictRef readPropertyListLazily(const std::string& path, std::u16string_view key,
                               LazyDicts& entries) {
    entries.clear();
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= 0) {
        return nullptr;
    }
    size_t length = static_cast<size_t>(st.st_size);
    auto buffer = std::make_shared<Buffer>(length);
    if (!buffer->get() || !readWholeFile(path, buffer->get(), length)) {
        return nullptr;
    }
    auto reload = [&](char* target) { return readWholeFile(path, target, length); };
    return readLazily(buffer, length, reload, key, entries);
}

// ---- dictionaries read in place ----

LazyDict::LazyDict(DictRef built) : m_built(std::move(built)) {}

LazyDict::LazyDict(std::shared_ptr<const detail::InPlaceSource> source, uint32_t first,
                   uint32_t count)
    : m_source(std::move(source)), m_first(first), m_count(count) {}

ValueRef LazyDict::get(std::u16string_view key) const {
    if (!m_source) {
        return m_built ? m_built->get(key) : nullptr;
    }
    const uint32_t* number = m_source->findKey(key);
    if (!number) {
        return {};
    }
    // The last entry of the key whose value can be built is the one a built dictionary keeps.
    const InPlaceSource::Field* fields = m_source->fields.data() + m_first;
    for (uint32_t i = m_count; i-- > 0;) {
        if (fields[i].key != *number) {
            continue;
        }
        try {
            if (ValueRef value = m_source->value(fields[i])) {
                return value;
            }
        } catch (const std::exception&) {
        }
    }
    return {};
}

ValueRef LazyDict::get(std::string_view key) const {
    try {
        return get(std::u16string_view(toUtf16(key)));
    } catch (const TextConversionError&) {
        return {};
    }
}

namespace detail {

struct LazyDictAccess {
    // use applied to the key's value, or fallback without one. A value that is certain to build
    // (a number, a boolean, ASCII text) is read straight from its text, on the stack; the others
    // go through get, which knows which entry of a key counts.
    template <class R, class Use>
    static R read(const LazyDict& dict, std::u16string_view key, R fallback, Use use) {
        return read(dict, key, std::move(fallback), use, [&use](std::string_view text) {
            return use(Value_string(std::u16string(text.begin(), text.end())));
        });
    }

    // useAscii takes an ASCII text as it stands, where building a text value first would only
    // be copied again.
    template <class R, class Use, class UseAscii>
    static R read(const LazyDict& dict, std::u16string_view key, R fallback, Use use,
                  UseAscii useAscii) {
        if (dict.m_source) {
            const InPlaceSource& source = *dict.m_source;
            const uint32_t* number = source.findKey(key);
            if (!number) {
                return fallback;
            }
            const InPlaceSource::Field* fields = source.fields.data() + dict.m_first;
            for (uint32_t i = dict.m_count; i-- > 0;) {
                if (fields[i].key != *number) {
                    continue;
                }
                std::string_view text(source.base + fields[i].text, fields[i].length);
                switch (static_cast<ScalarKind>(fields[i].kind)) {
                case ScalarKind::Integer:
                    return use(Value_int64(integerOf(text)));
                case ScalarKind::Real:
                    return use(Value_double(realOf(text)));
                case ScalarKind::True:
                case ScalarKind::False:
                    return use(
                        Value_bool(fields[i].kind == static_cast<uint32_t>(ScalarKind::True)));
                case ScalarKind::String:
                    if (isAscii(text)) {
                        return useAscii(text);
                    }
                    break;
                default:
                    break;
                }
                break;
            }
        }
        ValueRef value = dict.get(key);
        return value ? use(*value) : fallback;
    }
};

} // namespace detail

using detail::LazyDictAccess;

#define SONORIX_LAZY_GETTER(Name, Type, Conversion)                                                \
    Type LazyDict::Name(std::u16string_view key, Type fallback) const {                            \
        return LazyDictAccess::read(*this, key, fallback,                                          \
                                    [](const Value& v) { return v.Conversion(); });                \
    }

SONORIX_LAZY_GETTER(getInt16, int16_t, toInt16)
SONORIX_LAZY_GETTER(getInt32, int32_t, toInt32)
SONORIX_LAZY_GETTER(getInt64, int64_t, toInt64)
SONORIX_LAZY_GETTER(getBool, bool, toBool)
SONORIX_LAZY_GETTER(getDouble, double, toDouble)
#undef SONORIX_LAZY_GETTER

std::u16string LazyDict::getString(std::u16string_view key) const {
    return LazyDictAccess::read(
        *this, key, std::u16string(), [](const Value& v) { return v.toString(); },
        [](std::string_view text) { return std::u16string(text.begin(), text.end()); });
}

bool LazyDict::hasText(std::u16string_view key) const {
    return LazyDictAccess::read(
        *this, key, false, [](const Value& v) { return !v.toString().empty(); },
        [](std::string_view text) { return !text.empty(); });
}

std::string LazyDict::getUtf8String(std::u16string_view key) const {
    return LazyDictAccess::read(
        *this, key, std::string(), [](const Value& v) { return toUtf8(v.toString()); },
        [](std::string_view text) { return std::string(text); });
}

std::shared_ptr<DateTimePoint> LazyDict::getDate(std::u16string_view key) const {
    ValueRef v = get(key);
    return v ? v->date() : nullptr;
}

uint64_t LazyDict::getHexId(std::u16string_view key) const {
    return LazyDictAccess::read(
        *this, key, uint64_t{0},
        [](const Value& v) {
            std::u16string text = v.toString();
            bool ascii = true;
            for (char16_t c : text) {
                ascii = ascii && c < 0x80;
            }
            return parseHexId(ascii ? std::string(text.begin(), text.end()) : toUtf8(text));
        },
        [](std::string_view text) { return parseHexId(text); });
}

DictRef LazyDict::toDict() const {
    if (!m_source) {
        return m_built;
    }
    DictRef dict = makeDict();
    const InPlaceSource::Field* fields = m_source->fields.data() + m_first;
    for (uint32_t i = 0; i < m_count; ++i) {
        try {
            if (ValueRef value = m_source->value(fields[i])) {
                dict->items().insert_or_assign(m_source->keys[fields[i].key], std::move(value));
            }
        } catch (const std::exception&) {
        }
    }
    return dict;
}

// ---- writing and replacing files ----

namespace {

// Writes the whole content to a new file and syncs it; errno tells why when it fails.
bool writeSynced(const std::string& path, std::string_view content) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        return false;
    }
    size_t done = 0;
    int error = 0;
    while (done < content.size()) {
        ssize_t n = ::write(fd, content.data() + done, content.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            error = n < 0 ? errno : ENOSPC;
            break;
        }
        done += static_cast<size_t>(n);
    }
    // Only content that reached the disk may replace a target.
    if (!error && ::fsync(fd) != 0) {
        error = errno;
    }
    if (::close(fd) != 0 && !error) {
        error = errno;
    }
    // The caller reports why (a full disk, a read-only folder).
    errno = error;
    return error == 0;
}

} // namespace

bool Value::writeXMLFile(const std::string& path) const {
    std::string text;
    try {
        text = toXMLDocument();
    } catch (const std::exception&) {
        return false;
    }
    return writeSynced(path, text);
}

SafeFileWriter::SafeFileWriter(std::string path)
    : m_path(std::move(path)), m_tempPath(m_path + ".tmp") {
    ::unlink(m_tempPath.c_str());
}

SafeFileWriter::~SafeFileWriter() {
    if (!m_committed) {
        ::unlink(m_tempPath.c_str());
    }
}

bool SafeFileWriter::commit() {
    if (m_committed) {
        return true;
    }
    if (!fileExists(m_tempPath)) {
        return false;
    }
    // rename(2) replaces the target atomically: there is no moment without a complete file.
    if (::rename(m_tempPath.c_str(), m_path.c_str()) != 0) {
        return false;
    }
    m_committed = true;
    // Make the rename itself durable; a failure here leaves a complete file either way.
    size_t slash = m_path.find_last_of('/');
    std::string folder = slash == std::string::npos ? "." : m_path.substr(0, slash ? slash : 1);
    int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return true;
}

SafeFileReader::SafeFileReader(const std::string& path) : m_path(path) {
    if (!fileExists(path)) {
        std::string temp = path + ".tmp";
        if (fileExists(temp)) {
            m_path = temp;
        }
    }
}

bool writeFileSafely(const std::string& path, std::string_view content, int* error) {
    SafeFileWriter writer(path);
    bool ok = writeSynced(writer.tempPath(), content) && writer.commit();
    if (!ok && error) {
        *error = errno;
    }
    return ok;
}

bool savePropertyList(const Value& root, const std::string& path) {
    SafeFileWriter writer(path);
    return root.writeXMLFile(writer.tempPath()) && writer.commit();
}

DictRef loadPropertyList(const std::string& path) {
    return readPropertyList(SafeFileReader(path).path());
}

} // namespace sonorix
