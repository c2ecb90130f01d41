// The slider panels, created for real (under a virtual display) and read back through OpenCV.
#include <gtest/gtest.h>

#include <opencv2/highgui.hpp>

#include "thresholds.h"

namespace {

const char* const labels[6] = {"H_MIN", "H_MAX", "S_MIN", "S_MAX", "V_MIN", "V_MAX"};

int& entry(HsvRange& range, int slider) {
    int* const entries[6] = {&range.hMin, &range.hMax, &range.sMin,
                             &range.sMax, &range.vMin, &range.vMax};
    return *entries[slider];
}

TEST(ThresholdTable, StartsWithTheDefaults) {
    // Green, Red, Blue, each hMin hMax sMin sMax vMin vMax.
    const int expected[3][6] = {
        {43, 70, 86, 143, 87, 143},
        {174, 186, 172, 234, 186, 256},
        {95, 115, 179, 218, 133, 181},
    };
    for (int color = 0; color < markerColorCount; ++color) {
        for (int slider = 0; slider < 6; ++slider) {
            SCOPED_TRACE(std::string(markerColorName(MarkerColor(color))) + " " + labels[slider]);
            EXPECT_EQ(entry(thresholdTable[color], slider), expected[color][slider]);
        }
    }
}

// One process, one set of panels: the cases below run in order on the same sliders.
class Panels : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        createThresholdPanels();
        cv::waitKey(1);
    }
};

TEST_F(Panels, SlidersStartAtTheTableEntries) {
    for (MarkerColor color : {Green, Red, Blue}) {
        for (int slider = 0; slider < 6; ++slider) {
            SCOPED_TRACE(thresholdPanelName(color) + " " + labels[slider]);
            EXPECT_EQ(cv::getTrackbarPos(labels[slider], thresholdPanelName(color)),
                      entry(thresholdTable[color], slider));
            HsvRange defaults = defaultThresholds[color];
            EXPECT_EQ(entry(thresholdTable[color], slider), entry(defaults, slider));
        }
    }
}

TEST_F(Panels, PanelsAreResizable) {
    for (MarkerColor color : {Green, Red, Blue}) {
        SCOPED_TRACE(thresholdPanelName(color));
        EXPECT_EQ(cv::getWindowProperty(thresholdPanelName(color), cv::WND_PROP_AUTOSIZE),
                  cv::WINDOW_NORMAL);
    }
}

TEST_F(Panels, MovesLandInTheTableClampedToTheTrackEnd) {
    // Each channel's two sliders end at that channel's default upper bound.
    const int trackEnd[3][3] = {{70, 143, 143}, {186, 234, 256}, {115, 218, 181}};
    for (MarkerColor color : {Green, Red, Blue}) {
        for (int slider = 0; slider < 6; ++slider) {
            SCOPED_TRACE(thresholdPanelName(color) + " " + labels[slider]);
            const std::string panel = thresholdPanelName(color);
            cv::setTrackbarPos(labels[slider], panel, 5);
            EXPECT_EQ(entry(thresholdTable[color], slider), 5);
            cv::setTrackbarPos(labels[slider], panel, 1000);
            EXPECT_EQ(cv::getTrackbarPos(labels[slider], panel), trackEnd[color][slider / 2]);
            EXPECT_EQ(entry(thresholdTable[color], slider), trackEnd[color][slider / 2]);
        }
    }
    // Tracks stay as created when an upper bound comes down.
    cv::setTrackbarPos("H_MAX", "trackbars green", 10);
    cv::setTrackbarPos("H_MIN", "trackbars green", 60);
    EXPECT_EQ(thresholdTable[Green].hMin, 60);
    EXPECT_EQ(thresholdTable[Green].hMax, 10);
}

}  // namespace
