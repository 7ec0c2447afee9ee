#include "cli/Cli.h"

#include "audio/SoundCheck.h"
#include "audio/iTunNORMTag.h"
#include "foundation/Localization.h"
#include "foundation/RegularFile.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <optional>

namespace sonorix::cli {
namespace {

// The reading that current iTunes versions apply.
constexpr uint32_t kCurrentITunes = SoundCheck::kITunes801;

struct Row {
    std::string path;
    bool present = false;
    std::string text;
    double adjustment = 0;
    std::string where;
    std::string error;
};

// Texts of tab-separated rows stay English (translate false) for the scripts that read them.
std::string whereText(const iTunNORMTag& tag, bool translate) {
    switch (tag.mode()) {
    case iTunNORMTag::Mode::Raw:
        return sayfIf(translate, "in place at byte %s", std::to_string(tag.textOffset()).c_str());
    case iTunNORMTag::Mode::ID3v2:
        return sayIf(translate, "ID3v2 tag");
    case iTunNORMTag::Mode::MP4:
        return sayIf(translate, "MP4 tag");
    case iTunNORMTag::Mode::None:
        break;
    }
    return "";
}

// A failure as the user reads it; empty with noText set when the file simply has no text.
std::string errorText(const std::exception& e, bool& noText, bool translate) {
    noText = false;
    if (dynamic_cast<const iTunNORMTag::NoTagException*>(&e)) {
        noText = true;
        return sayIf(translate, "no Sound Check text");
    }
    if (auto open = dynamic_cast<const MemoryMappable::FileOpenException*>(&e)) {
        // The fault's own text when there is one: e.what() is English.
        const char* cause = open->fault() != FileFault::Other ? faultText(open->fault()) : e.what();
        return sayfIf(translate, "cannot open the file: %s", sayIf(translate, cause).c_str());
    }
    if (dynamic_cast<const MemoryMappable::FileEmptyException*>(&e)) {
        return sayIf(translate, "the file is empty");
    }
    if (dynamic_cast<const MemoryMappable::FileTooLargeException*>(&e)) {
        return sayIf(translate, "the file is too large (4 GiB or more)");
    }
    if (dynamic_cast<const MemoryMappable::MMapException*>(&e)) {
        return sayfIf(translate, "cannot read the file: %s", e.what());
    }
    if (dynamic_cast<const iTunNORMTag::SaveErrorException*>(&e)) {
        return sayfIf(translate, "not written: %s", e.what());
    }
    return e.what();
}

Row readRow(const std::string& path, bool& failed, bool translate) {
    Row row;
    row.path = path;
    try {
        int32_t hint = -1;
        iTunNORMTag tag;
        tag.open(path, hint, false, false);
        row.present = tag.isPresent() && tag.isValid();
        if (tag.isPresent() && !row.present) {
            row.text = tag.text();
            row.error =
                sayfIf(translate, "invalid Sound Check text \"%s\" (not a value iTunes writes)",
                       row.text.c_str());
        } else if (row.present) {
            row.text = tag.text();
            row.adjustment = SoundCheck::playbackAdjustment(tag.values(), kCurrentITunes);
            row.where = whereText(tag, translate);
        } else {
            row.error = sayIf(translate, "no Sound Check text");
        }
    } catch (const std::exception& e) {
        bool noText = false;
        row.error = errorText(e, noText, translate);
        failed = failed || !noText;
    }
    return row;
}

std::string adjustmentText(const Row& row) {
    if (!row.present) {
        return "";
    }
    return decimalText(row.adjustment, 2);
}

void printTsvHeader(bool withChanged) {
    std::printf("path\ttext\tadjustment_db\twhere\terror%s\n", withChanged ? "\tchanged" : "");
}

void printTsv(const Row& row, const char* changed) {
    std::printf("%s\t%s\t%s\t%s\t%s", tsvField(row.path).c_str(), tsvField(row.text).c_str(),
                adjustmentText(row).c_str(), tsvField(row.where).c_str(),
                tsvField(row.error).c_str());
    if (changed) {
        std::printf("\t%s", changed);
    }
    std::printf("\n");
}

void printHuman(const Row& row) {
    if (!row.present) {
        std::printf("%s: %s\n", row.path.c_str(), row.error.c_str());
        return;
    }
    std::printf("%s\n", sayf("%s\n  text:       \"%s\"\n  adjustment: %s dB\n  found:      %s",
                             row.path.c_str(), row.text.c_str(), adjustmentText(row).c_str(),
                             row.where.c_str())
                            .c_str());
}

int setOne(const std::string& path, double adjustment, bool tsv) {
    bool ignored = false;
    Row before = readRow(path, ignored, !tsv);
    bool changed = false;
    std::string error;
    std::string how;
    try {
        int32_t hint = -1;
        iTunNORMTag tag;
        tag.open(path, hint, true, true);
        bool created = !tag.isPresent();
        changed = tag.setAdjustment(adjustment);
        how = created ? say(tag.mode() == iTunNORMTag::Mode::MP4 ? "MP4 item created"
                                                                 : "ID3v2 comment created")
              : tag.mode() == iTunNORMTag::Mode::Raw
                  ? sayf("written in place at byte %s", std::to_string(tag.textOffset()).c_str())
              : tag.mode() == iTunNORMTag::Mode::MP4 ? say("written to the MP4 tag")
                                                     : say("written to the ID3v2 tag");
    } catch (const std::exception& e) {
        bool noText = false;
        error = errorText(e, noText, !tsv);
        if (noText) {
            error = sayIf(!tsv, "no Sound Check text, and none can be added to this file");
        }
    }
    bool failed = false;
    Row after = error.empty() ? readRow(path, failed, !tsv) : before;
    if (!error.empty()) {
        after.error = error;
        failed = true;
    }
    if (tsv) {
        printTsv(after, error.empty() ? (changed ? "yes" : "no") : "");
    } else if (!error.empty()) {
        std::printf("%s: %s\n", path.c_str(), error.c_str());
    } else {
        std::string old = before.present ? sayf("%s dB", adjustmentText(before).c_str())
                                         : say("no Sound Check text");
        if (changed) {
            std::printf("%s\n", sayf("%s: %s -> %s dB, %s", path.c_str(), old.c_str(),
                                     adjustmentText(after).c_str(), how.c_str())
                                    .c_str());
        } else {
            std::printf(
                "%s\n",
                sayf("%s: %s dB, unchanged", path.c_str(), adjustmentText(after).c_str()).c_str());
        }
    }
    return failed ? kExitFailures : kExitOk;
}

} // namespace

int runTag(const GlobalOptions&, const std::vector<std::string>& args) {
    if (wantsHelp(args)) {
        printCommandHelp("tag");
        return kExitOk;
    }
    bool tsv = false;
    std::optional<double> set;
    std::vector<std::string> files;
    bool filesOnly = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (filesOnly || a.empty() || a[0] != '-' || a == "-") {
            files.push_back(a);
        } else if (a == "--") {
            filesOnly = true;
        } else if (a == "--format" || a == "--set") {
            if (i + 1 >= args.size()) {
                return usageError(
                    formatString(localizedString("CliNeedsValue").c_str(), a.c_str()));
            }
            const std::string& v = args[++i];
            if (a == "--format") {
                if (v != "tsv" && v != "text") {
                    return usageError(sayf("unknown format '%s' (tsv or text)", v.c_str()));
                }
                tsv = v == "tsv";
            } else {
                char* end = nullptr;
                errno = 0;
                double db = std::strtod(v.c_str(), &end);
                if (v.empty() || *end != '\0' || errno == ERANGE || !std::isfinite(db)) {
                    return usageError(sayf("--set needs an adjustment in dB, not '%s'", v.c_str()));
                }
                set = db;
            }
        } else {
            return usageError(sayf("unknown option '%s' for %s", a.c_str(), "tag"));
        }
    }
    if (files.empty()) {
        return usageError(sayf("%s needs at least one FILE", "tag"));
    }
    int status = kExitOk;
    if (tsv) {
        printTsvHeader(set.has_value());
    }
    for (const auto& f : files) {
        if (set) {
            if (setOne(f, *set, tsv) != kExitOk) {
                status = kExitFailures;
            }
            continue;
        }
        bool failed = false;
        Row row = readRow(f, failed, !tsv);
        if (tsv) {
            printTsv(row, nullptr);
        } else {
            printHuman(row);
        }
        if (failed) {
            status = kExitFailures;
        }
    }
    return status;
}

} // namespace sonorix::cli
