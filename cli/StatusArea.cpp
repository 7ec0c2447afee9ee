#include "cli/StatusArea.h"

#include "processing/DisplayProgress.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>

namespace sonorix::cli {

std::string formatDuration(double seconds) {
    if (!(seconds >= 0) || seconds > 1e9) {
        return "--:--";
    }
    long total = std::lround(seconds);
    char buffer[32];
    if (total >= 3600) {
        std::snprintf(buffer, sizeof buffer, "%ld:%02ld:%02ld", total / 3600, total / 60 % 60,
                      total % 60);
    } else {
        std::snprintf(buffer, sizeof buffer, "%ld:%02ld", total / 60, total % 60);
    }
    return buffer;
}

double remainingSeconds(double fraction, double elapsed) {
    // Too early an estimate jumps about more than it helps.
    if (!(fraction > 0.005) || fraction > 1 || elapsed < 1) {
        return fraction >= 1 ? 0 : -1;
    }
    return elapsed * (1 - fraction) / fraction;
}

std::string formatProgressLine(const StatusSnapshot& status, int barWidth) {
    std::string line;
    if (barWidth > 0) {
        line += '[';
        if (status.fraction < 0) {
            // Indeterminate: a block that moves with the elapsed time.
            int position = static_cast<int>(std::fmod(status.elapsed * 4, barWidth));
            for (int i = 0; i < barWidth; ++i) {
                line += (i >= position && i < position + 3) ? "=" : " ";
            }
        } else {
            int filled =
                static_cast<int>(std::floor(std::clamp(status.fraction, 0.0, 1.0) * barWidth));
            for (int i = 0; i < barWidth; ++i) {
                line += i < filled ? "#" : "-";
            }
        }
        line += "] ";
    }
    char buffer[128];
    if (status.fraction >= 0) {
        std::snprintf(buffer, sizeof buffer, "%3d%%",
                      static_cast<int>(std::floor(std::clamp(status.fraction, 0.0, 1.0) * 100)));
        line += buffer;
    }
    if (status.speed > 0) {
        std::snprintf(buffer, sizeof buffer, "  ×%.0f real time", status.speed);
        line += buffer;
    }
    line += "  " + formatDuration(status.elapsed) + " elapsed";
    if (status.fraction >= 0) {
        line += "  " + formatDuration(remainingSeconds(status.fraction, status.elapsed)) + " left";
    }
    return line;
}

std::string fitColumns(const std::string& text, size_t columns) {
    size_t count = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if ((static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) {
            continue;
        }
        if (count == columns) {
            // Leave room for the mark by cutting at the previous character start.
            size_t cut = i;
            do {
                --cut;
            } while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80);
            return text.substr(0, cut) + "…";
        }
        ++count;
    }
    return text;
}

StatusArea::StatusArea(std::FILE* out, bool terminal, Clock clock, double plainInterval)
    : m_out(out), m_terminal(terminal), m_clock(clock ? std::move(clock) : currentSeconds),
      m_plainInterval(plainInterval) {}

StatusArea::~StatusArea() {
    clear();
}

int StatusArea::columns() const {
    winsize size{};
    if (ioctl(fileno(m_out), TIOCGWINSZ, &size) == 0 && size.ws_col >= 20) {
        return size.ws_col;
    }
    return 80;
}

void StatusArea::update(const StatusSnapshot& status, bool force) {
    double now = m_clock();
    if (!m_terminal) {
        // A log, not a display: the first line when it changes, and the progress with the
        // current detail every interval. Forcing starts the interval afresh only with a new
        // first line (a phase, not a message going away): worker lines take turns every few
        // seconds and would flood the log.
        const bool newText = status.text != m_lastText;
        if (newText) {
            if (!status.text.empty()) {
                std::fprintf(m_out, "%s\n", status.text.c_str());
            }
            m_lastText = status.text;
        }
        if (status.hasProgress && status.fraction >= 0 &&
            ((force && newText && !status.text.empty()) ||
             now - m_lastPlainProgress >= m_plainInterval)) {
            std::string line = formatProgressLine(status, 0);
            if (!status.detail.empty()) {
                line += "  " + status.detail;
            }
            std::fprintf(m_out, "%s\n", line.c_str());
            m_lastPlainProgress = now;
        }
        std::fflush(m_out);
        return;
    }
    if (!force && now - m_lastDraw < 0.1) {
        return;
    }
    m_lastDraw = now;
    size_t width = static_cast<size_t>(columns() - 1);
    std::string out;
    if (m_drawnLines > 1) {
        out += "\033[" + std::to_string(m_drawnLines - 1) + "A";
    }
    out += "\r";
    auto addLine = [&](const std::string& line, bool last) {
        out += "\033[K" + fitColumns(line, width);
        if (!last) {
            out += "\n";
        }
    };
    int barWidth = std::clamp(static_cast<int>(width) - 60, 10, 40);
    addLine(status.text, false);
    addLine(status.detail, !status.hasProgress);
    if (status.hasProgress) {
        addLine(formatProgressLine(status, barWidth), true);
    }
    int lines = status.hasProgress ? 3 : 2;
    // A shorter area than before leaves a stale line below it.
    if (m_drawnLines > lines) {
        out += "\n\033[K\033[1A";
    }
    m_drawnLines = lines;
    std::fputs(out.c_str(), m_out);
    std::fflush(m_out);
}

void StatusArea::clear() {
    if (!m_terminal || m_drawnLines == 0) {
        return;
    }
    std::string out;
    if (m_drawnLines > 1) {
        out += "\033[" + std::to_string(m_drawnLines - 1) + "A";
    }
    out += "\r\033[J";
    std::fputs(out.c_str(), m_out);
    std::fflush(m_out);
    m_drawnLines = 0;
    m_lastDraw = -1e9;
}

} // namespace sonorix::cli
