#pragma once
// The per-frame report line and the command file read by the wheelchair-side program.

#include <iosfwd>
#include <string>

#include "detection.h"

// Where the command file goes, relative to the working directory.
constexpr const char* commandFilePath = "../../wheelchair_commands.txt";

// The report line, newline included:
// "RED:(x,y) GRN:(x,y) BLU:(x,y) Deltas: y=(red-green,red-blue) z=(red-green,red-blue)".
std::string formatPositionReport(const MarkerPosition& green, const MarkerPosition& red,
                                 const MarkerPosition& blue);

// Writes the report line to `out` and flushes it, so a reader on a pipe has it as the frame ends.
void writePositionReport(const MarkerPosition& green, const MarkerPosition& red,
                         const MarkerPosition& blue, std::ostream& out);

// The command file's four lines: bowl y, bowl z, mouth y, mouth z, each the green reference's
// coordinate minus the target's, times 100.
std::string formatCommandFile(const MarkerPosition& green, const MarkerPosition& red,
                              const MarkerPosition& blue);

// Replaces the file at `path` with `content` in one step: a reader sees the old content or the
// new, never a mix. Writes a fresh, exclusively created file beside it and renames it over.
// Returns an empty string on success, otherwise what went wrong; no temporary file is left.
std::string replaceFile(const std::string& path, const std::string& content);

// The command file's place and whether the last attempt to write it failed.
struct CommandFile {
    std::string path = commandFilePath;
    bool failing = false;
};

// Once markerEverFound is 1, replaces the command file with the lines for these positions;
// before that leaves it alone. A failure is told on `messages` once, with its reason, and the
// recovery once; every call tries again.
void writeCommandFile(const MarkerPosition& green, const MarkerPosition& red,
                      const MarkerPosition& blue, CommandFile& file, std::ostream& messages);
