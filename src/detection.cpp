#include "detection.h"

#include <vector>

#include <opencv2/imgproc.hpp>

int markerEverFound = 0;

namespace {

const char* const labelText = "Tracking Object";
const cv::Point labelOrigin(0, 50);
const cv::Scalar overlayColor(0, 255, 0);

// The label is the same text in the same place and color for every find, and rasterizing its
// thick Hershey strokes costs more than all the rest of the overlay. So it is rasterized once
// into a stencil anchored at the image origin, and each find sets the stencil's pixels: the very
// pixels putText would set, clipped the same way to the image.
const cv::Mat& labelStencil() {
    static const cv::Mat stencil = [] {
        int baseline = 0;
        const cv::Size text =
            cv::getTextSize(labelText, cv::FONT_HERSHEY_DUPLEX, 1.0, 2, &baseline);
        const int margin = 8;  // room for the stroke thickness beyond the nominal box
        cv::Mat canvas =
            cv::Mat::zeros(labelOrigin.y + baseline + margin, text.width + margin, CV_8UC1);
        cv::putText(canvas, labelText, labelOrigin, cv::FONT_HERSHEY_DUPLEX, 1.0, cv::Scalar(255),
                    2, cv::LINE_8);
        return canvas;
    }();
    return stencil;
}

void drawLabel(cv::Mat& cameraFeed) {
    const cv::Mat& stencil = labelStencil();
    const cv::Rect area = cv::Rect(0, 0, stencil.cols, stencil.rows) &
                          cv::Rect(0, 0, cameraFeed.cols, cameraFeed.rows);
    cameraFeed(area).setTo(overlayColor, stencil(area));
}

}  // namespace

void convertToHsv(const cv::Mat& cameraFeed, cv::Mat& hsvFrame) {
    cv::cvtColor(cameraFeed, hsvFrame, cv::COLOR_BGR2HSV);
}

void extractMask(const cv::Mat& hsvFrame, const HsvRange& range, cv::Mat& mask) {
    if (range.hMin <= range.hMax) {
        const cv::Scalar lower(range.hMin, range.sMin, range.vMin, 0);
        const cv::Scalar upper(range.hMax, range.sMax, range.vMax, 0);
        cv::inRange(hsvFrame, lower, upper, mask);
    } else {
        // A hue range that wraps: from hMin to the top of the scale, and from 0 to hMax.
        cv::Mat belowZero;
        cv::inRange(hsvFrame, cv::Scalar(range.hMin, range.sMin, range.vMin, 0),
                    cv::Scalar(hueTop, range.sMax, range.vMax, 0), belowZero);
        cv::inRange(hsvFrame, cv::Scalar(0, range.sMin, range.vMin, 0),
                    cv::Scalar(range.hMax, range.sMax, range.vMax, 0), mask);
        mask |= belowZero;
    }

    const cv::Mat erodeElement = cv::getStructuringElement(cv::MORPH_RECT, cv::Size(3, 3));
    const cv::Mat dilateElement = cv::getStructuringElement(cv::MORPH_RECT, cv::Size(8, 8));
    // The default border value counts as "inside" for erosion, so blobs touching the edge survive.
    cv::erode(mask, mask, erodeElement);
    cv::dilate(mask, mask, dilateElement);
}

void locateMarker(MarkerPosition& position, cv::Mat mask, cv::Mat& cameraFeed) {
    // The search scribbles on its input; the caller's mask is still to be shown.
    cv::Mat searched = mask.clone();
    std::vector<std::vector<cv::Point>> contours;
    std::vector<cv::Vec4i> hierarchy;
    cv::findContours(searched, contours, hierarchy, cv::RETR_CCOMP, cv::CHAIN_APPROX_SIMPLE);

    bool found = false;
    // Only the top level is walked: outer outlines. Holes hang one level below and are skipped.
    for (int index = hierarchy.empty() ? -1 : 0; index >= 0; index = hierarchy[index][0]) {
        const cv::Moments moments = cv::moments(contours[index]);
        // A line or a lone point outlines no area and has no center.
        if (moments.m00 == 0) {
            continue;
        }
        position.x = static_cast<int>(moments.m10 / moments.m00);
        position.y = static_cast<int>(moments.m01 / moments.m00);
        found = true;
    }
    if (!found) {
        return;
    }
    drawLabel(cameraFeed);
    cv::circle(cameraFeed, cv::Point(position.x, position.y), 10, overlayColor, 2, cv::LINE_8, 0);
    markerEverFound = 1;
}

std::string describePixel(const cv::Mat& hsvFrame, cv::Point point,
                          const HsvRange (&table)[markerColorCount]) {
    std::string line = "pixel (" + std::to_string(point.x) + "," + std::to_string(point.y) + "): ";
    if (hsvFrame.empty()) {
        return line + "no frame has been processed yet";
    }
    if (!cv::Rect(0, 0, hsvFrame.cols, hsvFrame.rows).contains(point)) {
        return line + "outside the " + std::to_string(hsvFrame.cols) + "x" +
               std::to_string(hsvFrame.rows) + " image";
    }
    const cv::Vec3b pixel = hsvFrame.at<cv::Vec3b>(point);
    const char channelNames[3] = {'H', 'S', 'V'};
    for (int channel = 0; channel < 3; ++channel) {
        line += std::string(channel ? " " : "") + channelNames[channel] + " " +
                std::to_string(pixel[channel]);
    }
    for (MarkerColor color : {Green, Red, Blue}) {
        const HsvRange& range = table[color];
        std::string verdict;
        const auto keptOut = [&verdict](const std::string& why) {
            verdict += (verdict.empty() ? "" : ", ") + why;
        };
        // Slider order: each channel's minimum, then its maximum; every bound that keeps the
        // pixel out is named.
        for (int i = 0; i < 6; ++i) {
            const int channel = i / 2;
            const int value = pixel[channel];
            const std::string read =
                std::string(1, channelNames[channel]) + " " + std::to_string(value);
            if (channel == 0 && range.hMin > range.hMax) {
                // A wrapped hue range is one test, told once, as the two spans it covers.
                if (i == 0 && value < range.hMin && value > range.hMax) {
                    keptOut(read + " outside " +
                            (range.hMin <= hueTop ? std::to_string(range.hMin) + "-" +
                                                        std::to_string(hueTop) + " and "
                                                  : std::string()) +
                            "0-" + std::to_string(range.hMax));
                }
                continue;
            }
            const int bound = thresholdEntry(range, i);
            const bool isMinimum = i % 2 == 0;
            if (isMinimum ? value < bound : value > bound) {
                keptOut(read + (isMinimum ? " below " : " above ") + sliderLabels[i] + " " +
                        std::to_string(bound));
            }
        }
        if (verdict.empty()) {
            verdict = "inside";
        }
        line += std::string(" | ") + markerColorName(color) + ": " + verdict;
    }
    return line;
}
