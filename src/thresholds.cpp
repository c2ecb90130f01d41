#include "thresholds.h"

#include <opencv2/highgui.hpp>

HsvRange thresholdTable[markerColorCount] = {
    defaultThresholds[Green],
    defaultThresholds[Red],
    defaultThresholds[Blue],
};

const char* markerColorName(MarkerColor color) {
    static const char* const names[markerColorCount] = {"green", "red", "blue"};
    return names[color];
}

std::string thresholdPanelName(MarkerColor color) {
    return std::string("trackbars ") + markerColorName(color);
}

void onThresholdTrackbar(int position, void* userData) {
    *static_cast<int*>(userData) = position;
}

void createThresholdPanels() {
    static const char* const labels[6] = {"H_MIN", "H_MAX", "S_MIN", "S_MAX", "V_MIN", "V_MAX"};
    for (MarkerColor color : {Green, Red, Blue}) {
        HsvRange& range = thresholdTable[color];
        const std::string panel = thresholdPanelName(color);
        cv::namedWindow(panel, 0);
        int* const entries[6] = {&range.hMin, &range.hMax, &range.sMin,
                                 &range.sMax, &range.vMin, &range.vMax};
        // Read before any slider exists: the tracks end where the upper bounds stand at creation.
        const int trackEnds[6] = {range.hMax, range.hMax, range.sMax,
                                  range.sMax, range.vMax, range.vMax};
        for (int i = 0; i < 6; ++i) {
            const int start = *entries[i];
            cv::createTrackbar(labels[i], panel, nullptr, trackEnds[i], onThresholdTrackbar,
                               entries[i]);
            // A slider made without a value pointer starts at 0. Placing it fires the callback,
            // so the entry ends up holding exactly what the slider shows, clamped to its track.
            cv::setTrackbarPos(labels[i], panel, start);
        }
    }
}
