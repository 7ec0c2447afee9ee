#pragma once

#include <exception>
#include <string>

namespace sonorix {

// One plain-text log per run. Every entry is "[%.3lfs] " + the caller's printf format + "\n",
// the seconds counted from process start. Safe from any thread; entries never interleave.
void writeLog(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Opens (truncating) the log file. Until a log is open, entries are dropped: the console keeps
// standard output for its user. Returns false when the file cannot be opened.
bool openLog(const std::string& path);
// Opens "Sonorix.log" in the per-user data folder.
bool openDefaultLog();
void closeLog();
// Path of the open log file, empty when none is open.
std::string logPath();

// Seconds since the log clock started (during static initialisation).
double logElapsedSeconds();

// The first entries of a run: product version, operating system, processor count.
void writeLogHeader(int activeProcessors);

// Type name of an exception object, demangled ("std::runtime_error").
std::string exceptionTypeName(const std::exception& e);

// The report of an exception that reached a thread's outermost code:
// "Uncaught Exception %s in <place>! >>%s<<\n", e.g. place "Thread" or "Main Thread".
void logUncaughtException(const std::exception& e, const char* place);

} // namespace sonorix
