#include "report_line.h"

#include <cstdio>
#include <ostream>

std::string formatPositionReport(const MarkerPosition& green, const MarkerPosition& red,
                                 const MarkerPosition& blue) {
    char line[160];
    std::snprintf(line, sizeof line,
                  "RED:(%d,%d) GRN:(%d,%d) BLU:(%d,%d) Deltas: y=(%d,%d) z=(%d,%d)\n", red.x, red.y,
                  green.x, green.y, blue.x, blue.y, red.x - green.x, red.x - blue.x,
                  red.y - green.y, red.y - blue.y);
    return line;
}

void writePositionReport(const MarkerPosition& green, const MarkerPosition& red,
                         const MarkerPosition& blue, std::ostream& out) {
    out << formatPositionReport(green, red, blue) << std::flush;
}
