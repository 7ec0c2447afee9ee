#include "ui/TextPreparation.h"

#include "app/OutlineSort.h"
#include "itunes/iTunesTrack.h"

namespace sonorix {

void TextPreparation::start(std::vector<std::shared_ptr<const iTunesTrack>> tracks) {
    m_thread = std::jthread(); // asks the running one to stop and waits for it
    m_done.store(false, std::memory_order_release);
    m_thread = std::jthread([this, tracks = std::move(tracks)](std::stop_token stop) {
        OutlineSortOptions::rankTracks(tracks, stop);
        if (!stop.stop_requested()) {
            m_done.store(true, std::memory_order_release);
        }
    });
}

} // namespace sonorix
