#pragma once

#include "foundation/Value.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
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

namespace detail {
struct InPlaceSource;
struct LazyDictAccess;
} // namespace detail

// A dictionary of a property-list file kept as the file's bytes: a value is built from its text
// each time it is asked for, by the rules of the whole-document reader (of two entries with one
// key the later counts, unless its value cannot be built). A dictionary whose layout the in-place
// index does not cover is held built instead; callers see no difference. Copies share the bytes,
// and any number of threads may read at once.
class LazyDict {
public:
    LazyDict() = default;    // no dictionary
    LazyDict(DictRef built); // NOLINT: a built dictionary serves wherever a lazy one does
    LazyDict(std::shared_ptr<const detail::InPlaceSource> source, uint32_t first, uint32_t count);

    explicit operator bool() const { return m_built || m_source; }
    // True when the values are read from the file's bytes (tests).
    bool inPlace() const { return m_source != nullptr; }

    // The accessors of Value_dict, with the same defaults and conversions.
    ValueRef get(std::u16string_view key) const;
    ValueRef get(std::string_view key) const;
    std::u16string getString(std::u16string_view key) const;
    // getString in UTF-8; throws TextConversionError where toUtf8 would.
    std::string getUtf8String(std::u16string_view key) const;
    // !getString(key).empty(), without making the text.
    bool hasText(std::u16string_view key) const;
    int16_t getInt16(std::u16string_view key, int16_t fallback = 0) const;
    int32_t getInt32(std::u16string_view key, int32_t fallback = 0) const;
    int64_t getInt64(std::u16string_view key, int64_t fallback = 0) const;
    bool getBool(std::u16string_view key, bool fallback = false) const;
    double getDouble(std::u16string_view key, double fallback = 0.0) const;
    std::shared_ptr<DateTimePoint> getDate(std::u16string_view key) const;
    uint64_t getHexId(std::u16string_view key) const;

    // Every entry built: what the whole-document reader gives for this dictionary. Empty for
    // no dictionary.
    DictRef toDict() const;

private:
    friend struct detail::LazyDictAccess;
    std::shared_ptr<const detail::InPlaceSource> m_source;
    DictRef m_built;
    uint32_t m_first = 0;
    uint32_t m_count = 0;
};

// Children of one dictionary, in key order; a child that is not a dictionary is an empty LazyDict.
using LazyDicts = std::map<std::u16string, LazyDict, std::less<>>;

// readPropertyList, except that the dictionaries in the root's dictionary under key stay in the
// file's bytes until read: they come back in entries, and the root lacks key. entries is left
// empty when the root has no dictionary under key. The bytes stay in memory while any of the
// entries lives.
DictRef readPropertyListLazily(const std::string& path, std::u16string_view key,
                               LazyDicts& entries);
DictRef readPropertyListLazily(const void* bytes, size_t length, std::u16string_view key,
                               LazyDicts& entries);

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
