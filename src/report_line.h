#pragma once
// The per-frame coordinate line on standard output.

#include <iosfwd>
#include <string>

#include "detection.h"

// The report line, newline included:
// "RED:(x,y) GRN:(x,y) BLU:(x,y) Deltas: y=(red-green,red-blue) z=(red-green,red-blue)".
std::string formatPositionReport(const MarkerPosition& green, const MarkerPosition& red,
                                 const MarkerPosition& blue);

// Writes the report line to `out` and flushes it, so a reader on a pipe has it as the frame ends.
void writePositionReport(const MarkerPosition& green, const MarkerPosition& red,
                         const MarkerPosition& blue, std::ostream& out);
