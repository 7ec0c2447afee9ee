#include "processing/SonorixAdjustmentJobManager.h"

#include "foundation/Value.h"
#include "itunes/iTunesTrack.h"
#include "model/SonorixGroups.h"
#include "processing/ControllerHooks.h"

namespace sonorix {

namespace {

constexpr std::u16string_view kTrackKey = u"track";
constexpr std::u16string_view kAlbumKey = u"album";
constexpr std::u16string_view kJumpKey = u"jump";

ParameterPtr progressReport(std::u16string_view key, std::shared_ptr<void> item, bool jump) {
    auto report = std::make_shared<Value_dict>();
    report->items()[std::u16string(key)] = std::make_shared<Value_ptr>(std::move(item));
    report->items()[std::u16string(kJumpKey)] = std::make_shared<Value_bool>(jump);
    return report;
}

template <class Item>
std::shared_ptr<Item> reportedItem(const ParameterPtr& parameter, std::u16string_view key,
                                   bool& jump) {
    auto report = std::static_pointer_cast<Value_dict>(parameter);
    ValueRef jumpValue = report->get(kJumpKey);
    jump = jumpValue && jumpValue->toBool();
    ValueRef item = report->get(key);
    return item ? std::static_pointer_cast<Item>(item->object()) : nullptr;
}

} // namespace

SonorixAdjustmentJobManager::SonorixAdjustmentJobManager(
    std::shared_ptr<SonorixControllerHooks> controller, SecondsClock clock,
    std::shared_ptr<DisplayMessageScheduler> scheduler)
    : m_controller(std::move(controller)), m_clock(clock ? std::move(clock) : currentSeconds),
      m_progress(DisplayProgress::create(m_clock, std::move(scheduler))) {}

SonorixAdjustmentJobManager::~SonorixAdjustmentJobManager() = default;

void SonorixAdjustmentJobManager::trackProgress(const std::shared_ptr<iTunesTrack>& track,
                                                bool jump) {
    callOnMainThread(delegateFor<&SonorixAdjustmentJobManager::deliverTrackProgress>(),
                     progressReport(kTrackKey, track, jump), false);
}

void SonorixAdjustmentJobManager::albumProgress(const std::shared_ptr<SonorixAlbum>& album,
                                                bool jump) {
    callOnMainThread(delegateFor<&SonorixAdjustmentJobManager::deliverAlbumProgress>(),
                     progressReport(kAlbumKey, album, jump), false);
}

void SonorixAdjustmentJobManager::deliverTrackProgress(ParameterPtr parameter) {
    bool jump = false;
    auto track = reportedItem<iTunesTrack>(parameter, kTrackKey, jump);
    if (!m_controller || !track) {
        return;
    }
    m_controller->refreshTrack(track);
    if (jump) {
        m_controller->revealTrack(track);
    }
}

void SonorixAdjustmentJobManager::deliverAlbumProgress(ParameterPtr parameter) {
    bool jump = false;
    auto album = reportedItem<SonorixAlbum>(parameter, kAlbumKey, jump);
    if (!m_controller || !album) {
        return;
    }
    m_controller->refreshAlbum(album);
    if (jump) {
        m_controller->revealAlbum(album);
    }
}

} // namespace sonorix
