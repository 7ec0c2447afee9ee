#include "foundation/Localization.h"

#include "foundation/Text.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace sonorix {

namespace {

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && isBlank(s.front())) {
        s.remove_prefix(1);
    }
    while (!s.empty() && isBlank(s.back())) {
        s.remove_suffix(1);
    }
    return s;
}

// Keeps valid UTF-8 as it is and replaces each undecodable byte by U+FFFD, so that a damaged
// table cannot make a later conversion to UTF-16 fail.
std::string validUtf8(std::string_view in) {
    std::string out;
    out.reserve(in.size());
    std::size_t i = 0;
    while (i < in.size()) {
        auto b = static_cast<unsigned char>(in[i]);
        std::size_t len = b < 0x80           ? 1
                          : (b >> 5) == 0x6  ? 2
                          : (b >> 4) == 0xE  ? 3
                          : (b >> 3) == 0x1E ? 4
                                             : 0;
        bool ok = len > 0 && i + len <= in.size();
        std::uint32_t cp = len == 1   ? b
                           : len == 2 ? (b & 0x1F)
                           : len == 3 ? (b & 0x0F)
                                      : (b & 0x07);
        for (std::size_t k = 1; ok && k < len; ++k) {
            auto c = static_cast<unsigned char>(in[i + k]);
            ok = (c & 0xC0) == 0x80;
            cp = (cp << 6) | (c & 0x3F);
        }
        if (ok) {
            static const std::uint32_t minimum[] = {0, 0, 0x80, 0x800, 0x10000};
            ok = cp >= minimum[len] && cp <= 0x10FFFF && !(cp >= 0xD800 && cp <= 0xDFFF);
        }
        if (ok) {
            out.append(in.substr(i, len));
            i += len;
        } else {
            out += "\xEF\xBF\xBD";
            ++i;
        }
    }
    return out;
}

void replaceAll(std::string& s, std::string_view from, std::string_view to) {
    for (std::size_t pos = s.find(from); pos != std::string::npos;
         pos = s.find(from, pos + to.size())) {
        s.replace(pos, from.size(), to);
    }
}

bool endsWith(std::string_view s, std::string_view end) {
    return s.size() >= end.size() && s.substr(s.size() - end.size()) == end;
}

constexpr std::string_view kSeparator = "\" = \"";

struct FolderInfo {
    const char* folder;
    bool smallFont;
};

// Load order; the first is the fallback language.
constexpr FolderInfo kFolders[] = {
    {"English.lproj", false}, {"German.lproj", false}, {"Japanese.lproj", true},
    {"zh_cn.lproj", true},    {"Dutch.lproj", false},  {"French.lproj", false},
};

} // namespace

StringTable parseStringsTable(std::string_view utf8) {
    StringTable table;
    std::string entry;
    bool collecting = false;
    bool hasSeparator = false; // past position 0
    std::size_t searched = 0;  // the separator is not in entry[0, searched)
    while (!utf8.empty()) {
        std::size_t end = utf8.find('\n');
        std::string_view raw = utf8.substr(0, end);
        utf8.remove_prefix(end == std::string_view::npos ? utf8.size() : end + 1);

        std::string line = validUtf8(trim(raw));
        if (collecting) {
            entry += '\n';
            entry += line;
        } else {
            entry = std::move(line);
            collecting = true;
            hasSeparator = false;
            searched = 0;
        }
        // Search only the new text (and the few characters before it), so that a long run of
        // lines that never complete an entry costs linear time.
        if (!hasSeparator) {
            hasSeparator =
                entry.find(kSeparator, std::max<std::size_t>(searched, 1)) != std::string::npos;
            searched = entry.size() >= kSeparator.size() ? entry.size() - kSeparator.size() + 1 : 0;
        }
        if (!hasSeparator || !endsWith(entry, "\";")) {
            continue;
        }
        collecting = false;
        replaceAll(entry, "\\n", "\n");
        std::size_t split = entry.find(kSeparator);
        std::size_t open = entry.find('"');
        if (split == std::string::npos || open >= split) {
            continue; // no opening quote before the separator: not an entry
        }
        std::size_t valueStart = split + kSeparator.size();
        std::size_t close = entry.rfind('"');
        if (close < valueStart) {
            continue;
        }
        table.insert_or_assign(entry.substr(open + 1, split - open - 1),
                               entry.substr(valueStart, close - valueStart));
    }
    return table;
}

const std::vector<std::string>& Localization::tableNames() {
    static const std::vector<std::string> names = {
        kLocalizable,
        kMenuLocalizable,
        kPreferencesLocalizable,
        kQuickStartGuideLocalizable,
        kVersionCheckLocalizable,
        kWindowLocalizable,
        kWin32Localizable,
    };
    return names;
}

const std::vector<std::string>& Localization::languageFolders() {
    static const std::vector<std::string> folders = [] {
        std::vector<std::string> list;
        for (const auto& f : kFolders) {
            list.emplace_back(f.folder);
        }
        return list;
    }();
    return folders;
}

Localization::Localization(std::shared_ptr<ResourceArchive> archive)
    : m_archive(std::move(archive)) {}

Localization& Localization::shared() {
    static Localization* instance = [] {
        auto* l = new Localization(ResourceArchive::embedded()); // lives until the process ends
        l->loadLanguages();
        l->chooseLanguage();
        return l;
    }();
    return *instance;
}

void Localization::loadLanguages() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_languages.clear();
    m_languages.reserve(std::size(kFolders)); // pointers into the list stay valid
    m_current = m_fallback = nullptr;
    for (const auto& info : kFolders) {
        Language language;
        language.folder = info.folder;
        language.smallFont = info.smallFont;
        bool any = false;
        for (const auto& table : tableNames()) {
            std::string name = std::string(info.folder) + "/" + table;
            any = any || m_archive->contains(name);
            auto bytes = m_archive->entry(name);
            language.tables[table] =
                parseStringsTable({reinterpret_cast<const char*>(bytes.data()), bytes.size()});
        }
        if (!any) {
            continue; // the archive has no such folder
        }
        auto lookup = [&](const char* table, const char* key) -> std::string {
            auto& t = language.tables[table];
            auto it = t.find(key);
            return it == t.end() ? std::string() : it->second;
        };
        language.code = lookup(kLocalizable, "MyLanguage");
        language.displayName = lookup(kWin32Localizable, "|UILanguage");
        if (language.displayName.empty()) {
            language.displayName = std::string(info.folder, std::strlen(info.folder) - 6);
        }
        m_languages.push_back(std::move(language));
    }
    if (!m_languages.empty() && m_languages.front().folder == kFolders[0].folder) {
        m_fallback = &m_languages.front();
    }
    m_current = m_fallback;
}

std::string Localization::environmentLocale() {
    for (const char* name : {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* value = std::getenv(name);
        if (!value || !*value) {
            continue;
        }
        std::string_view v(value);
        if (std::strcmp(name, "LANGUAGE") == 0) {
            v = v.substr(0, v.find(':')); // a priority list; its first entry is the wish
            if (v.empty()) {
                continue;
            }
        }
        return std::string(v);
    }
    return {};
}

std::string Localization::folderForLocale(std::string_view locale) {
    std::string primary = asciiLower(locale.substr(0, locale.find_first_of("_.@-")));
    if (primary == "zh") {
        return "zh_cn.lproj";
    }
    if (primary == "de") {
        return "German.lproj";
    }
    if (primary == "fr") {
        return "French.lproj";
    }
    if (primary == "ja") {
        return "Japanese.lproj";
    }
    if (primary == "nl") {
        return "Dutch.lproj";
    }
    return "English.lproj";
}

const Localization::Language* Localization::byFolder(std::string_view folder) const {
    for (const auto& l : m_languages) {
        if (asciiLower(l.folder) == asciiLower(folder)) {
            return &l;
        }
    }
    return nullptr;
}

void Localization::chooseLanguage(const std::string& displayName) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const Language* chosen = byFolder(folderForLocale(environmentLocale()));
        m_current = chosen ? chosen : m_fallback;
    }
    if (!displayName.empty()) {
        setLanguage(displayName);
    }
}

bool Localization::setLanguage(const std::string& displayName) {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const auto& l : m_languages) {
        if (l.displayName == displayName) {
            m_current = &l;
            return true;
        }
    }
    return false;
}

std::string Localization::languageNamed(std::string_view name) const {
    for (const auto& l : m_languages) {
        if (asciiLower(l.displayName) == asciiLower(name)) {
            return l.displayName;
        }
    }
    // A locale code as well ("de", "zh_CN"); anything unknown maps to English, so only "en" may.
    const std::string folder = folderForLocale(name);
    const bool english = asciiLower(name.substr(0, name.find_first_of("_.@-"))) == "en";
    if (folder != "English.lproj" || english) {
        if (const Language* l = byFolder(folder)) {
            return l->displayName;
        }
    }
    return {};
}

const std::string* Localization::find(const Language& language, std::string_view key,
                                      std::string_view table, std::string_view secondTable) const {
    auto inTable = [&](std::string_view name) -> const std::string* {
        auto t = language.tables.find(name);
        if (t == language.tables.end()) {
            return nullptr;
        }
        auto it = t->second.find(key);
        return it == t->second.end() ? nullptr : &it->second;
    };
    if (!table.empty()) {
        if (const auto* found = inTable(table)) {
            return found;
        }
        return secondTable.empty() ? nullptr : inTable(secondTable);
    }
    // The tables are ordered by name; the last one that has the key wins.
    for (auto t = language.tables.rbegin(); t != language.tables.rend(); ++t) {
        if (t->first == kMenuLocalizable) {
            continue;
        }
        if (auto it = t->second.find(key); it != t->second.end()) {
            return &it->second;
        }
    }
    return nullptr;
}

const std::string* Localization::findIn(const Language* current, std::string_view key,
                                        std::string_view table,
                                        std::string_view secondTable) const {
    if (current) {
        if (const auto* found = find(*current, key, table, secondTable)) {
            return found;
        }
    }
    if (m_fallback && m_fallback != current) {
        return find(*m_fallback, key, table, secondTable);
    }
    return nullptr;
}

std::string Localization::localizedString(std::string_view key, std::string_view table,
                                          std::string_view secondTable) const {
    if (key.empty()) {
        return {};
    }
    const Language* current;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        current = m_current;
    }
    if (const auto* found = findIn(current, key, table, secondTable)) {
        return *found;
    }
    if (key.front() == '|') {
        std::string_view plain = key.substr(1);
        if (const auto* found = findIn(current, plain, {}, {})) {
            return *found;
        }
        // A window text that no table knows is shown as written, not with the "|".
        return std::string(plain);
    }
    return std::string(key);
}

std::u16string Localization::localizedString(std::u16string_view key) const {
    return toUtf16(localizedString(toUtf8(key)));
}

std::string Localization::windowText(std::string_view englishText) const {
    return localizedString("|" + std::string(englishText));
}

std::string Localization::menuText(std::string_view englishText, bool useWindowTable) const {
    return localizedString("|" + std::string(englishText),
                           useWindowTable ? kWindowLocalizable : kMenuLocalizable,
                           kWin32Localizable);
}

ResourceArchive::Bytes Localization::resourceData(std::string_view name) const {
    return m_archive->entry(name);
}

std::string Localization::folderPrefix(std::string_view folder) const {
    return std::string(folder) + "/";
}

ResourceArchive::Bytes Localization::localizedResourceData(std::string_view name) const {
    std::string folder;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_current) {
            return {};
        }
        folder = m_current->folder;
    }
    return m_archive->entry(folderPrefix(folder) + std::string(name));
}

ResourceArchive::Bytes Localization::imageData(std::string_view name) const {
    bool localized = !name.empty() && name.front() == '|';
    std::string entry(localized ? name.substr(1) : name);
    std::string lower = asciiLower(entry);
    if (!endsWith(lower, ".tiff") && !endsWith(lower, ".tif")) {
        entry += ".png";
    }
    return localized ? localizedResourceData(entry) : resourceData(entry);
}

bool Localization::smallFont() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_current && m_current->smallFont;
}

std::string Localization::currentLanguageCode() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_current ? m_current->code : std::string();
}

std::string Localization::currentLanguageName() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_current ? m_current->displayName : std::string();
}

std::vector<std::string> Localization::languageNames() const {
    std::vector<std::string> names;
    for (const auto& l : m_languages) {
        names.push_back(l.displayName);
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string localizedString(std::string_view key, std::string_view table,
                            std::string_view secondTable) {
    return Localization::shared().localizedString(key, table, secondTable);
}

std::string formatString(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    int n = std::vsnprintf(nullptr, 0, format, args);
    std::string out(n > 0 ? static_cast<std::size_t>(n) : 0, '\0');
    if (n > 0) {
        std::vsnprintf(out.data(), out.size() + 1, format, again);
    }
#pragma GCC diagnostic pop
    va_end(again);
    va_end(args);
    return out;
}

// ---- files for consumers that need a path ----

namespace {

bool isPrivateFolder(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == geteuid() &&
           (st.st_mode & 077) == 0;
}

// A folder made with mkdtemp is ours alone: it and what we wrote into it go at exit.
struct MadeFolder {
    std::string path;
    ~MadeFolder() {
        if (path.empty()) {
            return;
        }
        if (DIR* dir = opendir(path.c_str())) {
            while (dirent* e = readdir(dir)) {
                if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) {
                    unlinkat(dirfd(dir), e->d_name, 0);
                }
            }
            closedir(dir);
        }
        rmdir(path.c_str());
    }
};

std::string makePrivateFolder() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && runtime[0] == '/') {
        std::string folder = std::string(runtime) + "/sonorix";
        if (mkdir(folder.c_str(), 0700) == 0 || errno == EEXIST) {
            if (isPrivateFolder(folder)) {
                return folder;
            }
        }
    }
    const char* tmp = std::getenv("TMPDIR");
    std::string base = tmp && tmp[0] == '/' ? tmp : "/tmp";
    std::string templ = base + "/sonorix-XXXXXX";
    if (mkdtemp(templ.data())) { // mode 0700, a name nobody else can have taken
        static MadeFolder made;
        made.path = templ;
        return templ;
    }
    return {};
}

} // namespace

std::string privateTemporaryFolder() {
    static const std::string folder = makePrivateFolder();
    return folder;
}

std::string Localization::resourceFile(std::string_view name) const {
    if (!m_archive->contains(name)) {
        return {};
    }
    auto bytes = m_archive->entry(name);
    std::string folder = privateTemporaryFolder();
    if (folder.empty()) {
        return {};
    }
    std::string fileName(name);
    std::replace(fileName.begin(), fileName.end(), '/', '_');
    std::string path = folder + "/" + fileName;

    // Written under a fresh name (mkstemp opens with O_EXCL) and renamed into place: a reader
    // never sees a partial file, and a planted link at the final name is replaced, not followed.
    std::string temp = path + ".XXXXXX";
    int fd = mkstemp(temp.data());
    if (fd < 0) {
        return {};
    }
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    bool ok = close(fd) == 0 && done == bytes.size();
    if (!ok || rename(temp.c_str(), path.c_str()) != 0) {
        unlink(temp.c_str());
        return {};
    }
    return path;
}

} // namespace sonorix
