#pragma once
// Turning a camera frame into one cleaned mask per marker color, and a mask into a position.
// Pure image work: no window, camera or file is touched.

#include <string>

#include <opencv2/core.hpp>

#include "thresholds.h"

// Image pixels, origin top-left, x to the right, y downward. (0, 0) until first found.
struct MarkerPosition {
    int x = 0;
    int y = 0;
};

// 0 until any marker has been located in any frame, then 1 for the rest of the run.
extern int markerEverFound;

// Converts an 8-bit BGR frame to 8-bit HSV (hue 0-179), once per frame before any drawing.
void convertToHsv(const cv::Mat& cameraFeed, cv::Mat& hsvFrame);

// Overwrites `mask` with 255 where every channel of hsvFrame lies inside `range` (both ends
// included) and 0 elsewhere, then erodes once with a 3x3 and dilates once with an 8x8
// rectangle, default anchors and border. A hue range with hMin above hMax wraps: the mask is then
// the union of the tests for hMin-179 and for 0-hMax, each with the same saturation and value.
void extractMask(const cv::Mat& hsvFrame, const HsvRange& range, cv::Mat& mask);

// Outlines the blobs of a copy of `mask` and walks the outer outlines from the first along
// their next-sibling links; each one with a nonzero area overwrites `position` with its center,
// truncated toward zero, so the last one reached wins. On a find, draws the "Tracking Object"
// label and a circle at the position onto cameraFeed and raises markerEverFound. Holes are never
// visited; with nothing found nothing changes.
void locateMarker(MarkerPosition& position, cv::Mat mask, cv::Mat& cameraFeed);

// What a click at `point` on the windows tells the operator, one line without its line end:
// the pixel's hue, saturation and value in hsvFrame and, for each color, "inside" its range in
// `table` or every bound that keeps it out, in slider order, e.g. "pixel (250,200): H 55 S 115
// V 115 | green: inside | red: H 55 below H_MIN 174, S 115 below S_MIN 172, V 115 below V_MIN
// 186 | ...". A wrapped hue range is told as its two spans: "H 60 outside 170-179 and 0-8".
// Says so plainly when hsvFrame is empty (no frame yet) or the point lies outside it.
std::string describePixel(const cv::Mat& hsvFrame, cv::Point point,
                          const HsvRange (&table)[markerColorCount]);
