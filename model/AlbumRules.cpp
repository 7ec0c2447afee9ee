#include "model/AlbumRules.h"

#include "model/TextCompare.h"

#include <algorithm>
#include <cstdio>

namespace sonorix {

void AlbumSortFields::computeLetters() {
    albumLetters = &lettersOnly(album);
    groupingLetters = &lettersOnly(grouping);
    artistLetters = &lettersOnly(artist);
    nameLetters = &lettersOnly(name);
}

namespace {

int letters(const std::u16string& a, const std::u16string* la, const std::u16string& b,
            const std::u16string* lb) {
    if (la && lb) {
        return compareLettersOnly(a, *la, b, *lb);
    }
    return compareLettersOnly(a, b);
}

int numeric(int32_t a, int32_t b) {
    return a < b ? -1 : (a > b ? 1 : 0);
}

} // namespace

int compareAlbumOrder(const AlbumSortFields& a, const AlbumSortFields& b) {
    if (int r = letters(a.album, a.albumLetters, b.album, b.albumLetters)) {
        return r;
    }
    if (int r = numeric(a.disc, b.disc)) {
        return r;
    }
    if (int r = letters(a.grouping, a.groupingLetters, b.grouping, b.groupingLetters)) {
        return r;
    }
    if (a.compilation != b.compilation) {
        return a.compilation ? -1 : 1;
    }
    if (!a.compilation) {
        if (int r = letters(a.artist, a.artistLetters, b.artist, b.artistLetters)) {
            return r;
        }
    }
    if (int r = numeric(a.trackNumber, b.trackNumber)) {
        return r;
    }
    return letters(a.name, a.nameLetters, b.name, b.nameLetters);
}

bool sameAlbum(const AlbumSortFields* a, const AlbumSortFields& b, const AlbumRules& rules,
               int32_t& bitsA, int32_t& bitsB) {
    if (!a) {
        return false;
    }
    if (rules.albumMode == 3) {
        bitsA |= kAlbumManual;
        return true;
    }
    if (a->album.empty() || b.album.empty() || comparePlain(a->album, b.album) != 0) {
        return false;
    }
    if (a->disc != b.disc) {
        if (!rules.multipleCDAlbums) {
            return false;
        }
        bitsA |= kAlbumMultiCD;
    }
    if (a->gapless) {
        bitsA |= kAlbumGapless;
    }
    if (rules.albumMode == 1 && comparePlain(a->grouping, b.grouping) != 0) {
        bitsA |= kAlbumGrouping;
        bitsB |= kAlbumGrouping;
        return false;
    }
    if (a->compilation) {
        bitsA |= kAlbumCompilation;
    }
    if (a->compilation != b.compilation) {
        if (b.compilation) {
            bitsB |= kAlbumCompilation;
        }
        return false;
    }
    if (!a->compilation && comparePlain(a->artist, b.artist) != 0) {
        return false;
    }
    if (a->compilation && rules.compilationsNotAlbums) {
        bitsB |= kAlbumCompilation;
        return false;
    }
    if (a->gapless && rules.gaplessAlwaysAlbums) {
        return true;
    }
    return rules.albumMode != 0;
}

std::vector<AlbumSpan> formAlbumSpans(const std::vector<const AlbumSortFields*>& sorted,
                                      const AlbumRules& rules) {
    std::vector<AlbumSpan> spans;
    int32_t bitsA = 0;
    int32_t bitsB = 0;
    const AlbumSortFields* previous = nullptr;
    for (size_t i = 0; i < sorted.size(); ++i) {
        if (!sameAlbum(previous, *sorted[i], rules, bitsA, bitsB)) {
            if (!spans.empty()) {
                spans.back().kind = bitsA;
            }
            bitsA = bitsB;
            bitsB = 0;
            spans.push_back(AlbumSpan{i, 0, 0});
        }
        ++spans.back().count;
        previous = sorted[i];
    }
    if (!spans.empty()) {
        spans.back().kind = bitsA;
    }
    return spans;
}

std::string albumNameKey(int32_t kind) {
    if (kind & kAlbumManual) {
        return "AlbumName_Manual";
    }
    std::string key = "AlbumName_";
    if (kind & kAlbumGapless) {
        key += "Gapless";
    }
    if ((kind & kAlbumMultiCD) && !(kind & kAlbumGrouping)) {
        key += "MultiCD";
    }
    if (kind & kAlbumGrouping) {
        key += "Grouping";
    } else if (kind & kAlbumCompilation) {
        key += "Compilation";
    } else {
        key += "Album";
    }
    return key;
}

std::string albumKeyFor(std::vector<uint64_t> ids) {
    std::sort(ids.begin(), ids.end());
    ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
    std::string key;
    key.reserve(ids.size() * 17);
    char buffer[24];
    for (size_t i = 0; i < ids.size(); ++i) {
        if (i) {
            key += ':';
        }
        std::snprintf(buffer, sizeof buffer, "%llX", static_cast<unsigned long long>(ids[i]));
        key += buffer;
    }
    return key;
}

bool isAlbumKey(std::u16string_view key) {
    return key.find(u':') != std::u16string_view::npos || key.size() > 16;
}

bool AlbumGainAccumulator::add(double gain, double peak, double durationSeconds) {
    if (peak < kSilencePeak) {
        return false;
    }
    m_sum += gain * durationSeconds;
    m_weight += durationSeconds;
    m_peak = std::max(m_peak, peak);
    m_counted = true;
    return true;
}

bool OptionQueries::mayCombineAlbums() const {
    switch (rules.albumMode) {
    case 0:
        return rules.gaplessAlwaysAlbums;
    case 1:
    case 2:
        return true;
    default:
        return false;
    }
}

bool OptionQueries::multiCDOptionApplies() const {
    return rules.albumMode == 2 ||
           ((rules.albumMode == 0 || rules.albumMode == 1) && rules.gaplessAlwaysAlbums);
}

} // namespace sonorix
