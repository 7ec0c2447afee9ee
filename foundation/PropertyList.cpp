#include "foundation/PropertyList.h"

#include "foundation/Base64.h"
#include "foundation/Paths.h"
#include "foundation/Text.h"

#include <rapidxml.hpp>

#include <boost/lexical_cast.hpp>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <new>
#include <string_view>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace sonorix {
namespace {

using Node = rapidxml::xml_node<char>;

bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// Skips to just past the first occurrence of end; false at the end of the text.
bool skipPast(const char*& p, const char* end, std::string_view terminator) {
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

ValueRef parseValue(const Node* node, ValueCache& cache) {
    std::string_view name = nodeName(node);
    if (name == "dict") {
        return parseDict(node, cache);
    }
    if (name == "array") {
        return parseArray(node, cache);
    }
    if (name == "string") {
        return std::make_shared<Value_string>(toUtf16(nodeText(node)));
    }
    if (name == "integer") {
        // Read as a string value would be: the whole text must be the number, else 0.
        int64_t v = 0;
        try {
            v = boost::lexical_cast<int64_t>(node->value(), node->value_size());
        } catch (const boost::bad_lexical_cast&) {
        }
        return cache.integer(v);
    }
    if (name == "real") {
        double v = 0;
        try {
            v = boost::lexical_cast<double>(node->value(), node->value_size());
        } catch (const boost::bad_lexical_cast&) {
        }
        return std::make_shared<Value_double>(v);
    }
    if (name == "true" || name == "false") {
        return cache.boolean(name == "true");
    }
    if (name == "date") {
        // A date that does not parse is left out rather than stored as an arbitrary instant.
        auto point = DateTimePoint::parse(nodeText(node), kIsoDatePattern);
        if (!point) {
            return {};
        }
        return makeDate(*point);
    }
    if (name == "data") {
        std::vector<uint8_t> bytes = base64Decode(nodeText(node));
        if (bytes.empty() || bytes.size() > static_cast<size_t>(INT32_MAX)) {
            return {};
        }
        return makeData(bytes.data(), static_cast<int32_t>(bytes.size()), true, true);
    }
    return {};
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

// Large documents: a library file's tree would be several times the size of the file. The root
// dictionary and the containers directly in it are walked here, and each of their children (a
// track's dictionary, say) is parsed as a tree of its own and turned into values at once. Only the
// plain layout that property-list writers produce is walked; anything else (comments, stray text,
// attributes on containers, a malformed part) abandons the walk, and the caller parses the original
// bytes whole, so that the result is always the one the whole-document parse gives.
class SegmentedReader {
public:
    struct Abandon {}; // deliberately not a std::exception: nothing on the way may swallow it

    // release (optional) is told, after each child of a walked container, that the bytes before
    // the given position are no longer needed.
    SegmentedReader(char* buffer, size_t length, std::function<void(const char*)> release = {})
        : m_begin(buffer), m_p(buffer), m_end(buffer + length), m_release(std::move(release)) {}

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
    static constexpr int kWalkedLevels = 2;

    char* m_begin;
    char* m_p;
    char* m_end;
    std::function<void(const char*)> m_release;
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
    const Node* nextSegment() {
        char* stop = elementEnd();
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
        return parseValue(nextSegment(), m_cache);
    }

    // Everything before the current position has become values (keys included).
    void released() {
        if (m_release) {
            m_release(m_p);
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
                keyText = nodeText(nextSegment());
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
                ValueRef value = childValue(level);
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

    // Gives the whole pages before end back to the system; they read as zeros afterwards.
    void releaseBefore(const char* end) {
        if (!m_mapped || !m_data) {
            return;
        }
        size_t page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
        size_t upTo = static_cast<size_t>(end - m_data) / page * page;
        if (upTo >= m_released + kReleaseStep) {
            ::madvise(m_data + m_released, upTo - m_released, MADV_DONTNEED);
            m_released = upTo;
        }
    }
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
                                   [&buffer](const char* end) { buffer.releaseBefore(end); })
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
