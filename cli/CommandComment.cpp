#include "cli/Cli.h"

#include "audio/CommentTag.h"
#include "foundation/Localization.h"
#include "foundation/RegularFile.h"
#include "foundation/Text.h"

#include <cstdio>

namespace sonorix::cli {

int runComment(const GlobalOptions&, const std::vector<std::string>& args) {
    if (wantsHelp(args)) {
        printCommandHelp("comment");
        return kExitOk;
    }
    std::vector<std::string> files;
    bool set = false;
    std::string text;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--set") {
            if (i + 1 >= args.size()) {
                return usageError(formatString(localizedString("CliNeedsValue").c_str(), "--set"));
            }
            set = true;
            text = args[++i];
        } else if (args[i].size() > 1 && args[i][0] == '-') {
            return usageError(
                formatString(localizedString("CliUnknownOption").c_str(), args[i].c_str()));
        } else {
            files.push_back(args[i]);
        }
    }
    if (files.empty()) {
        return usageError(sayf("%s needs at least one FILE", "comment"));
    }
    std::u16string wanted;
    if (set) {
        try {
            wanted = toUtf16(text);
        } catch (const std::exception&) {
            return usageError(say("the comment is not valid UTF-8"));
        }
    }
    int status = kExitOk;
    for (const auto& file : files) {
        const FileFault fault = checkRegularFile(file);
        if (fault != FileFault::None || !CommentTag::supported(file)) {
            std::fprintf(stderr, "sonorix-cli: %s: %s\n", file.c_str(),
                         say(fault != FileFault::None ? faultText(fault)
                                                      : "no comment in files of this kind")
                             .c_str());
            status = kExitFailures;
            continue;
        }
        if (set) {
            if (!CommentTag::write(file, wanted)) {
                std::fprintf(
                    stderr, "sonorix-cli: %s: %s\n", file.c_str(),
                    say("the comment could not be written; the file is unchanged").c_str());
                status = kExitFailures;
            }
            continue;
        }
        std::u16string comment;
        if (!CommentTag::read(file, comment)) {
            std::fprintf(stderr, "sonorix-cli: %s: %s\n", file.c_str(),
                         say("the tags cannot be read").c_str());
            status = kExitFailures;
            continue;
        }
        if (files.size() > 1) {
            std::printf("%s: %s\n", file.c_str(), toUtf8(comment).c_str());
        } else {
            std::printf("%s\n", toUtf8(comment).c_str());
        }
    }
    return status;
}

} // namespace sonorix::cli
