#pragma once
// Synthetic scenes with markers at known places: for the tests, the benchmark and the demo.

#include <vector>

#include <opencv2/core.hpp>

#include "detection.h"

// A filled square of one marker color.
struct SceneMarker {
    MarkerColor color;
    cv::Point topLeft;
    int side;
};

// A BGR color that the default thresholds accept for `color` and for no other color.
cv::Scalar markerBgr(MarkerColor color);

// Draws the markers, in order, over a plain gray scene; with noiseSeed >= 0, over a textured,
// noisy background of low saturation that no default range accepts.
cv::Mat drawScene(cv::Size size, const std::vector<SceneMarker>& markers, int noiseSeed = -1);

// Where the frame step places a lone marker square lying at least 3 px inside the frame. Erosion
// takes 1 px from each side and the 8x8 dilation adds 3 px left and above and 4 px right and
// below, so the blob spans topLeft - 2 .. topLeft + side + 2 and its center truncates to
// topLeft + side / 2.
MarkerPosition expectedCenter(const SceneMarker& marker);

// The markers of frame `index` of the demo: the green reference drifting slowly, the red mouth
// swinging across the upper half, the blue bowl moving along the bottom and out of sight for a
// few frames.
std::vector<SceneMarker> demoMarkers(int index);
constexpr int demoFrameCount = 24;
const cv::Size demoFrameSize(320, 240);
