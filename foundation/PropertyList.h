#pragma once

#include "foundation/Value.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace sonorix {

// Reads an XML property list whose top element "plist" holds a "dict". Never throws: a file that
// cannot be read, malformed XML, or a document without a "plist"/"dict" root gives no root. A value
// that cannot be built (undecodable UTF-8, a date that does not parse, an unknown element) is left
// out of its dictionary or array.
DictRef readPropertyList(const std::string& path);
DictRef readPropertyList(const void* bytes, size_t length);
DictRef readPropertyList(const Value& data);

namespace detail {
// The two reading strategies, for tests and fuzzing that compare them; readPropertyList picks one
// by size and both give the same values.
DictRef readPropertyListWhole(const void* bytes, size_t length);
DictRef readPropertyListSegmented(const void* bytes, size_t length);
} // namespace detail

// Nesting deeper than this is treated as malformed: it would only exhaust the stack.
inline constexpr int kMaxPropertyListDepth = 256;

// Replacing a file on save. The new content goes to the path + ".tmp"; the target is replaced,
// atomically, only by commit() — after the caller has written, flushed and synced the whole
// content. A writer destroyed without a successful commit removes the temporary file and leaves
// the old target as it was.
class SafeFileWriter {
public:
    explicit SafeFileWriter(std::string path);
    ~SafeFileWriter();
    SafeFileWriter(const SafeFileWriter&) = delete;
    SafeFileWriter& operator=(const SafeFileWriter&) = delete;

    const std::string& path() const { return m_path; }
    // Where the caller writes.
    const std::string& tempPath() const { return m_tempPath; }

    // Moves the temporary file over the target with rename(2). False (target untouched) when the
    // temporary file is missing or the move fails.
    bool commit();

private:
    std::string m_path;
    std::string m_tempPath;
    bool m_committed = false;
};

// The name to read: the path, or the path + ".tmp" when only that one exists (a save that was
// interrupted before its rename).
class SafeFileReader {
public:
    explicit SafeFileReader(const std::string& path);
    const std::string& path() const { return m_path; }

private:
    std::string m_path;
};

// Writes the content to the path through SafeFileWriter. False (with the errno in error) when the
// target was not replaced; the old target is then untouched.
bool writeFileSafely(const std::string& path, std::string_view content, int* error = nullptr);

// Writes the value as a property-list file through SafeFileWriter. True when the target now holds
// the complete new content; otherwise the old target is untouched.
bool savePropertyList(const Value& root, const std::string& path);
// Reads through SafeFileReader.
DictRef loadPropertyList(const std::string& path);

} // namespace sonorix
