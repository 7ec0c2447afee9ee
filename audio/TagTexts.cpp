#include "audio/TagTexts.h"
#include "audio/TaggedFile.h"

#include "audio/ContainerLayout.h"
#include "audio/SafeTagSave.h"
#include "audio/TagLibLock.h"
#include "audio/TagSaveGuard.h"
#include "audio/iTunNORMTag.h"
#include "foundation/Log.h"
#include "foundation/RegularFile.h"

#include <taglib/aifffile.h>
#include <taglib/commentsframe.h>
#include <taglib/flacfile.h>
#include <taglib/id3v2framefactory.h>
#include <taglib/id3v2header.h>
#include <taglib/id3v2tag.h>
#include <taglib/mp4file.h>
#include <taglib/mp4tag.h>
#include <taglib/mpegfile.h>
#include <taglib/opusfile.h>
#include <taglib/textidentificationframe.h>
#include <taglib/vorbisfile.h>
#include <taglib/xiphcomment.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>

namespace sonorix::TagTexts {
namespace {

using Kind = TagFileKind;

constexpr const char* kFreeformPrefix = "----:com.apple.iTunes:";
const char* const kReplayGainKeys[] = {"REPLAYGAIN_TRACK_GAIN", "REPLAYGAIN_TRACK_PEAK",
                                       "REPLAYGAIN_ALBUM_GAIN", "REPLAYGAIN_ALBUM_PEAK"};

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

std::string upper(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return s;
}

Kind kindOf(const std::string& path) {
    return tagFileKindOf(path);
}

std::string utf8(const TagLib::String& s) {
    return s.to8Bit(true);
}

bool isSoundCheckName(const std::string& name) {
    return lower(name) == "itunnorm";
}

bool isReplayGainName(const std::string& name) {
    return lower(name).rfind("replaygain_", 0) == 0;
}

bool looksLikeSoundCheck(const std::string& text) {
    SoundCheckValues ignored;
    return SoundCheckText::parseTolerant(text, ignored);
}

// The file opened as its kind, and what it holds of our texts.
struct OpenFile : TaggedFile {
    Survey survey() const {
        Survey s;
        s.readable = true;
        if (id3) {
            for (auto* frame : id3->frameList()) {
                const std::string id(frame->frameID().data(), frame->frameID().size());
                if (auto* c = dynamic_cast<TagLib::ID3v2::CommentsFrame*>(frame)) {
                    if (isSoundCheckName(utf8(c->description()))) {
                        s.soundCheck.push_back({"COMM:" + utf8(c->description()), utf8(c->text()),
                                                c->description() == "iTunNORM"});
                    }
                } else if (auto* t =
                               dynamic_cast<TagLib::ID3v2::UserTextIdentificationFrame*>(frame)) {
                    const std::string description = utf8(t->description());
                    const TagLib::StringList fields = t->fieldList();
                    const std::string value = fields.size() > 1 ? utf8(fields[1]) : "";
                    const std::string where = "TXXX:" + description;
                    if (isReplayGainName(description)) {
                        s.replayGain.push_back({where, value, description == lower(description)});
                    } else if (isSoundCheckName(description) || looksLikeSoundCheck(value)) {
                        s.soundCheck.push_back({where, value, false});
                    }
                }
            }
        }
        if (mp4) {
            for (const auto& [key, item] : mp4->itemMap()) {
                const std::string name = utf8(key);
                if (lower(name).rfind(lower(kFreeformPrefix), 0) != 0) {
                    continue;
                }
                const std::string field = name.substr(std::string(kFreeformPrefix).size());
                const TagLib::StringList strings = item.toStringList();
                std::string value;
                for (const auto& one : strings) {
                    value += (value.empty() ? "" : "\n") + one.to8Bit(false);
                }
                if (isSoundCheckName(field)) {
                    s.soundCheck.push_back({name, value, name == iTunNORMTag::kMP4ItemName});
                } else if (isReplayGainName(field)) {
                    s.replayGain.push_back({name, value, field == lower(field)});
                }
            }
        }
        if (xiph) {
            for (const auto& [key, values] : xiph->fieldListMap()) {
                const std::string name = utf8(key);
                for (const auto& value : values) {
                    if (isSoundCheckName(name)) {
                        s.soundCheck.push_back({name, utf8(value), false});
                    } else if (isReplayGainName(name)) {
                        s.replayGain.push_back({name, utf8(value), true});
                    }
                }
            }
        }
        return s;
    }

    // What the edits must keep: every frame, item or field but those `ours` names, as bytes.
    std::multiset<std::string> others(const std::function<bool(const std::string&)>& ours) const {
        std::multiset<std::string> kept;
        if (id3) {
            for (auto* frame : id3->frameList()) {
                const std::string id(frame->frameID().data(), frame->frameID().size());
                std::string name;
                if (auto* c = dynamic_cast<TagLib::ID3v2::CommentsFrame*>(frame)) {
                    name = "COMM:" + utf8(c->description());
                } else if (auto* t =
                               dynamic_cast<TagLib::ID3v2::UserTextIdentificationFrame*>(frame)) {
                    name = "TXXX:" + utf8(t->description());
                    const TagLib::StringList fields = t->fieldList();
                    if (ours("TXXX-VALUE:" + (fields.size() > 1 ? utf8(fields[1]) : ""))) {
                        continue;
                    }
                }
                // The genre is written back as the library reads it.
                if (id == "TCON" || (!name.empty() && ours(name))) {
                    continue;
                }
                const TagLib::ByteVector bytes = frame->render();
                kept.insert(id + ":" + std::string(bytes.data(), bytes.size()));
            }
        }
        if (mp4) {
            for (const auto& [key, item] : mp4->itemMap()) {
                const std::string name = utf8(key);
                if (ours(name)) {
                    continue;
                }
                // The parts every item kind fills in; the numeric accessors read whichever
                // member of a union the item does not use.
                std::string value = name + "=" + std::to_string(int(item.atomDataType())) + "|";
                for (const auto& one : item.toStringList()) {
                    value += one.to8Bit(true) + "\n";
                }
                for (const auto& art : item.toCoverArtList()) {
                    value += std::to_string(int(art.format())) + ":" +
                             std::string(art.data().data(), art.data().size()) + "\n";
                }
                for (const auto& data : item.toByteVectorList()) {
                    value += std::string(data.data(), data.size()) + "\n";
                }
                kept.insert(value);
            }
        }
        if (xiph) {
            for (const auto& [key, values] : xiph->fieldListMap()) {
                const std::string name = utf8(key);
                if (ours(name)) {
                    continue;
                }
                for (const auto& value : values) {
                    kept.insert(name + "=" + utf8(value));
                }
            }
        }
        return kept;
    }

    bool save() {
        if (id3) {
            // TagLib writes 2.3 and 2.4 only: keep 2.4, otherwise write what iTunes writes.
            auto version = hadID3 && id3->header()->majorVersion() == 4 ? TagLib::ID3v2::v4
                                                                        : TagLib::ID3v2::v3;
            if (auto* mpeg = dynamic_cast<TagLib::MPEG::File*>(file.get())) {
                return mpeg->save(TagLib::MPEG::File::ID3v2, TagLib::File::StripNone, version,
                                  TagLib::File::DoNotDuplicate);
            }
            if (auto* aiff = dynamic_cast<TagLib::RIFF::AIFF::File*>(file.get())) {
                return aiff->save(version);
            }
            return false;
        }
        return file->save();
    }
};

// Edits a copy of the file with `apply`, checks it with `check` and that nothing `ours` does
// not name changed, and puts it in place. `unchanged` tells from the file as it is whether
// there is nothing to do.
Outcome editFile(const std::string& path, const std::function<bool(const std::string&)>& ours,
                 const std::function<bool(const Survey&)>& unchanged,
                 const std::function<bool(OpenFile&)>& apply,
                 const std::function<bool(const Survey&)>& check, std::string* error) {
    auto fail = [&](const std::string& why) {
        writeLog("Not saving the tags of >>%s<<: %s", path.c_str(), why.c_str());
        if (error) {
            *error = why;
        }
        return Outcome::Failed;
    };
    if (FileFault fault = checkRegularFile(path); fault != FileFault::None) {
        return fail(faultText(fault));
    }
    const Kind kind = kindOf(path);
    std::unique_lock<std::mutex> lock(tagLibLock());
    OpenFile original;
    std::multiset<std::string> kept;
    try {
        if (!original.open(path, kind, false)) {
            return fail("the file's tags cannot be read");
        }
        if (unchanged(original.survey())) {
            return Outcome::Unchanged;
        }
        if (kind == Kind::MPEG || kind == Kind::AIFF) {
            const auto container =
                kind == Kind::MPEG ? TagSaveGuard::Container::MPEG : TagSaveGuard::Container::AIFF;
            auto before = TagSaveGuard::readTag(path, container);
            if (!before ||
                (original.id3 && !TagSaveGuard::readWhole(*before, *original.id3, {u"\u0001"}))) {
                return fail("the ID3v2 tag holds frames the tag library cannot read");
            }
        }
        kept = original.others(ours);
    } catch (const std::exception& e) {
        return fail(e.what());
    }
    auto edit = [&](const std::string& copy) {
        OpenFile f;
        return f.open(copy, kind, true) && apply(f) && f.save();
    };
    auto verify = [&](const std::string& originalPath, const std::string& copy) {
        OpenFile f;
        return f.open(copy, kind, false) && check(f.survey()) && f.others(ours) == kept &&
               sameAudioPayload(originalPath, copy);
    };
    std::string reason;
    try {
        if (!saveFileSafely(path, edit, verify, &reason, nullptr, &lock)) {
            return fail(reason.empty() ? "the edited copy did not verify" : reason);
        }
    } catch (const std::exception& e) {
        return fail(e.what());
    }
    return Outcome::Changed;
}

bool oneCanonicalText(const Survey& s, const SoundCheckValues& values) {
    SoundCheckValues found{};
    if (s.soundCheck.size() != 1 || !s.soundCheck.front().canonical) {
        return false;
    }
    std::string text = s.soundCheck.front().text;
    text = text.substr(0, text.find('\0'));
    return text.size() == iTunNORMTag::kTextLength &&
           SoundCheckText::parse(text.data(), text.size(), found) && found == values &&
           text == SoundCheckText::format(values);
}

std::string replayGainName(Kind kind, const std::string& key) {
    switch (kind) {
    case Kind::MP4:
        return kFreeformPrefix + lower(key);
    case Kind::MPEG:
    case Kind::AIFF:
        return "TXXX:" + lower(key);
    default:
        return key;
    }
}

} // namespace

Survey survey(const std::string& path) {
    if (checkRegularFile(path) != FileFault::None) {
        return {};
    }
    std::lock_guard<std::mutex> lock(tagLibLock());
    try {
        OpenFile f;
        if (f.open(path, kindOf(path), false)) {
            return f.survey();
        }
    } catch (const std::exception& e) {
        writeLog("Reading the tags of >>%s<< failed: %s", path.c_str(), e.what());
    }
    return {};
}

Outcome setSoundCheck(const std::string& path, const std::optional<SoundCheckValues>& values,
                      std::string* error) {
    const Kind kind = kindOf(path);
    if (kind != Kind::MPEG && kind != Kind::AIFF && kind != Kind::MP4) {
        if (error) {
            *error = "the format has no place for a Sound Check text";
        }
        return Outcome::Failed;
    }
    const std::string text = values ? SoundCheckText::format(*values) : std::string();
    auto ours = [](const std::string& name) {
        if (name.rfind("TXXX-VALUE:", 0) == 0) {
            return looksLikeSoundCheck(name.substr(11));
        }
        const auto colon = name.rfind(':');
        return isSoundCheckName(colon == std::string::npos ? name : name.substr(colon + 1));
    };
    auto unchanged = [&](const Survey& s) {
        return values ? oneCanonicalText(s, *values) : s.soundCheck.empty();
    };
    auto apply = [&](OpenFile& f) {
        if (f.id3) {
            // Pointers only: a copy of the tag's own list would own (and delete) its frames.
            const TagLib::ID3v2::FrameList& list = f.id3->frameList();
            const std::vector<TagLib::ID3v2::Frame*> frames(list.begin(), list.end());
            for (auto* frame : frames) {
                bool remove = false;
                if (auto* c = dynamic_cast<TagLib::ID3v2::CommentsFrame*>(frame)) {
                    remove = isSoundCheckName(utf8(c->description()));
                } else if (auto* t =
                               dynamic_cast<TagLib::ID3v2::UserTextIdentificationFrame*>(frame)) {
                    const TagLib::StringList fields = t->fieldList();
                    remove = !isReplayGainName(utf8(t->description())) &&
                             (isSoundCheckName(utf8(t->description())) ||
                              looksLikeSoundCheck(fields.size() > 1 ? utf8(fields[1]) : ""));
                }
                if (remove) {
                    f.id3->removeFrame(frame);
                }
            }
            if (values) {
                auto frame = std::make_unique<TagLib::ID3v2::CommentsFrame>(TagLib::String::Latin1);
                frame->setLanguage("eng");
                frame->setDescription("iTunNORM");
                TagLib::String value(text, TagLib::String::Latin1);
                value += '\0';
                frame->setText(value);
                f.id3->addFrame(frame.release());
            }
            f.id3->setGenre(f.id3->genre());
            return true;
        }
        if (f.mp4) {
            std::vector<TagLib::String> keys;
            for (const auto& [key, item] : f.mp4->itemMap()) {
                const std::string name = utf8(key);
                if (lower(name) == lower(iTunNORMTag::kMP4ItemName)) {
                    keys.push_back(key);
                }
            }
            for (const auto& key : keys) {
                f.mp4->removeItem(key);
            }
            if (values) {
                f.mp4->setItem(iTunNORMTag::kMP4ItemName,
                               TagLib::StringList(TagLib::String(text, TagLib::String::UTF8)));
            }
            return true;
        }
        return false;
    };
    auto check = [&](const Survey& s) { return unchanged(s); };
    return editFile(path, ours, unchanged, apply, check, error);
}

Outcome setReplayGain(const std::string& path, const ReplayGain& gain, std::string* error) {
    const Kind kind = kindOf(path);
    if (kind == Kind::None) {
        if (error) {
            *error = "the format takes no ReplayGain tags here";
        }
        return Outcome::Failed;
    }
    std::map<std::string, std::string> wanted = {
        {kReplayGainKeys[0], gainText(gain.trackGain)},
        {kReplayGainKeys[1], peakText(gain.trackPeak)},
    };
    if (gain.albumGain && gain.albumPeak) {
        wanted[kReplayGainKeys[2]] = gainText(*gain.albumGain);
        wanted[kReplayGainKeys[3]] = peakText(*gain.albumPeak);
    }
    // The key a place's name spells, in upper case; empty when it is none of those written.
    auto keyOf = [&](const std::string& name) -> std::string {
        const auto colon = name.rfind(':');
        const std::string key = upper(colon == std::string::npos ? name : name.substr(colon + 1));
        return wanted.count(key) ? key : std::string();
    };
    auto ours = [&](const std::string& name) {
        return name.rfind("TXXX-VALUE:", 0) != 0 && !keyOf(name).empty();
    };
    auto unchanged = [&](const Survey& s) {
        std::map<std::string, int> seen;
        for (const auto& place : s.replayGain) {
            const std::string key = keyOf(place.where);
            if (key.empty()) {
                continue;
            }
            if (place.where != replayGainName(kind, key) || place.text != wanted[key]) {
                return false;
            }
            ++seen[key];
        }
        for (const auto& [key, text] : wanted) {
            if (seen[key] != 1) {
                return false;
            }
        }
        return true;
    };
    auto apply = [&](OpenFile& f) {
        if (f.id3) {
            const TagLib::ID3v2::FrameList& list = f.id3->frameList("TXXX");
            const std::vector<TagLib::ID3v2::Frame*> frames(list.begin(), list.end());
            for (auto* frame : frames) {
                auto* t = dynamic_cast<TagLib::ID3v2::UserTextIdentificationFrame*>(frame);
                if (t && !keyOf(utf8(t->description())).empty()) {
                    f.id3->removeFrame(frame);
                }
            }
            for (const auto& [key, text] : wanted) {
                auto frame = std::make_unique<TagLib::ID3v2::UserTextIdentificationFrame>(
                    TagLib::String::Latin1);
                frame->setDescription(lower(key));
                frame->setText(text);
                f.id3->addFrame(frame.release());
            }
            f.id3->setGenre(f.id3->genre());
            return true;
        }
        if (f.mp4) {
            std::vector<TagLib::String> keys;
            for (const auto& [key, item] : f.mp4->itemMap()) {
                const std::string name = utf8(key);
                if (lower(name).rfind(lower(kFreeformPrefix), 0) == 0 && !keyOf(name).empty()) {
                    keys.push_back(key);
                }
            }
            for (const auto& key : keys) {
                f.mp4->removeItem(key);
            }
            for (const auto& [key, text] : wanted) {
                f.mp4->setItem(replayGainName(kind, key),
                               TagLib::StringList(TagLib::String(text, TagLib::String::UTF8)));
            }
            return true;
        }
        if (f.xiph) {
            for (const auto& [key, text] : wanted) {
                // Vorbis comment names are case-insensitive; the library keeps them upper case.
                f.xiph->addField(key, TagLib::String(text, TagLib::String::UTF8), true);
            }
            return true;
        }
        return false;
    };
    return editFile(path, ours, unchanged, apply, unchanged, error);
}

bool takesReplayGain(const std::string& path) {
    return kindOf(path) != Kind::None;
}

bool replayGainOnly(const std::string& path) {
    const Kind kind = kindOf(path);
    return kind == Kind::FLAC || kind == Kind::Vorbis || kind == Kind::Opus;
}

std::string gainText(double gain) {
    char text[32];
    std::snprintf(text, sizeof text, "%+.2f dB", gain);
    return text;
}

std::string peakText(double peak) {
    char text[32];
    std::snprintf(text, sizeof text, "%.6f", peak);
    return text;
}

std::optional<double> parseGain(const std::string& text) {
    const char* start = text.c_str();
    char* end = nullptr;
    const double value = std::strtod(start, &end);
    if (end == start || !std::isfinite(value)) {
        return std::nullopt;
    }
    while (*end == ' ') {
        ++end;
    }
    if (*end != '\0' && lower(end) != "db") {
        return std::nullopt;
    }
    return value;
}

} // namespace sonorix::TagTexts
