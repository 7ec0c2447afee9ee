#pragma once

// What the debug output and the CSV export make of the model: text for support and analysis.

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace sonorix {

class FilterAndSortable;
class SonorixAlbum;
class SonorixGroup;
class SonorixModel;
class iTunesTrack;

namespace diagnostics {

// A row of the track list: an iTunesTrack or a SonorixAlbum. An album of one track is shown as
// that track, so it counts as its track row here too.
using Row = std::shared_ptr<FilterAndSortable>;

// The track section of the debug output, one entry per log line. perceivedLoudness is the
// setting "PerceivedLoudness". "size" is the file's size from stat(2), -1 when it cannot be
// read; "movie" is the library entry's "Movie" flag.
std::vector<std::string> trackDebugLines(SonorixModel& model, iTunesTrack& track,
                                         double perceivedLoudness);
// The album section; the album's status is recomputed first.
std::vector<std::string> albumDebugLines(SonorixModel& model, const SonorixAlbum& album,
                                         double perceivedLoudness);
// The sections of the rows in their order.
std::vector<std::string> debugLines(SonorixModel& model, const std::vector<Row>& rows,
                                    double perceivedLoudness);
// Each line as one log entry.
void logDebugLines(const std::vector<std::string>& lines);

// The rows that stand for whole groups: per group in the given order, per album in album order,
// the album when it has more than one track, then each of its tracks.
std::vector<Row> exportRows(const std::vector<std::shared_ptr<SonorixGroup>>& groups);

// "%lf" with its first full stop made a comma, in double quotes.
std::string csvNumber(double value);
// In double quotes, each double quote doubled.
std::string csvText(std::string_view utf8);

// The CSV export of the rows (a track line per track row, an album line per album row) as the
// file holds it: UTF-8 with a byte-order mark, so that spreadsheet programs take it as UTF-8,
// and CR LF line ends.
std::string csvExport(SonorixModel& model, const std::vector<Row>& rows, double perceivedLoudness);

} // namespace diagnostics
} // namespace sonorix
