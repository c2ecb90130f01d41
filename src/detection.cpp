#include "detection.h"

#include <vector>

#include <opencv2/imgproc.hpp>

int markerEverFound = 0;

void convertToHsv(const cv::Mat& cameraFeed, cv::Mat& hsvFrame) {
    cv::cvtColor(cameraFeed, hsvFrame, cv::COLOR_BGR2HSV);
}

void extractMask(const cv::Mat& hsvFrame, const HsvRange& range, cv::Mat& mask) {
    const cv::Scalar lower(range.hMin, range.sMin, range.vMin, 0);
    const cv::Scalar upper(range.hMax, range.sMax, range.vMax, 0);
    cv::inRange(hsvFrame, lower, upper, mask);

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
    const cv::Scalar green(0, 255, 0);
    cv::putText(cameraFeed, "Tracking Object", cv::Point(0, 50), cv::FONT_HERSHEY_DUPLEX, 1.0,
                green, 2, cv::LINE_8);
    cv::circle(cameraFeed, cv::Point(position.x, position.y), 10, green, 2, cv::LINE_8, 0);
    markerEverFound = 1;
}
