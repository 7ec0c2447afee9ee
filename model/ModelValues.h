#pragma once

// The model's narrow window onto the property-list values: typed reads with defaults, typed
// stores, and array access. Keeps the stored-form rules (absent key = default, data of the
// wrong length = absent) in one place.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace sonorix {

class Value;
class Value_dict;
class Value_array;
struct DateTimePoint;
class RecursiveLock;

namespace mv {

using ValuePtr = std::shared_ptr<Value>;
using DictPtr = std::shared_ptr<Value_dict>;
using ArrayPtr = std::shared_ptr<Value_array>;
using DatePtr = std::shared_ptr<DateTimePoint>;

DictPtr newDict();
ArrayPtr newArray();

bool has(const Value_dict& dict, std::string_view key);
std::u16string getText(const Value_dict& dict, std::string_view key);
int16_t getInt16(const Value_dict& dict, std::string_view key, int16_t fallback);
int32_t getInt32(const Value_dict& dict, std::string_view key, int32_t fallback);
int64_t getInt64(const Value_dict& dict, std::string_view key, int64_t fallback);
bool getBool(const Value_dict& dict, std::string_view key, bool fallback);
double getDouble(const Value_dict& dict, std::string_view key, double fallback);
DatePtr getDate(const Value_dict& dict, std::string_view key);
// The bytes of a data value; false when absent or not data.
bool getBytes(const Value_dict& dict, std::string_view key, std::string& bytes);
// The dictionary or array under a key; empty when absent or of another kind.
DictPtr getDict(const Value_dict& dict, std::string_view key);
ArrayPtr getArray(const Value_dict& dict, std::string_view key);
// Likewise, but a missing or mistyped entry is replaced by a new empty one.
DictPtr ensureDict(Value_dict& dict, std::string_view key);
ArrayPtr ensureArray(Value_dict& dict, std::string_view key);

void setText(Value_dict& dict, std::string_view key, const std::u16string& value);
void setInt32(Value_dict& dict, std::string_view key, int32_t value);
void setInt64(Value_dict& dict, std::string_view key, int64_t value);
void setBool(Value_dict& dict, std::string_view key, bool value);
void setDouble(Value_dict& dict, std::string_view key, double value);
void setDate(Value_dict& dict, std::string_view key, const DatePtr& date);
void setBytes(Value_dict& dict, std::string_view key, const void* bytes, size_t length);
void setValue(Value_dict& dict, std::string_view key, const ValuePtr& value);
void setValue(Value_dict& dict, const std::u16string& key, const ValuePtr& value);
void remove(Value_dict& dict, std::string_view key);

// Dictionary entries by UTF-16 key (status keys are built as text).
ValuePtr get(const Value_dict& dict, const std::u16string& key);
DictPtr asDict(const ValuePtr& value);
ArrayPtr asArray(const ValuePtr& value);

size_t count(const Value_array& array);
std::vector<ValuePtr> items(const Value_array& array);
int64_t toInt64(const ValuePtr& value);
std::u16string toText(const ValuePtr& value);
void append(Value_array& array, const ValuePtr& value);
void appendInt64(Value_array& array, int64_t value);
// Inserts at a position (clamped to the end) / removes the element at a position.
void insertAt(Value_array& array, size_t position, const ValuePtr& value);
void removeAt(Value_array& array, size_t position);
// Removes every integer element equal to value; true when any was removed.
bool removeInt64(Value_array& array, int64_t value);

DatePtr now(bool withSubSeconds);
// "%Y%m%dT%H%M%SZ" of the current UTC time (file name stamps).
std::string utcStamp();

// Reads a property-list file, falling back to its ".tmp" left by an interrupted save. readPath
// receives the file that was tried (empty when neither exists). Empty when there is no root.
DictPtr readPlist(const std::string& path, std::string& readPath);
// Writes the root to the file's temporary name while holding lock (may be null), then replaces
// the file. False when anything failed; the old file then stays, and *error (when given) holds
// the errno of the failure.
bool writePlist(const Value_dict& root, const std::string& path,
                const std::shared_ptr<RecursiveLock>& lock, int* error = nullptr);
// Seconds, then nanoseconds; equal points are not later. Empty points are never later.
bool isLater(const DatePtr& a, const DatePtr& b);

} // namespace mv
} // namespace sonorix
