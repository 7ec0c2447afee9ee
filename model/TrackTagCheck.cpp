#include "model/SonorixStatus.h"

#include "foundation/CrashJournal.h"

#include "audio/iTunNORMTag.h"
#include "foundation/MemoryMappable.h"
#include "foundation/Paths.h"
#include "foundation/Value.h"
#include "model/ModelValues.h"
#include "model/TrackAccess.h"

namespace sonorix {

int16_t fileErrorOf(FileFault fault, int16_t otherwise) {
    switch (fault) {
    case FileFault::NotFound:
        return kFileErrorNotFound;
    case FileFault::NotRegular:
        return kFileErrorNotRegular;
    case FileFault::Empty:
        return kFileErrorEmpty;
    case FileFault::NoSpace:
        return kFileErrorNoSpace;
    case FileFault::NameTooLong:
        return kFileErrorNameTooLong;
    case FileFault::ReadOnlyVolume:
        return kFileErrorReadOnlyVolume;
    case FileFault::WriteProtected:
        return kFileErrorOpen;
    case FileFault::Changed:
        return kFileErrorChanged;
    case FileFault::None:
    case FileFault::Other:
        break;
    }
    return otherwise;
}

int16_t fileErrorOf(const std::exception& failure) {
    if (dynamic_cast<const iTunNORMTag::UnreadableTagException*>(&failure)) {
        return kFileErrorTagUnreadable;
    }
    if (dynamic_cast<const iTunNORMTag::UnsafeFileException*>(&failure)) {
        return kFileErrorUnsafe;
    }
    if (auto* e = dynamic_cast<const iTunNORMTag::SaveErrorException*>(&failure)) {
        return fileErrorOf(e->fault(), kFileErrorSave);
    }
    if (auto* e = dynamic_cast<const MemoryMappable::FileOpenException*>(&failure)) {
        // "Write protected" only when it is; other reasons have no better word than a file error.
        return fileErrorOf(e->fault(), kFileErrorNone);
    }
    if (dynamic_cast<const MemoryMappable::FileEmptyException*>(&failure)) {
        return kFileErrorEmpty;
    }
    if (dynamic_cast<const MemoryMappable::FileTooLargeException*>(&failure)) {
        return kFileErrorTooLarge;
    }
    if (dynamic_cast<const MemoryMappable::FileChangedException*>(&failure)) {
        return kFileErrorChanged;
    }
    if (dynamic_cast<const MemoryMappable::MMapException*>(&failure)) {
        return kFileErrorMmap;
    }
    return kFileErrorNone;
}

SoundCheckValues SonorixTrackStatus::readSoundCheck(const std::string& path, int64_t& hint,
                                                    bool /*force*/) {
    // The reader keeps a 32-bit offset; a stored hint out of that range is simply not a hint.
    int32_t offset = (hint >= 0 && hint <= INT32_MAX) ? static_cast<int32_t>(hint) : -1;
    auto tag = createITunNORMTag(path, offset, false, false);
    // A text with values iTunes never writes (zero, or past 65534) is no value: it gets replaced.
    if (!tag->isPresent()) {
        throw iTunNORMTag::NoTagException();
    }
    if (!tag->isValid()) {
        throw iTunNORMTag::InvalidTextException();
    }
    SoundCheckValues values = tag->values();
    hint = offset;
    return values;
}

bool SonorixTrackStatus::checkTag(iTunesTrack& track, bool force, const SoundCheckReader& reader) {
    std::lock_guard<std::mutex> check(m_checkLock);
    if (m_tagCheckDone && !force) {
        return false;
    }
    const int16_t oldError = getError();
    const int16_t oldFileError = getFileError();
    int16_t newError = oldError;
    int16_t newFileError = oldFileError;
    int32_t newState = getState();
    bool changed = false;

    SoundCheckValues values{};
    std::shared_ptr<DateTimePoint> tagDate;
    bool tagKnown = getTag(values, &tagDate);
    bool textAbsent = false;
    auto modified = ta::dateModified(track);

    if (force || !tagDate || (modified && mv::isLater(modified, tagDate))) {
        std::string path = ta::filePath(track);
        if (!path.empty() && knownUnsafe(path)) {
            m_tagCheckDone = true;
            return false; // it crashed a reader before; reading it again would crash us
        }
        if (path.empty() || !fileExists(path)) {
            newError = kErrorFile;
            newFileError = kFileErrorNotFound;
            newState = kStateFailed;
        } else {
            auto checkTime = mv::now(true);
            auto failFile = [&](int16_t fileError) {
                newError = kErrorFile;
                newFileError = fileError;
                newState = kStateFailed;
            };
            try {
                int64_t hint = getTagHint();
                {
                    CrashJournal::Scope reading(hexIdText(ta::persistentId(track)), path);
                    values = reader(path, hint, force);
                }
                setTag(values, checkTime);
                setTagHint(hint);
                tagKnown = true;
                changed = true;
                // The file was just found and holds a value: a missing file or a missing value
                // recorded earlier no longer holds and would otherwise stay on show until a job
                // runs. Errors of analysis and of writing are left for the jobs.
                const bool staleMissing =
                    newError == kErrorTag || newError == kErrorUnsupported ||
                    (newError == kErrorFile && newFileError == kFileErrorNotFound);
                if (staleMissing) {
                    newError = kErrorNone;
                    newFileError = kFileErrorNone;
                    if (newState == kStateNoTag || newState == kStateFailed) {
                        newState = kStateNone;
                    }
                }
            } catch (const iTunNORMTag::NoTagSupportedException&) {
                newError = kErrorUnsupported;
                newState = kStateFailed;
                markTagAbsent(checkTime);
                tagKnown = false;
                changed = true;
            } catch (const iTunNORMTag::NoTagException& e) {
                newError = kErrorTag;
                newState = kStateNoTag;
                markTagAbsent(checkTime);
                tagKnown = false;
                changed = true;
                textAbsent = !dynamic_cast<const iTunNORMTag::InvalidTextException*>(&e);
            } catch (const MemoryMappable::MemoryMappableException& e) {
                failFile(fileErrorOf(e));
            } catch (const iTunNORMTag::iTunNORMTagException& e) {
                failFile(fileErrorOf(e));
            }
        }
    }

    if (tagKnown) {
        SoundCheckValues backup{};
        if (!getBackup(backup)) {
            setBackup(values);
            changed = true;
        }
    } else {
        // A readable file without a text: what a restore brings it back to.
        SoundCheckValues backup{};
        if (textAbsent && !getBackup(backup) && !backupAbsent()) {
            setBackupAbsent();
            changed = true;
        }
        if (newError != kErrorFile && newError != kErrorTag && newError != kErrorUnsupported) {
            newError = kErrorTag;
        }
        newState = newError == kErrorTag ? kStateNoTag : kStateFailed;
    }

    if (newError != oldError) {
        setError(newError);
        changed = true;
    }
    if (newFileError != oldFileError) {
        setFileError(newFileError);
        changed = true;
    }
    if (newState != getState()) {
        setState(newState);
    }
    m_tagCheckDone = true;
    return changed;
}

} // namespace sonorix
