#include "model/SonorixStatus.h"

#include "foundation/CrashJournal.h"
#include "foundation/Text.h"
#include "foundation/Value.h"
#include "model/ModelLock.h"
#include "model/ModelText.h"
#include "model/ModelValues.h"
#include "model/TrackAccess.h"

namespace sonorix {

namespace {

constexpr const char* kGain = "gain";
constexpr const char* kPeak = "peak";
constexpr const char* kAnalyzeDate = "analyzeDate";
constexpr const char* kError = "error";
constexpr const char* kFileError = "fileError";
constexpr const char* kAnalyzeError = "analyzeError";
constexpr const char* kTag = "iTunNORMTag";
constexpr const char* kTagDate = "iTunNORMTagDate";
constexpr const char* kTagHint = "iTunNORMTagHint";
constexpr const char* kStampedFile = "commentStampFile";
constexpr const char* kBackup = "iTunNORMBackup";
constexpr const char* kManual = "ManualAdjustment";
constexpr const char* kManualDate = "ManualAdjustmentDate";
constexpr const char* kUnsafeStamp = "UnsafeFileStamp";
constexpr const char* kLimitedByPeak = "LimitedByPeak";
constexpr const char* kBackupAbsent = "iTunNORMBackupAbsent";

constexpr size_t kSoundCheckBytes = 40;

// Ten values as 40 big-endian bytes; any other length counts as absent.
bool readValues(const Value_dict& entry, const char* key, SoundCheckValues& values) {
    std::string bytes;
    if (!mv::getBytes(entry, key, bytes) || bytes.size() != kSoundCheckBytes) {
        return false;
    }
    for (size_t i = 0; i < values.size(); ++i) {
        auto* p = reinterpret_cast<const unsigned char*>(bytes.data()) + 4 * i;
        uint32_t v = (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
        values[i] = v;
    }
    return true;
}

void writeValues(Value_dict& entry, const char* key, const SoundCheckValues& values) {
    unsigned char bytes[kSoundCheckBytes];
    for (size_t i = 0; i < values.size(); ++i) {
        uint32_t v = values[i];
        bytes[4 * i] = static_cast<unsigned char>(v >> 24);
        bytes[4 * i + 1] = static_cast<unsigned char>(v >> 16);
        bytes[4 * i + 2] = static_cast<unsigned char>(v >> 8);
        bytes[4 * i + 3] = static_cast<unsigned char>(v);
    }
    mv::setBytes(entry, key, bytes, sizeof bytes);
}

} // namespace

SonorixStatus::SonorixStatus(std::shared_ptr<Value_dict> entry,
                             std::shared_ptr<RecursiveLock> modelLock)
    : m_entry(std::move(entry)), m_modelLock(std::move(modelLock)) {
    if (!m_entry) {
        m_entry = mv::newDict();
    }
}

SonorixStatus::~SonorixStatus() = default;

void SonorixStatus::clearAnalysis() {
    ModelLocker lock(m_modelLock);
    mv::remove(*m_entry, kGain);
    mv::remove(*m_entry, kPeak);
    mv::remove(*m_entry, kAnalyzeDate);
}

void SonorixStatus::resetRuntime() {
    {
        ModelLocker lock(m_modelLock);
        m_state = kStateNone;
    }
    std::lock_guard<std::mutex> progress(m_progressLock);
    m_adjustedMarker = false;
    m_progressTotal = 0.0;
    m_progressDone = 0.0;
}

int16_t SonorixStatus::getError() const {
    ModelLocker lock(m_modelLock);
    return mv::getInt16(*m_entry, kError, 0);
}

void SonorixStatus::setError(int16_t error) {
    ModelLocker lock(m_modelLock);
    mv::setInt32(*m_entry, kError, error);
}

int16_t SonorixStatus::getFileError() const {
    ModelLocker lock(m_modelLock);
    return mv::getInt16(*m_entry, kFileError, 0);
}

void SonorixStatus::setFileError(int16_t error) {
    ModelLocker lock(m_modelLock);
    mv::setInt32(*m_entry, kFileError, error);
}

int16_t SonorixStatus::getAnalyzeError() const {
    ModelLocker lock(m_modelLock);
    return mv::getInt16(*m_entry, kAnalyzeError, 0);
}

void SonorixStatus::setAnalyzeError(int16_t error) {
    ModelLocker lock(m_modelLock);
    mv::setInt32(*m_entry, kAnalyzeError, error);
}

bool SonorixStatus::getGainAndPeak(double& gain, double& peak,
                                   std::shared_ptr<DateTimePoint>* date) const {
    ModelLocker lock(m_modelLock);
    if (date) {
        *date = mv::getDate(*m_entry, kAnalyzeDate);
    }
    if (!mv::has(*m_entry, kGain) || !mv::has(*m_entry, kPeak)) {
        return false;
    }
    gain = mv::getDouble(*m_entry, kGain, 0.0);
    peak = mv::getDouble(*m_entry, kPeak, 0.0);
    return true;
}

void SonorixStatus::setGainAndPeak(double gain, double peak,
                                   const std::shared_ptr<DateTimePoint>& date) {
    ModelLocker lock(m_modelLock);
    mv::setDouble(*m_entry, kGain, gain);
    mv::setDouble(*m_entry, kPeak, peak);
    mv::setDate(*m_entry, kAnalyzeDate, date);
}

void SonorixStatus::setAnalyzeDate(const std::shared_ptr<DateTimePoint>& date) {
    ModelLocker lock(m_modelLock);
    mv::setDate(*m_entry, kAnalyzeDate, date);
}

int32_t SonorixStatus::getState() const {
    ModelLocker lock(m_modelLock);
    return m_state;
}

void SonorixStatus::setState(int32_t state) {
    ModelLocker lock(m_modelLock);
    m_state = state;
}

bool SonorixStatus::getTag(SoundCheckValues& values, std::shared_ptr<DateTimePoint>* date) const {
    ModelLocker lock(m_modelLock);
    if (date) {
        *date = mv::getDate(*m_entry, kTagDate);
    }
    return readValues(*m_entry, kTag, values);
}

void SonorixStatus::setTag(const SoundCheckValues& values,
                           const std::shared_ptr<DateTimePoint>& date) {
    ModelLocker lock(m_modelLock);
    writeValues(*m_entry, kTag, values);
    mv::setDate(*m_entry, kTagDate, date);
}

void SonorixStatus::markTagAbsent(const std::shared_ptr<DateTimePoint>& date) {
    ModelLocker lock(m_modelLock);
    mv::remove(*m_entry, kTag);
    if (date) {
        mv::setDate(*m_entry, kTagDate, date);
    } else {
        mv::remove(*m_entry, kTagDate);
    }
}

std::string SonorixStatus::stampedFile() const {
    ModelLocker lock(m_modelLock);
    return toUtf8(mv::getText(*m_entry, kStampedFile));
}

void SonorixStatus::setStampedFile(const std::string& identity) {
    ModelLocker lock(m_modelLock);
    if (identity.empty()) {
        mv::remove(*m_entry, kStampedFile);
    } else {
        mv::setText(*m_entry, kStampedFile, toUtf16(identity));
    }
}

void SonorixStatus::markUnsafe(const std::string& fileStamp) {
    ModelLocker lock(m_modelLock);
    mv::setInt32(*m_entry, kError, kErrorFile);
    mv::setInt32(*m_entry, kFileError, kFileErrorUnsafe);
    mv::setText(*m_entry, kUnsafeStamp, toUtf16(fileStamp));
    m_state = kStateFailed;
}

bool SonorixStatus::knownUnsafe(const std::string& path) const {
    std::u16string stamp;
    {
        ModelLocker lock(m_modelLock);
        if (mv::getInt16(*m_entry, kError, 0) != kErrorFile ||
            mv::getInt16(*m_entry, kFileError, 0) != kFileErrorUnsafe) {
            return false;
        }
        stamp = mv::getText(*m_entry, kUnsafeStamp);
    }
    return !stamp.empty() && toUtf16(CrashJournal::fileStamp(path)) == stamp;
}

int64_t SonorixStatus::getTagHint() const {
    ModelLocker lock(m_modelLock);
    return mv::getInt64(*m_entry, kTagHint, 0);
}

int32_t SonorixStatus::tagReaderHint() const {
    const int64_t hint = getTagHint();
    return hint >= INT32_MIN && hint <= INT32_MAX ? static_cast<int32_t>(hint) : -1;
}

void SonorixStatus::setTagHint(int64_t hint) {
    ModelLocker lock(m_modelLock);
    mv::setInt64(*m_entry, kTagHint, hint);
}

bool SonorixStatus::backupAbsent() const {
    ModelLocker lock(m_modelLock);
    return mv::getBool(*m_entry, kBackupAbsent, false);
}

void SonorixStatus::setBackupAbsent() {
    ModelLocker lock(m_modelLock);
    mv::setBool(*m_entry, kBackupAbsent, true);
}

bool SonorixStatus::limitedByPeak() const {
    ModelLocker lock(m_modelLock);
    return mv::getBool(*m_entry, kLimitedByPeak, false);
}

void SonorixStatus::setLimitedByPeak(bool limited) {
    ModelLocker lock(m_modelLock);
    if (limited) {
        mv::setBool(*m_entry, kLimitedByPeak, true);
    } else {
        mv::remove(*m_entry, kLimitedByPeak);
    }
}

bool SonorixStatus::getBackup(SoundCheckValues& values) const {
    ModelLocker lock(m_modelLock);
    return readValues(*m_entry, kBackup, values);
}

void SonorixStatus::setBackup(const SoundCheckValues& values) {
    ModelLocker lock(m_modelLock);
    writeValues(*m_entry, kBackup, values);
}

bool SonorixStatus::getManualAdjustment(int32_t& value,
                                        std::shared_ptr<DateTimePoint>* date) const {
    ModelLocker lock(m_modelLock);
    if (date) {
        *date = mv::getDate(*m_entry, kManualDate);
    }
    if (!mv::has(*m_entry, kManual)) {
        return false;
    }
    value = mv::getInt32(*m_entry, kManual, 0);
    return true;
}

void SonorixStatus::setManualAdjustment(int32_t value, const std::shared_ptr<DateTimePoint>& date) {
    ModelLocker lock(m_modelLock);
    if (date) {
        mv::setInt32(*m_entry, kManual, value);
        mv::setDate(*m_entry, kManualDate, date);
    } else {
        mv::remove(*m_entry, kManual);
        mv::remove(*m_entry, kManualDate);
    }
}

void SonorixStatus::touchManualAdjustmentDate(const std::shared_ptr<DateTimePoint>& date) {
    ModelLocker lock(m_modelLock);
    if (date && mv::has(*m_entry, kManual)) {
        mv::setDate(*m_entry, kManualDate, date);
    }
}

bool SonorixStatus::applyManualAdjustment(iTunesTrack& track, int32_t value) {
    if (!ta::setVolumeAdjustment(track, value)) {
        return false;
    }
    setManualAdjustment(value, mv::now(true));
    return true;
}

bool SonorixStatus::refreshManualAdjustment(iTunesTrack& track, int32_t& value, bool& changed) {
    changed = false;
    std::shared_ptr<DateTimePoint> storedDate;
    int32_t stored = 0;
    bool present = getManualAdjustment(stored, &storedDate);
    auto modified = ta::dateModified(track);
    if (present && modified && mv::isLater(storedDate, modified)) {
        value = stored;
        return true;
    }
    int32_t fresh = 0;
    if (!ta::getVolumeAdjustment(track, fresh)) {
        return false;
    }
    setManualAdjustment(fresh, mv::now(true));
    value = fresh;
    changed = true;
    return true;
}

void SonorixStatus::addProcessing(int32_t count) {
    std::lock_guard<std::mutex> lock(m_progressLock);
    m_processing += count;
}

void SonorixStatus::addProgressTotal(double amount) {
    std::lock_guard<std::mutex> lock(m_progressLock);
    m_progressTotal += amount;
}

void SonorixStatus::addProgressDone(double amount) {
    std::lock_guard<std::mutex> lock(m_progressLock);
    m_progressDone += amount;
}

void SonorixStatus::resetProgress() {
    std::lock_guard<std::mutex> lock(m_progressLock);
    m_progressTotal = 0;
    m_progressDone = 0;
}

double SonorixStatus::progressDone() const {
    std::lock_guard<std::mutex> lock(m_progressLock);
    return m_progressDone;
}

int32_t SonorixStatus::processingCount() const {
    std::lock_guard<std::mutex> lock(m_progressLock);
    return m_processing;
}

bool SonorixStatus::isProcessing() const {
    std::lock_guard<std::mutex> lock(m_progressLock);
    return m_processing != 0;
}

double SonorixStatus::progress() const {
    std::lock_guard<std::mutex> lock(m_progressLock);
    return progressFraction(m_progressTotal, m_progressDone);
}

bool SonorixStatus::adjustedMarker() const {
    std::lock_guard<std::mutex> lock(m_progressLock);
    return m_adjustedMarker;
}

void SonorixStatus::setAdjustedMarker(bool marker) {
    std::lock_guard<std::mutex> lock(m_progressLock);
    m_adjustedMarker = marker;
}

std::u16string SonorixStatus::errorText() const {
    return modelText(errorTextKey(getError(), getFileError()));
}

std::string SonorixStatus::iconName(bool white) const {
    return statusIconName(isProcessing(), progress(), getState(), white);
}

int32_t SonorixStatus::sortRank(bool preferAdjusted) const {
    return statusSortRank(isProcessing(), progress(), getState(), getError(), getFileError(),
                          preferAdjusted, adjustedMarker());
}

void SonorixTrackStatus::clearAnalysis() {
    ModelLocker lock(m_modelLock);
    SonorixStatus::clearAnalysis();
    markTagAbsent(nullptr);
    setManualAdjustment(0, nullptr);
}

void SonorixTrackStatus::resetRuntime() {
    m_tagCheckDone = false;
    SonorixStatus::resetRuntime();
}

bool SonorixTrackStatus::tagCheckDone() const {
    return m_tagCheckDone;
}

bool SonorixTrackStatus::checkTag(iTunesTrack& track, bool force) {
    return checkTag(track, force, &SonorixTrackStatus::readSoundCheck);
}

} // namespace sonorix
