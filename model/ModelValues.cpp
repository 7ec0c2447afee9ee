#include "model/ModelValues.h"

#include <cerrno>

#include "foundation/DateTimePoint.h"
#include "foundation/PropertyList.h"
#include "foundation/Value.h"
#include "model/ModelLock.h"

#include <algorithm>

namespace sonorix::mv {

DictPtr newDict() {
    return makeDict();
}

ArrayPtr newArray() {
    return makeArray();
}

bool has(const Value_dict& dict, std::string_view key) {
    return dict.get(key) != nullptr;
}

std::u16string getText(const Value_dict& dict, std::string_view key) {
    return dict.getString(key);
}

int16_t getInt16(const Value_dict& dict, std::string_view key, int16_t fallback) {
    return dict.getInt16(key, fallback);
}

int32_t getInt32(const Value_dict& dict, std::string_view key, int32_t fallback) {
    return dict.getInt32(key, fallback);
}

int64_t getInt64(const Value_dict& dict, std::string_view key, int64_t fallback) {
    return dict.getInt64(key, fallback);
}

bool getBool(const Value_dict& dict, std::string_view key, bool fallback) {
    return dict.getBool(key, fallback);
}

double getDouble(const Value_dict& dict, std::string_view key, double fallback) {
    return dict.getDouble(key, fallback);
}

DatePtr getDate(const Value_dict& dict, std::string_view key) {
    return dict.getDate(key);
}

bool getBytes(const Value_dict& dict, std::string_view key, std::string& bytes) {
    ValueRef value = dict.get(key);
    if (!value || value->type() != Value::kData) {
        return false;
    }
    int32_t length = 0;
    const uint8_t* data = value->bytes(length);
    bytes.assign(reinterpret_cast<const char*>(data), data ? static_cast<size_t>(length) : 0);
    return true;
}

DictPtr getDict(const Value_dict& dict, std::string_view key) {
    return sonorix::asDict(dict.get(key));
}

ArrayPtr getArray(const Value_dict& dict, std::string_view key) {
    return sonorix::asArray(dict.get(key));
}

DictPtr ensureDict(Value_dict& dict, std::string_view key) {
    DictPtr found = getDict(dict, key);
    if (!found) {
        found = makeDict();
        dict.set(key, found);
    }
    return found;
}

ArrayPtr ensureArray(Value_dict& dict, std::string_view key) {
    ArrayPtr found = getArray(dict, key);
    if (!found) {
        found = makeArray();
        dict.set(key, found);
    }
    return found;
}

void setText(Value_dict& dict, std::string_view key, const std::u16string& value) {
    dict.set(key, makeString(value));
}

void setInt32(Value_dict& dict, std::string_view key, int32_t value) {
    dict.set(key, makeInt32(value));
}

void setInt64(Value_dict& dict, std::string_view key, int64_t value) {
    dict.set(key, makeInt64(value));
}

void setBool(Value_dict& dict, std::string_view key, bool value) {
    dict.set(key, makeBool(value));
}

void setDouble(Value_dict& dict, std::string_view key, double value) {
    dict.set(key, makeDouble(value));
}

void setDate(Value_dict& dict, std::string_view key, const DatePtr& date) {
    if (date) {
        dict.set(key, makeDate(date));
    } else {
        dict.remove(key);
    }
}

void setBytes(Value_dict& dict, std::string_view key, const void* bytes, size_t length) {
    dict.set(key, makeData(static_cast<const uint8_t*>(bytes), static_cast<int32_t>(length)));
}

void setValue(Value_dict& dict, std::string_view key, const ValuePtr& value) {
    dict.set(key, value);
}

void setValue(Value_dict& dict, const std::u16string& key, const ValuePtr& value) {
    dict.set(std::u16string_view(key), value);
}

void remove(Value_dict& dict, std::string_view key) {
    dict.remove(key);
}

ValuePtr get(const Value_dict& dict, const std::u16string& key) {
    return dict.get(std::u16string_view(key));
}

DictPtr asDict(const ValuePtr& value) {
    return sonorix::asDict(value);
}

ArrayPtr asArray(const ValuePtr& value) {
    return sonorix::asArray(value);
}

size_t count(const Value_array& array) {
    return array.count();
}

std::vector<ValuePtr> items(const Value_array& array) {
    return *array.arrayItems();
}

int64_t toInt64(const ValuePtr& value) {
    return value ? value->toInt64() : 0;
}

std::u16string toText(const ValuePtr& value) {
    return value ? value->toString() : std::u16string();
}

void append(Value_array& array, const ValuePtr& value) {
    array.append(value);
}

void appendInt64(Value_array& array, int64_t value) {
    array.append(makeInt64(value));
}

void insertAt(Value_array& array, size_t position, const ValuePtr& value) {
    if (!value) {
        return;
    }
    auto& items = array.items();
    items.insert(items.begin() + static_cast<std::ptrdiff_t>(std::min(position, items.size())),
                 value);
}

void removeAt(Value_array& array, size_t position) {
    auto& items = array.items();
    if (position < items.size()) {
        items.erase(items.begin() + static_cast<std::ptrdiff_t>(position));
    }
}

bool removeInt64(Value_array& array, int64_t value) {
    auto& items = array.items();
    const size_t before = items.size();
    items.erase(std::remove_if(items.begin(), items.end(),
                               [&](const ValueRef& item) {
                                   return item && item->type() == Value::kInteger &&
                                          item->toInt64() == value;
                               }),
                items.end());
    return items.size() != before;
}

DatePtr now(bool withSubSeconds) {
    return std::make_shared<DateTimePoint>(DateTimePoint::now(withSubSeconds));
}

bool isLater(const DatePtr& a, const DatePtr& b) {
    return a && b && *a > *b;
}

std::string utcStamp() {
    return DateTimePoint::now(false).format("%Y%m%dT%H%M%SZ");
}

DictPtr readPlist(const std::string& path, std::string& readPath) {
    readPath = SafeFileReader(path).path();
    return readPropertyList(readPath);
}

bool writePlist(const Value_dict& root, const std::string& path,
                const std::shared_ptr<RecursiveLock>& lock, int* error) {
    SafeFileWriter writer(path);
    bool written = false;
    {
        ModelLocker hold(lock);
        written = root.writeXMLFile(writer.tempPath());
    }
    const bool ok = written && writer.commit();
    if (!ok && error) {
        // Taken before the writer's clean-up can overwrite it.
        *error = errno ? errno : EIO;
    }
    return ok;
}

} // namespace sonorix::mv
