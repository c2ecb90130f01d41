#include "scene.h"

#include <opencv2/imgproc.hpp>

cv::Scalar markerBgr(MarkerColor color) {
    // Picked in HSV near the middle of each default range, then converted once.
    static const cv::Vec3b hsv[markerColorCount] = {
        {56, 115, 115}, {177, 203, 220}, {105, 198, 157}};
    cv::Mat pixel(1, 1, CV_8UC3, cv::Scalar(hsv[color][0], hsv[color][1], hsv[color][2]));
    cv::cvtColor(pixel, pixel, cv::COLOR_HSV2BGR);
    const cv::Vec3b bgr = pixel.at<cv::Vec3b>(0, 0);
    return cv::Scalar(bgr[0], bgr[1], bgr[2]);
}

cv::Mat drawScene(cv::Size size, const std::vector<SceneMarker>& markers, int noiseSeed) {
    cv::Mat scene(size, CV_8UC3, cv::Scalar(128, 128, 128));
    if (noiseSeed >= 0) {
        // A soft diagonal shading plus per-channel noise: low saturation, like a room.
        for (int y = 0; y < size.height; ++y) {
            for (int x = 0; x < size.width; ++x) {
                const int shade = 70 + (x + y) * 100 / (size.width + size.height);
                scene.at<cv::Vec3b>(y, x) = cv::Vec3b(shade, shade + 6, shade + 10);
            }
        }
        cv::Mat noise(size, CV_8UC3);
        cv::RNG rng(static_cast<uint64>(noiseSeed));
        rng.fill(noise, cv::RNG::UNIFORM, cv::Scalar::all(0), cv::Scalar::all(12));
        scene += noise;
    }
    for (const SceneMarker& marker : markers) {
        cv::rectangle(scene, cv::Rect(marker.topLeft, cv::Size(marker.side, marker.side)),
                      markerBgr(marker.color), cv::FILLED);
    }
    return scene;
}

MarkerPosition expectedCenter(const SceneMarker& marker) {
    return {marker.topLeft.x + marker.side / 2, marker.topLeft.y + marker.side / 2};
}

std::vector<SceneMarker> demoMarkers(int index) {
    static const int swing[] = {0, 12, 24, 36, 48, 60, 72, 84, 96, 108, 120, 132};
    const int phase = index % 22;
    const int redStep = phase < 12 ? swing[phase] : swing[22 - phase - 1];
    std::vector<SceneMarker> markers = {
        {Green, {40 + index, 100 + index / 3}, 18},
        {Red, {120 + redStep, 30 + (index % 6) * 4}, 16},
    };
    if (index < 14 || index > 17) {
        markers.push_back({Blue, {60 + index * 8, 180}, 20});
    }
    return markers;
}
