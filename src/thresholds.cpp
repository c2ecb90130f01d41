#include "thresholds.h"

#include <algorithm>
#include <iterator>

#include <opencv2/highgui.hpp>

#include "window_layout.h"

HsvRange thresholdTable[markerColorCount] = {
    defaultThresholds[Green],
    defaultThresholds[Red],
    defaultThresholds[Blue],
};

const char* const sliderLabels[6] = {"H_MIN", "H_MAX", "S_MIN", "S_MAX", "V_MIN", "V_MAX"};

int& thresholdEntry(HsvRange& range, int slider) {
    int* const entries[6] = {&range.hMin, &range.hMax, &range.sMin,
                             &range.sMax, &range.vMin, &range.vMax};
    return *entries[slider];
}

int thresholdEntry(const HsvRange& range, int slider) {
    return thresholdEntry(const_cast<HsvRange&>(range), slider);
}

namespace {

// Each slider's track end, fixed when the panels are first made, so a panel made again after
// the operator closed it has the same tracks.
int trackEnds[markerColorCount][6];
bool panelsMade = false;

// Where each panel's frame goes when it is made: its place in the layout at first, then
// wherever it stood when the operator closed it.
cv::Point panelPlaces[markerColorCount];

void makePanel(MarkerColor color) {
    HsvRange& range = thresholdTable[color];
    const std::string panel = thresholdPanelName(color);
    // The plain style: the toolkit's expanded one brings a save dialog (Ctrl+S) and a
    // properties dialog (Ctrl+P) that would hold the loop still while open.
    cv::namedWindow(panel, cv::WINDOW_NORMAL | cv::WINDOW_GUI_NORMAL);
    for (int i = 0; i < 6; ++i) {
        int& entry = thresholdEntry(range, i);
        const int start = entry;
        cv::createTrackbar(sliderLabels[i], panel, nullptr, trackEnds[color][i],
                           onThresholdTrackbar, &entry);
        // A slider made without a value pointer starts at 0. Placing it fires the callback,
        // so the entry ends up holding exactly what the slider shows, clamped to its track.
        cv::setTrackbarPos(sliderLabels[i], panel, start);
    }
    // A panel shows no image: its image area is shrunk away, leaving the sliders.
    cv::resizeWindow(panel, 400, 1);
    placeNewWindow(panel, panelPlaces[color]);
}

}  // namespace

const char* markerColorName(MarkerColor color) {
    static const char* const names[markerColorCount] = {"green", "red", "blue"};
    return names[color];
}

std::string thresholdPanelName(MarkerColor color) {
    return std::string("trackbars ") + markerColorName(color);
}

std::string formatThresholdTable() {
    std::string table;
    for (MarkerColor color : {Green, Red, Blue}) {
        table += markerColorName(color);
        table += ':';
        for (int i = 0; i < 6; ++i) {
            table += std::string(" ") + sliderLabels[i] + " " +
                     std::to_string(thresholdEntry(thresholdTable[color], i));
        }
        table += '\n';
    }
    return table;
}

void onThresholdTrackbar(int position, void* userData) {
    *static_cast<int*>(userData) = position;
}

void createThresholdPanels() {
    const WindowPlaces places = planWindowPlaces(layoutScreen(), {});
    for (MarkerColor color : {Green, Red, Blue}) {
        // Each track covers its whole channel, or reaches further where the table's upper bound
        // as it stands now lies beyond the channel, so every slider starts where the table says.
        const HsvRange& range = thresholdTable[color];
        const int hue = std::max(hueTop, range.hMax);
        const int saturation = std::max(saturationTop, range.sMax);
        const int value = std::max(valueTop, range.vMax);
        const int ends[6] = {hue, hue, saturation, saturation, value, value};
        std::copy(std::begin(ends), std::end(ends), trackEnds[color]);
        panelPlaces[color] = places.panels[color].tl();
    }
    for (MarkerColor color : {Green, Red, Blue}) {
        makePanel(color);
    }
    panelsMade = true;
}

void restoreClosedPanels() {
    if (!panelsMade) {
        return;
    }
    for (MarkerColor color : {Green, Red, Blue}) {
        const std::string panel = thresholdPanelName(color);
        if (cv::getWindowProperty(panel, cv::WND_PROP_VISIBLE) > 0) {
            continue;
        }
        // A closed panel is only hidden, and the toolkit offers no way to show it again: it is
        // made anew, where it stood when it was closed. Its sliders take their places from the
        // table, which stays as it was.
        panelPlaces[color] = windowPlace(panel, panelPlaces[color]);
        const HsvRange kept = thresholdTable[color];
        if (cv::getWindowProperty(panel, cv::WND_PROP_AUTOSIZE) >= 0) {
            cv::destroyWindow(panel);
        }
        makePanel(color);
        thresholdTable[color] = kept;
    }
}
