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

} // namespace sonorix::cli
