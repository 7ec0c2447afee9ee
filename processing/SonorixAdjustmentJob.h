#pragma once

#include "processing/SonorixJob.h"

#include <cstddef>
#include <ctime>
#include <memory>
#include <string>

namespace sonorix {

class AdjustmentPreview;
class iTunesTrack;
class SonorixAlbum;
class SonorixGroup;
class SonorixPreferences;
class SonorixStatus;
class SonorixTrackStatus;

// The settings an adjustment follows, taken once when a run starts so that workers never read
// the preferences while the interface may change them.
struct AdjustmentSettings {
    double perceivedLoudness = 92.0;
    bool resetManualAdjustments = true;
    bool modifyComments = true;
    bool limitToPeak = false;
    bool writeReplayGainTags = false;
    // Set for a preview: nothing is written, each track's row is gathered here instead.
    std::shared_ptr<AdjustmentPreview> preview;

    static AdjustmentSettings from(const SonorixPreferences& preferences);
};

// Writes the Sound Check value that a track's measured loudness (or its album's) asks for, then
// lets iTunes and the devices synced with it notice: the volume adjustment is reset, the comment
// stamped with the date and the file re-read. The value found in the file afterwards becomes the
// track's stored tag.
class SonorixAdjustmentJob : public SonorixJob {
public:
    static constexpr double kUnits = 2;
    static constexpr const char16_t* kStampMarker = u"Adjusted by Sonorix";
    // '9' stands for any decimal digit.
    static constexpr const char16_t* kStampMask = u" 99/99/9999 99:99:99";

    SonorixAdjustmentJob(std::shared_ptr<SonorixAdjustmentJobManager> manager,
                         std::shared_ptr<SonorixGroup> group, std::shared_ptr<SonorixAlbum> album,
                         std::shared_ptr<iTunesTrack> track, AdjustmentSettings settings);

    void run(const WorkerContext& context) override;

    // The stamp as written at local time `when`: marker, date, time, CR LF.
    static std::u16string commentStampText(std::time_t when);
    // A stamp with as much of its date and line end as is intact.
    static bool findCommentStamp(const std::u16string& comment, size_t& position, size_t& length);
    // Replaces the stamp found, or puts a new one in front of the comment.
    static void updateCommentStamp(std::u16string& comment, std::time_t when = std::time(nullptr));
    static bool removeCommentStamp(std::u16string& comment);

private:
    void adjust(SonorixTrackStatus& trackStatus, const std::shared_ptr<SonorixStatus>& albumStatus,
                double gain, double peak, const WorkerContext& context);
    // A re-run's shortcut: true, with the status brought up to date, when the file (by identity)
    // is the one last seen holding the stamp and values that this adjustment leaves as they are.
    bool leftAsLastRunLeftIt(SonorixTrackStatus& trackStatus,
                             const std::shared_ptr<SonorixStatus>& albumStatus,
                             const std::string& identity, double gain, double peak);

    const std::shared_ptr<SonorixGroup> m_group;
    const AdjustmentSettings m_settings;
};

} // namespace sonorix
