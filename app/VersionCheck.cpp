#include "app/VersionCheck.h"

#include "foundation/Log.h"
#include "foundation/PropertyList.h"
#include "foundation/Text.h"
#include "foundation/Value.h"

namespace sonorix {
namespace {

// Reads one component (up to and including the next '.') and returns its leading number.
long long nextComponent(std::string_view& text) {
    long long value = 0;
    bool digits = true;
    while (!text.empty()) {
        const char c = text.front();
        text.remove_prefix(1);
        if (c == '.') {
            break;
        }
        if (digits && c >= '0' && c <= '9') {
            // Capped: a run of digits longer than any version must not overflow.
            value = std::min(value * 10 + (c - '0'), 1'000'000'000'000LL);
        } else {
            digits = false;
        }
    }
    return value;
}

ValueRef entry(const Value_dict& dict, std::u16string_view key) {
    const DictItems* items = dict.dictItems();
    auto found = items->find(key);
    return found == items->end() ? nullptr : found->second;
}

std::string textEntry(const Value_dict& dict, std::u16string_view key) {
    auto value = entry(dict, key);
    if (!value || value->type() != Value::kString) {
        return {};
    }
    try {
        return toUtf8(value->toString());
    } catch (const std::exception&) {
        return {};
    }
}

} // namespace

int compareVersions(std::string_view a, std::string_view b) {
    while (!a.empty() || !b.empty()) {
        const long long difference = nextComponent(a) - nextComponent(b);
        if (difference != 0) {
            return difference < 0 ? -1 : 1;
        }
    }
    return 0;
}

std::shared_ptr<VersionCheck> VersionCheck::create(VersionCheckDelegate* delegate,
                                                   Settings settings) {
    return std::shared_ptr<VersionCheck>(new VersionCheck(delegate, std::move(settings)));
}

VersionCheck::VersionCheck(VersionCheckDelegate* delegate, Settings settings)
    : m_delegate(delegate), m_settings(std::move(settings)) {}

void VersionCheck::start() {
    download(m_settings.url, &VersionCheck::versionFileArrived);
}

void VersionCheck::cancel() {
    m_delegate = nullptr;
    if (auto running = std::move(m_download)) {
        running->cancel();
    }
}

void VersionCheck::download(const std::string& url,
                            void (VersionCheck::*arrived)(const UrlDownloadResult&)) {
    std::weak_ptr<VersionCheck> weak = shared_from_this();
    m_download = UrlDownload::start(url, m_settings.limits,
                                    [weak, arrived](const UrlDownloadResult& result) {
                                        if (auto self = weak.lock()) {
                                            (self.get()->*arrived)(result);
                                        }
                                    });
}

void VersionCheck::versionFileArrived(const UrlDownloadResult& result) {
    if (!result.success) {
        writeLog("Version check: %s: %s", m_settings.url.c_str(), result.error.c_str());
    } else {
        DictRef root = readPropertyList(result.body.data(), result.body.size());
        // Without the latest version the file says nothing; taking it as "up to date" would
        // report a broken server as good news.
        if (root && !textEntry(*root, u"LatestVersion").empty()) {
            m_versionFile = root;
        } else {
            writeLog("Version check: %s: not a version file", m_settings.url.c_str());
        }
    }
    fetchNextReleaseNote();
}

void VersionCheck::fetchNextReleaseNote() {
    std::string address;
    if (m_versionFile) {
        ++m_noteIndex;
        auto notes = asArray(entry(*m_versionFile, u"ReleaseNotes"));
        const ArrayItems* items = notes ? notes->arrayItems() : nullptr;
        if (items && m_noteIndex >= 0 && static_cast<size_t>(m_noteIndex) < items->size()) {
            if (auto note = asDict((*items)[m_noteIndex])) {
                if (compareVersions(textEntry(*note, u"Version"), m_settings.appVersion) > 0) {
                    address = addressFor(*note);
                }
            }
        }
    }
    if (address.empty()) {
        finish();
        return;
    }
    download(address, &VersionCheck::releaseNoteArrived);
}

void VersionCheck::releaseNoteArrived(const UrlDownloadResult& result) {
    if (!result.success) {
        writeLog("Version check: release note: %s", result.error.c_str());
    } else if (result.body.size() > 10 && result.body.compare(0, 5, "{\\rtf") == 0) {
        m_releaseNotes.push_back(result.body);
    } else {
        writeLog("Version check: release note %d is not RTF", m_noteIndex);
    }
    fetchNextReleaseNote();
}

void VersionCheck::finish() {
    m_download.reset();
    m_finished = true;
    if (auto* delegate = m_delegate) {
        m_delegate = nullptr;
        delegate->versionCheckFinished(shared_from_this());
    }
}

std::string VersionCheck::latestVersion() const {
    return m_versionFile ? textEntry(*m_versionFile, u"LatestVersion") : std::string();
}

bool VersionCheck::isUpdateAvailable() const {
    const std::string latest = latestVersion();
    return m_versionFile && compareVersions(latest, m_settings.appVersion) > 0 &&
           (m_settings.interactive || compareVersions(latest, m_settings.ignoredVersion) != 0);
}

std::string VersionCheck::addressFor(const Value_dict& addresses) const {
    std::string address = textEntry(addresses, toUtf16(m_settings.languageCode));
    return address.empty() ? textEntry(addresses, u"en") : address;
}

std::string VersionCheck::downloadPageURL() const {
    if (!m_versionFile) {
        return {};
    }
    auto pages = asDict(entry(*m_versionFile, u"LatestDownloadPageURL"));
    return pages ? addressFor(*pages) : std::string();
}

} // namespace sonorix
