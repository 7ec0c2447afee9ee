#include "processing/AdjustmentPlan.h"

#include <algorithm>

namespace sonorix {

PlannedAdjustment planAdjustment(double gain, double peak, double masterVolume, double additional,
                                 bool limitToPeak) {
    PlannedAdjustment plan;
    plan.adjustment = SoundCheck::neededAdjustment(gain, masterVolume, additional);
    if (limitToPeak && plan.adjustment > 0) {
        // Cuts are never limited: they only move the peak further from full scale.
        const double ceiling = SoundCheck::maximumUnclippedAdjustment(peak);
        if (plan.adjustment > ceiling) {
            plan.adjustment = std::max(0.0, ceiling);
            plan.limitedByPeak = true;
        }
    }
    return plan;
}

void AdjustmentPreview::add(PreviewRow row) {
    std::lock_guard<std::mutex> hold(m_lock);
    m_rows.push_back(std::move(row));
}

std::vector<PreviewRow> AdjustmentPreview::rows() const {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_rows;
}

size_t AdjustmentPreview::changeCount() const {
    std::lock_guard<std::mutex> hold(m_lock);
    return static_cast<size_t>(
        std::count_if(m_rows.begin(), m_rows.end(), [](const PreviewRow& r) { return r.changes; }));
}

} // namespace sonorix
