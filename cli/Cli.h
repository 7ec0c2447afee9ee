#pragma once

#include "foundation/Text.h"

#include <string>
#include <vector>

namespace sonorix::cli {

// Exit statuses shared by every command.
enum ExitStatus {
    kExitOk = 0,
    kExitFailures = 1, // some files or tracks failed
    kExitUsage = 2,
    kExitStartupError = 3,
    kExitOtherInstance = 4,
    kExitInterrupted = 130,
};

// Options that stand before the command name.
struct GlobalOptions {
    std::string library;  // --library FILE
    std::string dataDir;  // --data-dir DIR
    std::string language; // --language NAME
};

struct Command {
    const char* name;
    const char* summary; // English; translated under the key "|" + summary
    int (*run)(const GlobalOptions& options, const std::vector<std::string>& args);
    // Reads or writes the data folder: refused while another instance holds it.
    bool exclusive;
};

// Every command of the console front end, in the order the usage text lists them.
const std::vector<Command>& commands();

// True when args holds "--help" or "-h".
bool wantsHelp(const std::vector<std::string>& args);

// Prints the command's help text in the interface language: the text under "CliHelp_" + command.
void printCommandHelp(const std::string& command);

// Prints "sonorix-cli: <message>" to standard error and returns kExitUsage.
int usageError(const std::string& message);

// text as one field of a tab-separated row: a backslash becomes two, a tab, line feed and carriage
// return become backslash t, n and r, so every row stays one line with its columns.
std::string tsvField(const std::string& text);

// A console line's text in the interface language: the English text as written here, its
// translations found under "|" + english in the string tables.
std::string say(const char* english);
// The same, filled in like printf; every translation keeps the English text's conversions.
[[gnu::format(printf, 1, 2)]] std::string sayf(const char* english, ...);
// say and sayf, or the English text when translate is false: tab-separated rows are read by
// scripts and stay English.
std::string sayIf(bool translate, const char* english);
[[gnu::format(printf, 2, 3)]] std::string sayfIf(bool translate, const char* english, ...);

} // namespace sonorix::cli
