// The threshold table and its slider panels, created for real (under a virtual display) and
// read back through OpenCV. Each test starts from fresh panels and the default table, so the
// tests pass in any order.
#include <gtest/gtest.h>

#include <opencv2/highgui.hpp>

#include "thresholds.h"

namespace {

void resetTable() {
    std::copy(std::begin(defaultThresholds), std::end(defaultThresholds), thresholdTable);
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
            SCOPED_TRACE(std::string(markerColorName(MarkerColor(color))) + " " +
                         sliderLabels[slider]);
            EXPECT_EQ(thresholdEntry(thresholdTable[color], slider), expected[color][slider]);
        }
    }
}

TEST(ThresholdTable, IsToldOneLinePerColorInSliderOrder) {
    resetTable();
    thresholdTable[Red].vMax = 200;
    EXPECT_EQ(formatThresholdTable(),
              "green: H_MIN 43 H_MAX 70 S_MIN 86 S_MAX 143 V_MIN 87 V_MAX 143\n"
              "red: H_MIN 174 H_MAX 186 S_MIN 172 S_MAX 234 V_MIN 186 V_MAX 200\n"
              "blue: H_MIN 95 H_MAX 115 S_MIN 179 S_MAX 218 V_MIN 133 V_MAX 181\n");
    resetTable();
}

class Panels : public ::testing::Test {
protected:
    void SetUp() override {
        resetTable();
        createThresholdPanels();
        cv::waitKey(1);
    }
    void TearDown() override {
        cv::destroyAllWindows();
        cv::waitKey(1);
        resetTable();
    }

    // Every slider shows its table entry.
    static void expectSlidersShowTheTable() {
        for (MarkerColor color : {Green, Red, Blue}) {
            for (int slider = 0; slider < 6; ++slider) {
                SCOPED_TRACE(thresholdPanelName(color) + " " + sliderLabels[slider]);
                EXPECT_EQ(cv::getTrackbarPos(sliderLabels[slider], thresholdPanelName(color)),
                          thresholdEntry(thresholdTable[color], slider));
            }
        }
    }

    // Each channel's two sliders run over the whole channel, or to red's built-in hue and value
    // maxima, which lie beyond it.
    static constexpr int trackEnd[3][3] = {{179, 255, 255}, {186, 255, 256}, {179, 255, 255}};
};

TEST_F(Panels, SlidersStartAtTheTableEntries) {
    expectSlidersShowTheTable();
    for (MarkerColor color : {Green, Red, Blue}) {
        HsvRange defaults = defaultThresholds[color];
        for (int slider = 0; slider < 6; ++slider) {
            EXPECT_EQ(thresholdEntry(thresholdTable[color], slider),
                      thresholdEntry(defaults, slider));
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
    for (MarkerColor color : {Green, Red, Blue}) {
        for (int slider = 0; slider < 6; ++slider) {
            SCOPED_TRACE(thresholdPanelName(color) + " " + sliderLabels[slider]);
            const std::string panel = thresholdPanelName(color);
            cv::setTrackbarPos(sliderLabels[slider], panel, 5);
            EXPECT_EQ(thresholdEntry(thresholdTable[color], slider), 5);
            cv::setTrackbarPos(sliderLabels[slider], panel, 1000);
            EXPECT_EQ(cv::getTrackbarPos(sliderLabels[slider], panel), trackEnd[color][slider / 2]);
            EXPECT_EQ(thresholdEntry(thresholdTable[color], slider), trackEnd[color][slider / 2]);
        }
    }
    // Tracks stay as created when an upper bound comes down.
    cv::setTrackbarPos("H_MAX", "trackbars green", 10);
    cv::setTrackbarPos("H_MIN", "trackbars green", 60);
    EXPECT_EQ(thresholdTable[Green].hMin, 60);
    EXPECT_EQ(thresholdTable[Green].hMax, 10);
}

TEST_F(Panels, APanelThatIsGoneIsMadeAgainAsItWas) {
    // Tuned first: green's hue range narrowed, red's saturation floor raised.
    cv::setTrackbarPos("H_MAX", "trackbars green", 60);
    cv::setTrackbarPos("H_MIN", "trackbars green", 50);
    cv::setTrackbarPos("S_MIN", "trackbars red", 200);
    HsvRange tuned[markerColorCount];
    std::copy(std::begin(thresholdTable), std::end(thresholdTable), tuned);

    cv::destroyWindow("trackbars green");
    cv::waitKey(1);
    restoreClosedPanels();
    cv::waitKey(1);

    EXPECT_GT(cv::getWindowProperty("trackbars green", cv::WND_PROP_VISIBLE), 0);
    for (MarkerColor color : {Green, Red, Blue}) {
        for (int slider = 0; slider < 6; ++slider) {
            SCOPED_TRACE(thresholdPanelName(color) + " " + sliderLabels[slider]);
            EXPECT_EQ(thresholdEntry(thresholdTable[color], slider),
                      thresholdEntry(tuned[color], slider));
        }
    }
    expectSlidersShowTheTable();
    // The tracks still cover the whole channels, not the lowered H_MAX of 60.
    cv::setTrackbarPos("H_MAX", "trackbars green", 1000);
    EXPECT_EQ(thresholdTable[Green].hMax, 179);
    cv::setTrackbarPos("V_MAX", "trackbars green", 1000);
    EXPECT_EQ(thresholdTable[Green].vMax, 255);
}

TEST_F(Panels, PanelsOnScreenAreLeftAlone) {
    cv::setTrackbarPos("V_MIN", "trackbars blue", 150);
    restoreClosedPanels();
    EXPECT_EQ(thresholdTable[Blue].vMin, 150);
    expectSlidersShowTheTable();
}

}  // namespace
