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
#include <memory>
#include <new>
#include <string_view>
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

ValueRef parseValue(const Node* node);

ValueRef parseDict(const Node* node) {
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
            value = parseValue(valueNode);
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

ValueRef parseArray(const Node* node) {
    ArrayRef array = makeArray();
    for (const Node* child = nextElement(node->first_node()); child;
         child = nextElement(child->next_sibling())) {
        try {
            array->append(parseValue(child));
        } catch (const std::exception&) {
        }
    }
    return array;
}

ValueRef parseValue(const Node* node) {
    std::string_view name = nodeName(node);
    if (name == "dict") {
        return parseDict(node);
    }
    if (name == "array") {
        return parseArray(node);
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
        return std::make_shared<Value_int64>(v);
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
        return std::make_shared<Value_bool>(name == "true");
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

// Parses a zero-terminated buffer of length + 1 bytes in place.
DictRef parseBuffer(char* buffer, size_t length) {
    if (!nestingWithin(buffer, length, kMaxPropertyListDepth)) {
        return nullptr;
    }
    try {
        // The tree lives only as long as this call: values are built from it, then it goes.
        auto document = std::make_unique<rapidxml::xml_document<char>>();
        document->parse<rapidxml::parse_default>(buffer);
        const Node* plist = document->first_node("plist");
        const Node* root = plist ? plist->first_node("dict") : nullptr;
        if (!root) {
            return nullptr;
        }
        return std::static_pointer_cast<Value_dict>(parseDict(root));
    } catch (const rapidxml::parse_error&) {
        return nullptr;
    } catch (const std::exception&) {
        return nullptr; // the root dictionary itself could not be built
    }
}

struct FreeDeleter {
    void operator()(char* p) const { std::free(p); }
};

} // namespace

DictRef readPropertyList(const void* bytes, size_t length) {
    if (!bytes || length == 0) {
        return nullptr;
    }
    std::unique_ptr<char, FreeDeleter> buffer(static_cast<char*>(std::malloc(length + 1)));
    if (!buffer) {
        return nullptr;
    }
    std::memcpy(buffer.get(), bytes, length);
    buffer.get()[length] = '\0';
    return parseBuffer(buffer.get(), length);
}

DictRef readPropertyList(const Value& data) {
    int32_t length = 0;
    const uint8_t* bytes = data.bytes(length);
    return length > 0 ? readPropertyList(bytes, static_cast<size_t>(length)) : nullptr;
}

DictRef readPropertyList(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return nullptr;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= 0) {
        ::close(fd);
        return nullptr;
    }
    size_t length = static_cast<size_t>(st.st_size);
    std::unique_ptr<char, FreeDeleter> buffer(static_cast<char*>(std::malloc(length + 1)));
    size_t done = 0;
    while (buffer && done < length) {
        ssize_t n = ::read(fd, buffer.get() + done, length - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        done += static_cast<size_t>(n);
    }
    ::close(fd);
    if (!buffer || done != length) {
        return nullptr; // reads short
    }
    buffer.get()[length] = '\0';
    return parseBuffer(buffer.get(), length);
}

// ---- writing and replacing files ----

bool Value::writeXMLFile(const std::string& path) const {
    std::string text;
    try {
        text = toXMLDocument();
    } catch (const std::exception&) {
        return false;
    }
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        return false;
    }
    size_t done = 0;
    bool ok = true;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            ok = false;
            break;
        }
        done += static_cast<size_t>(n);
    }
    // Only content that reached the disk may replace a target.
    if (ok && ::fsync(fd) != 0) {
        ok = false;
    }
    if (::close(fd) != 0) {
        ok = false;
    }
    return ok;
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

bool savePropertyList(const Value& root, const std::string& path) {
    SafeFileWriter writer(path);
    return root.writeXMLFile(writer.tempPath()) && writer.commit();
}

DictRef loadPropertyList(const std::string& path) {
    return readPropertyList(SafeFileReader(path).path());
}

} // namespace sonorix
