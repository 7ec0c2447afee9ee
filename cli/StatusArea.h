#pragma once

#include <chrono>
#include <cstdio>
#include <functional>
#include <string>

namespace sonorix::cli {

// What the display bar holds at one moment.
struct StatusSnapshot {
    std::string text;   // the message's first line
    std::string detail; // its second line
    bool hasProgress = false;
    double fraction = 0; // 0…1, or -1 while indeterminate
    double speed = -1;   // audio seconds per second, -1 while no analysis runs
    double elapsed = 0;  // seconds since the work began
};

// "1:05", "12:00:07"; "--:--" for a negative or unknown time.
std::string formatDuration(double seconds);
// The estimate of the time left from the fraction done so far; -1 while unknown.
double remainingSeconds(double fraction, double elapsed);
// The progress line: a bar of `barWidth` cells, the percentage, the analysis speed as
// "×N real time", elapsed and remaining time.
std::string formatProgressLine(const StatusSnapshot& status, int barWidth);
// Cuts text to at most `columns` characters (UTF-8 aware), marking a cut with "…".
std::string fitColumns(const std::string& text, size_t columns);

// The live status of the console front end on standard error. On a terminal the message's two
// lines and the progress line are redrawn in place, at most ten times a second; otherwise the
// first line is written when it changes and the progress with the second line every
// `plainInterval` seconds.
class StatusArea {
public:
    using Clock = std::function<double()>;

    StatusArea(std::FILE* out, bool terminal, Clock clock = {}, double plainInterval = 10.0);
    ~StatusArea();

    // Draws the snapshot (or skips it when the last drawing was too recent, unless forced).
    void update(const StatusSnapshot& status, bool force = false);
    // Removes the live area so that ordinary output can follow; the next update draws anew.
    void clear();
    bool isTerminal() const { return m_terminal; }

private:
    int columns() const;

    std::FILE* m_out;
    const bool m_terminal;
    Clock m_clock;
    const double m_plainInterval;
    int m_drawnLines = 0;
    double m_lastDraw = -1e9;
    double m_lastPlainProgress = -1e9;
    std::string m_lastText;
};

} // namespace sonorix::cli
