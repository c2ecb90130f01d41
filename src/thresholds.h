#pragma once
// The color ranges each marker's mask is cut with, and the slider panels that tune them live.

#include <string>

// Marker colors in processing order: the reference, the mouth, the bowl.
enum MarkerColor { Green, Red, Blue };
constexpr int markerColorCount = 3;

// The top of each channel's scale in OpenCV's 8-bit HSV images.
constexpr int hueTop = 179;
constexpr int saturationTop = 255;
constexpr int valueTop = 255;

// Inclusive bounds in OpenCV's 8-bit HSV units: hue 0-179, saturation and value 0-255. A hue
// range whose minimum lies above its maximum wraps around the end of the scale: hMin up to 179,
// then 0 up to hMax, for a red on both sides of 0. In saturation and value such a range is empty.
struct HsvRange {
    int hMin, hMax, sMin, sMax, vMin, vMax;
};

// Compiled-in starting values, in Green, Red, Blue order. Red's hMax and vMax lie above the
// scale on purpose: with inclusive bounds they leave red's hue and value open upwards.
constexpr HsvRange defaultThresholds[markerColorCount] = {
    {43, 70, 86, 143, 87, 143},
    {174, 186, 172, 234, 186, 256},
    {95, 115, 179, 218, 133, 181},
};

// The live table, Green, Red, Blue; starts as defaultThresholds in every run. Sliders write into
// these entries through their callbacks, so the entries never move.
extern HsvRange thresholdTable[markerColorCount];

// The six sliders' labels, in table order: "H_MIN", "H_MAX", "S_MIN", "S_MAX", "V_MIN", "V_MAX".
extern const char* const sliderLabels[6];

// The entry of `range` that slider number `slider` (in sliderLabels order) stands for.
int& thresholdEntry(HsvRange& range, int slider);
int thresholdEntry(const HsvRange& range, int slider);

// "green", "red" or "blue".
const char* markerColorName(MarkerColor color);

// "trackbars green" and so on: the window holding that color's six sliders.
std::string thresholdPanelName(MarkerColor color);

// The table as it stands, one line per color in slider order, e.g.
// "green: H_MIN 43 H_MAX 70 S_MIN 86 S_MAX 143 V_MIN 87 V_MAX 143\n".
std::string formatThresholdTable();

// Opens the three panels, Green, Red, Blue, each with six sliders "H_MIN" .. "V_MAX" bound to
// thresholdTable, placed in a column at the left of the layout screen (window_layout.h). A
// channel's two sliders run over the whole channel (hue 0-179, saturation and value 0-255), or
// to that channel's upper bound as it stands now where that lies beyond, for the rest of the
// run. Needs a display.
void createThresholdPanels();

// Makes again any panel the operator has closed, with the same tracks, its sliders where the
// table stands, and where it stood when closed as far as that is known; the table does not
// change. Does nothing before createThresholdPanels.
void restoreClosedPanels();

// Slider change callback: stores the new position in the table entry passed as userData.
void onThresholdTrackbar(int position, void* userData);
