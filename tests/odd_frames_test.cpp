// Frames a camera or recording may deliver that are not the usual 8-bit color picture: tiny,
// changing size, gray, with alpha, or of another depth. None may bring the step down.
#include <gtest/gtest.h>

#include <deque>
#include <sstream>

#include <opencv2/imgproc.hpp>

#include "command_file.h"
#include "frame_loop.h"
#include "report_line.h"
#include "scene.h"
#include "test_support.h"

namespace {

using OddFrames = FrameStepTest;

cv::Mat filled(cv::Size size, MarkerColor color) {
    return cv::Mat(size, CV_8UC3, markerBgr(color));
}

TEST_F(OddFrames, TinyFramesAreProcessed) {
    // A frame filled with green: its outline runs through the corner pixel centers, so the
    // center is half the last index, truncated. A 1x1 outline has no area and finds nothing; a
    // 2x2 one finds green at (0, 0), which reads like nothing found but starts the command file.
    struct Case {
        cv::Size size;
        bool found;
        MarkerPosition green;
    };
    const Case cases[] = {
        {{1, 1}, false, {0, 0}},
        {{2, 2}, true, {0, 0}},
        {{3, 3}, true, {1, 1}},
        {{7, 5}, true, {3, 2}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size);
        markerEverFound = 0;
        context.positions[Green] = {};
        report.str("");
        std::filesystem::remove(outputs.commandFile.path);
        EXPECT_EQ(run({cv::Mat(c.size, CV_8UC3, cv::Scalar(128, 128, 128)), filled(c.size, Green)}),
                  2);
        EXPECT_EQ(report.str(),
                  formatPositionReport({}, {}, {}) + formatPositionReport(c.green, {}, {}));
        EXPECT_EQ(markerEverFound, c.found ? 1 : 0);
        EXPECT_EQ(readFile(outputs.commandFile.path),
                  c.found ? formatCommandFile(c.green, {}, {}) : "");
        EXPECT_EQ(std::filesystem::exists(outputs.commandFile.path), c.found);
        EXPECT_EQ(context.greenMask.size(), c.size);
    }
    EXPECT_EQ(messages.str(), "");
}

TEST_F(OddFrames, SizeChangesBetweenFrames) {
    const cv::Size sizes[] = {{640, 480}, {320, 240}, {1920, 1080}};
    std::deque<cv::Mat> frames;
    std::string expected;
    for (const cv::Size& size : sizes) {
        const std::vector<SceneMarker> markers = {{Green, {size.width / 2, size.height / 2}, 20},
                                                  {Red, {size.width / 4, 30}, 12},
                                                  {Blue, {30, size.height - 40}, 16}};
        frames.push_back(drawScene(size, markers, 3));
        MarkerPosition p[markerColorCount];
        for (const SceneMarker& marker : markers) {
            p[marker.color] = expectedCenter(marker);
        }
        expected += formatPositionReport(p[Green], p[Red], p[Blue]);
    }
    EXPECT_EQ(run(frames), 3);
    EXPECT_EQ(report.str(), expected);
    EXPECT_EQ(context.hsvFrame.size(), cv::Size(1920, 1080));
    EXPECT_EQ(messages.str(), "");
}

TEST_F(OddFrames, GrayAndAlphaFramesAreConvertedOtherDepthsSkipped) {
    const SceneMarker marker{Blue, {40, 50}, 14};
    const cv::Mat color = drawScene({160, 120}, {marker});
    cv::Mat gray, alpha, deep;
    cv::cvtColor(color, gray, cv::COLOR_BGR2GRAY);
    cv::cvtColor(color, alpha, cv::COLOR_BGR2BGRA);
    color.convertTo(deep, CV_16UC3, 256);

    EXPECT_EQ(run({gray, gray, alpha, alpha, deep, deep, color}), 5);
    const std::string found = formatPositionReport({}, {}, expectedCenter(marker));
    const std::string nothing = formatPositionReport({}, {}, {});
    // Gray frames show no marker color; the alpha frame shows the blue marker.
    EXPECT_EQ(report.str(), nothing + nothing + found + found + found);
    EXPECT_EQ(messages.str(),
              "Frames arrive as 1-channel images; converting them to color.\n"
              "Frames arrive as 4-channel images; converting them to color.\n"
              "Frames arrive in an unsupported format (CV_16UC3); skipping them.\n");
}

}  // namespace
