#pragma once

#include "audio/SoundCheck.h"
#include "foundation/RegularFile.h"
#include "model/StatusDisplay.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace sonorix {

class Value_dict;
class RecursiveLock;
class iTunesTrack;
struct DateTimePoint;

// The status of an album: a view onto its dictionary in the model's "Library" dictionary plus
// run-time fields that are never stored. Dictionary access takes the model's lock; progress has
// a lock of its own so that worker updates do not contend with the model.
class SonorixStatus {
public:
    SonorixStatus(std::shared_ptr<Value_dict> entry, std::shared_ptr<RecursiveLock> modelLock);
    virtual ~SonorixStatus();
    SonorixStatus(const SonorixStatus&) = delete;
    SonorixStatus& operator=(const SonorixStatus&) = delete;

    // Forgets the measured loudness.
    virtual void clearAnalysis();
    // Back to the state of a fresh start; running jobs keep their count.
    virtual void resetRuntime();

    std::shared_ptr<Value_dict> entry() const { return m_entry; }

    int16_t getError() const;
    void setError(int16_t error);
    int16_t getFileError() const;
    void setFileError(int16_t error);
    int16_t getAnalyzeError() const;
    void setAnalyzeError(int16_t error);

    bool getGainAndPeak(double& gain, double& peak,
                        std::shared_ptr<DateTimePoint>* date = nullptr) const;
    void setGainAndPeak(double gain, double peak, const std::shared_ptr<DateTimePoint>& date);
    void setAnalyzeDate(const std::shared_ptr<DateTimePoint>& date);

    int32_t getState() const;
    void setState(int32_t state);

    bool getTag(SoundCheckValues& values, std::shared_ptr<DateTimePoint>* date = nullptr) const;
    void setTag(const SoundCheckValues& values, const std::shared_ptr<DateTimePoint>& date);
    // Records that the file has no tag, as of date (or forgets when it was looked at).
    void markTagAbsent(const std::shared_ptr<DateTimePoint>& date);
    int64_t getTagHint() const;
    void setTagHint(int64_t hint);
    // The hint as the tag reader takes it: -1 where it is out of the reader's 32-bit range.
    int32_t tagReaderHint() const;
    bool getBackup(SoundCheckValues& values) const;
    void setBackup(const SoundCheckValues& values);
    // The file had no Sound Check text when it was first looked at (and so no backup).
    bool backupAbsent() const;
    void setBackupAbsent();

    // The last adjustment written was lowered to what the peak allows without clipping.
    bool limitedByPeak() const;
    void setLimitedByPeak(bool limited);

    // The file (fileIdentity) as it was when its comment was last seen holding the stamp: a
    // run that finds the file so has no need to read the comment again.
    std::string stampedFile() const;
    void setStampedFile(const std::string& identity);

    // A file that crashed a reader: failed, and left alone while it stays as it was then.
    void markUnsafe(const std::string& fileStamp);
    bool knownUnsafe(const std::string& path) const;

    bool getManualAdjustment(int32_t& value, std::shared_ptr<DateTimePoint>* date = nullptr) const;
    // With a date stores both; without one forgets the value.
    void setManualAdjustment(int32_t value, const std::shared_ptr<DateTimePoint>& date);
    void touchManualAdjustmentDate(const std::shared_ptr<DateTimePoint>& date);
    // Writes the value as iTunes' volume adjustment and remembers it when that worked.
    bool applyManualAdjustment(iTunesTrack& track, int32_t value);
    // The track's volume adjustment: the stored one while it is newer than the track's last
    // modification, otherwise asked from iTunes. Returns whether a value is present.
    bool refreshManualAdjustment(iTunesTrack& track, int32_t& value, bool& changed);

    void addProcessing(int32_t count);
    void addProgressTotal(double amount);
    void addProgressDone(double amount);
    // Starts the progress of a new job afresh (total and done 0).
    void resetProgress();
    double progressDone() const;
    int32_t processingCount() const;
    bool isProcessing() const;
    double progress() const;
    bool adjustedMarker() const;
    void setAdjustedMarker(bool marker);

    // The localized text of the stored error.
    std::u16string errorText() const;
    std::string iconName(bool white) const;
    int32_t sortRank(bool preferAdjusted) const;

protected:
    class Locker;
    std::shared_ptr<Value_dict> m_entry;
    std::shared_ptr<RecursiveLock> m_modelLock;

private:
    int32_t m_state = kStateNone;
    mutable std::mutex m_progressLock;
    int32_t m_processing = 0;
    double m_progressTotal = 0.0;
    double m_progressDone = 0.0;
    bool m_adjustedMarker = false;
};

// What reading a file's Sound Check text needs: path, the hint to find the text again (updated
// by the reader). Throws the tag and file-mapping exceptions.
using SoundCheckReader =
    std::function<SoundCheckValues(const std::string& path, int64_t& hint, bool force)>;

// The stored file error ("fileError") for a failure to read or write a file's Sound Check text:
// what happened to the file, as far as it is known.
int16_t fileErrorOf(const std::exception& failure);
int16_t fileErrorOf(FileFault fault, int16_t otherwise);

// The status of one track: adds the check of the file's Sound Check text.
class SonorixTrackStatus : public SonorixStatus {
public:
    using SonorixStatus::SonorixStatus;

    // Also forgets the tag found and the volume adjustment read; the backup and the hint stay.
    void clearAnalysis() override;
    void resetRuntime() override;

    // Compares the stored Sound Check value with the file when the file changed since it was
    // last read (or always with force). Returns whether anything stored changed.
    bool checkTag(iTunesTrack& track, bool force);
    bool checkTag(iTunesTrack& track, bool force, const SoundCheckReader& reader);
    bool tagCheckDone() const;

    // The reader over the audio files themselves.
    static SoundCheckValues readSoundCheck(const std::string& path, int64_t& hint, bool force);

private:
    std::mutex m_checkLock;
    // Atomic so that a reset from the interface never waits for a check reading a file.
    std::atomic<bool> m_tagCheckDone{false};
};

} // namespace sonorix
