// Mask extraction and marker localization on synthetic images whose answer is known by
// construction.
#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

#include "detection.h"
#include "test_support.h"

namespace {

const HsvRange greenDefaults = defaultThresholds[Green];

cv::Mat uniformHsv(cv::Size size, cv::Vec3b hsv) {
    return cv::Mat(size, CV_8UC3, cv::Scalar(hsv[0], hsv[1], hsv[2]));
}

cv::Mat maskOf(const cv::Mat& hsv, const HsvRange& range) {
    cv::Mat mask;
    extractMask(hsv, range, mask);
    return mask;
}

// ---- extractMask ----

struct UniformCase {
    const char* name;
    HsvRange range;
    cv::Vec3b pixel;
    int expected;  // every mask pixel
};

TEST(ExtractMask, UniformFramesGiveAllOrNothingUpToTheEdges) {
    const UniformCase cases[] = {
        {"inside the range", greenDefaults, {56, 110, 110}, 255},
        {"every channel on its lower bound", greenDefaults, {43, 86, 87}, 255},
        {"every channel on its upper bound", greenDefaults, {70, 143, 143}, 255},
        {"hue one above its upper bound", greenDefaults, {71, 110, 110}, 0},
        {"value one below its lower bound", greenDefaults, {56, 110, 86}, 0},
        {"hue minimum above its maximum", {60, 50, 0, 255, 0, 255}, {55, 110, 110}, 0},
        {"saturation minimum above its maximum", {0, 179, 200, 100, 0, 255}, {55, 150, 110}, 0},
        {"red's bounds above the scale", defaultThresholds[Red], {179, 200, 255}, 255},
    };
    for (const UniformCase& c : cases) {
        SCOPED_TRACE(c.name);
        const cv::Mat mask = maskOf(uniformHsv({40, 30}, c.pixel), c.range);
        EXPECT_TRUE(sameImage(mask, cv::Mat(30, 40, CV_8UC1, cv::Scalar(c.expected))));
    }
}

// The mask a plain range test gives, cleaned as extractMask cleans it.
cv::Mat cleaned(cv::Mat raw) {
    cv::erode(raw, raw, cv::getStructuringElement(cv::MORPH_RECT, cv::Size(3, 3)));
    cv::dilate(raw, raw, cv::getStructuringElement(cv::MORPH_RECT, cv::Size(8, 8)));
    return raw;
}

// A red marker as a camera sees one in good light: saturated, bright, its hue on both sides of
// 0 (the left half reads 178, the right half 2), over a scene of every other hue.
cv::Mat redAcrossZeroScene() {
    cv::Mat hsv(120, 160, CV_8UC3);
    for (int y = 0; y < hsv.rows; ++y) {
        for (int x = 0; x < hsv.cols; ++x) {
            hsv.at<cv::Vec3b>(y, x) = {static_cast<uchar>(20 + (x + y) % 140),
                                       static_cast<uchar>(x % 256), static_cast<uchar>(255 - y)};
        }
    }
    hsv(cv::Rect(40, 30, 20, 40)).setTo(cv::Scalar(178, 255, 250));
    hsv(cv::Rect(60, 30, 20, 40)).setTo(cv::Scalar(2, 250, 240));
    return hsv;
}

TEST(ExtractMask, AWrappedHueRangeIsTheUnionOfItsTwoSpans) {
    const cv::Mat hsv = redAcrossZeroScene();
    const HsvRange ranges[] = {
        {170, 8, 150, 255, 150, 255},  // the red marker on both sides of 0
        {175, 3, 0, 255, 0, 255},     {179, 0, 0, 255, 0, 255},  // the two ends of the scale alone
        {100, 60, 30, 200, 10, 250},                             // most of the scale
        {170, 8, 200, 100, 0, 255},  // saturation minimum above its maximum: empty
        {185, 8, 0, 255, 0, 255},    // a minimum beyond the scale: only 0 to 8
    };
    for (const HsvRange& range : ranges) {
        SCOPED_TRACE(::testing::Message() << range.hMin << "-" << range.hMax << " S " << range.sMin
                                          << "-" << range.sMax);
        cv::Mat upper, lower;
        cv::inRange(hsv, cv::Scalar(range.hMin, range.sMin, range.vMin),
                    cv::Scalar(179, range.sMax, range.vMax), upper);
        cv::inRange(hsv, cv::Scalar(0, range.sMin, range.vMin),
                    cv::Scalar(range.hMax, range.sMax, range.vMax), lower);
        EXPECT_TRUE(sameImage(maskOf(hsv, range), cleaned(upper | lower)));
    }
}

TEST(ExtractMask, AWrappedRedRangeTakesInTheWholeMarkerAndNothingElse) {
    const cv::Mat hsv = redAcrossZeroScene();
    cv::Mat expected = cv::Mat::zeros(hsv.size(), CV_8UC1);
    // The 40x40 marker, eroded by one pixel on each side to x 41..78, y 31..68, then dilated by
    // 3 before and 4 after: x 38..82, y 28..72.
    expected(cv::Rect(38, 28, 45, 45)).setTo(255);
    EXPECT_TRUE(sameImage(maskOf(hsv, {170, 8, 200, 255, 200, 255}), expected));
    // A plain range can take in only one half, whichever side of 0 it sits on: the right half
    // lies beyond the left one's growth (x 38..62).
    const cv::Mat leftOnly = maskOf(hsv, {170, 179, 200, 255, 200, 255});
    EXPECT_EQ(cv::countNonZero(leftOnly(cv::Rect(63, 30, 17, 40))), 0);
    EXPECT_EQ(cv::countNonZero(leftOnly(cv::Rect(41, 31, 18, 38))), 18 * 38);
}

TEST(ExtractMask, TwoByTwoBlobIsErasedAndThreeByThreeGrowsToAnEightByEightSquare) {
    const cv::Vec3b inside(56, 110, 110);
    const cv::Vec3b outside(0, 0, 0);

    cv::Mat small = uniformHsv({60, 60}, outside);
    small(cv::Rect(20, 30, 2, 2)).setTo(cv::Scalar(inside[0], inside[1], inside[2]));
    EXPECT_TRUE(sameImage(maskOf(small, greenDefaults), cv::Mat::zeros(60, 60, CV_8UC1)));

    // The 3x3 blob covers x 20..22, y 30..32. Erosion leaves its middle pixel (21, 31). The 8x8
    // dilation anchored at element (4, 4) sets x where x - 4 + i == 21 for some i in 0..7, that
    // is x 18..25, and likewise y 28..35.
    cv::Mat blob = uniformHsv({60, 60}, outside);
    blob(cv::Rect(20, 30, 3, 3)).setTo(cv::Scalar(inside[0], inside[1], inside[2]));
    cv::Mat expected = cv::Mat::zeros(60, 60, CV_8UC1);
    expected(cv::Rect(18, 28, 8, 8)).setTo(255);
    EXPECT_TRUE(sameImage(maskOf(blob, greenDefaults), expected));
}

TEST(ExtractMask, BlobTouchingTheCornerIsNotErodedByTheBorder) {
    cv::Mat hsv = uniformHsv({30, 30}, {0, 0, 0});
    hsv(cv::Rect(0, 0, 5, 5)).setTo(cv::Scalar(56, 110, 110));
    // Erosion keeps x 0..3 (the border counts as inside), dilation reaches 3 + 4 = 7.
    cv::Mat expected = cv::Mat::zeros(30, 30, CV_8UC1);
    expected(cv::Rect(0, 0, 8, 8)).setTo(255);
    EXPECT_TRUE(sameImage(maskOf(hsv, greenDefaults), expected));
}

TEST(ExtractMask, ReusesTheMaskBufferOfTheSameSize) {
    const cv::Mat hsv = uniformHsv({64, 48}, {56, 110, 110});
    cv::Mat mask;
    extractMask(hsv, greenDefaults, mask);
    const uchar* buffer = mask.data;
    extractMask(hsv, defaultThresholds[Blue], mask);
    EXPECT_EQ(mask.data, buffer);
}

// ---- locateMarker ----

class LocateMarker : public ::testing::Test {
protected:
    void SetUp() override { markerEverFound = 0; }
    void TearDown() override { markerEverFound = 0; }

    cv::Mat mask = cv::Mat::zeros(240, 320, CV_8UC1);
    cv::Mat feed = cv::Mat(240, 320, CV_8UC3, cv::Scalar(40, 50, 60));
};

// The feed as the overlay must leave it for a marker at `at`.
cv::Mat withOverlay(cv::Mat feed, cv::Point at) {
    cv::Mat drawn = feed.clone();
    cv::putText(drawn, "Tracking Object", cv::Point(0, 50), cv::FONT_HERSHEY_DUPLEX, 1.0,
                cv::Scalar(0, 255, 0), 2, cv::LINE_8);
    cv::circle(drawn, at, 10, cv::Scalar(0, 255, 0), 2, cv::LINE_8, 0);
    return drawn;
}

TEST_F(LocateMarker, SquareGivesItsTruncatedCenterAndTheOverlay) {
    // Outline through the pixel centers 100..107: the center 103.5 truncates to 103.
    mask(cv::Rect(100, 100, 8, 8)).setTo(255);
    const cv::Mat maskBefore = mask.clone();
    const cv::Mat expectedFeed = withOverlay(feed, {103, 103});
    MarkerPosition position;

    locateMarker(position, mask, feed);

    EXPECT_EQ(position.x, 103);
    EXPECT_EQ(position.y, 103);
    EXPECT_EQ(markerEverFound, 1);
    EXPECT_TRUE(sameImage(feed, expectedFeed));
    EXPECT_TRUE(sameImage(mask, maskBefore)) << "the shown mask must stay intact";
}

TEST_F(LocateMarker, OverlayMatchesTheDrawingCallsOnAnyFeedSize) {
    // Feeds that clip the label and circle anywhere, over a noisy picture so a stray write shows.
    mask(cv::Rect(100, 30, 8, 8)).setTo(255);
    const cv::Size sizes[] = {{1, 1}, {7, 5}, {60, 33}, {110, 40}, {320, 240}, {1920, 1080}};
    for (const cv::Size& size : sizes) {
        SCOPED_TRACE(size);
        cv::Mat noisy(size, CV_8UC3);
        cv::randu(noisy, cv::Scalar::all(0), cv::Scalar::all(256));
        const cv::Mat expected = withOverlay(noisy, {103, 33});
        MarkerPosition position;
        locateMarker(position, mask, noisy);
        EXPECT_TRUE(sameImage(noisy, expected));
    }
}

TEST_F(LocateMarker, TheBlobReachedLastWinsWhateverItsSize) {
    // The outline list runs from the blob found last in raster order to the one found first,
    // so the walk ends at the blob that starts highest in the image.
    struct Case {
        const char* name;
        cv::Rect upper, lower;
        MarkerPosition expected;
    };
    const Case cases[] = {
        {"small blob above a large one", {200, 20, 10, 10}, {20, 120, 80, 80}, {204, 24}},
        {"large blob above a small one", {20, 20, 80, 80}, {200, 150, 10, 10}, {59, 59}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        mask.setTo(0);
        mask(c.upper).setTo(255);
        mask(c.lower).setTo(255);
        MarkerPosition position;
        locateMarker(position, mask, feed);
        EXPECT_EQ(position.x, c.expected.x);
        EXPECT_EQ(position.y, c.expected.y);
    }
}

TEST_F(LocateMarker, RingCountsOnlyItsOuterBoundary) {
    // Outer outline 50..89 centers at 69; the off-center hole 55..64 would center near 59.
    mask(cv::Rect(50, 50, 40, 40)).setTo(255);
    mask(cv::Rect(55, 55, 10, 10)).setTo(0);
    MarkerPosition position;
    locateMarker(position, mask, feed);
    EXPECT_EQ(position.x, 69);
    EXPECT_EQ(position.y, 69);
}

TEST_F(LocateMarker, NothingWithAnAreaChangesNothingAndDrawsNothing) {
    struct Case {
        const char* name;
        std::vector<cv::Rect> blobs;
    };
    const Case cases[] = {
        {"empty mask", {}},
        {"a lone pixel", {{30, 40, 1, 1}}},
        {"a one-pixel line", {{30, 40, 50, 1}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        mask.setTo(0);
        for (const cv::Rect& blob : c.blobs) {
            mask(blob).setTo(255);
        }
        const cv::Mat feedBefore = feed.clone();
        MarkerPosition position{7, -3};
        locateMarker(position, mask, feed);
        EXPECT_EQ(position.x, 7);
        EXPECT_EQ(position.y, -3);
        EXPECT_EQ(markerEverFound, 0);
        EXPECT_TRUE(sameImage(feed, feedBefore));
    }
}

TEST_F(LocateMarker, ZeroAreaOutlineReachedLastDoesNotMoveTheFoundPosition) {
    mask(cv::Rect(100, 100, 8, 8)).setTo(255);
    mask.at<uchar>(10, 10) = 255;  // starts highest, so it is reached last
    MarkerPosition position;
    locateMarker(position, mask, feed);
    EXPECT_EQ(position.x, 103);
    EXPECT_EQ(position.y, 103);
    EXPECT_EQ(markerEverFound, 1);
}

TEST_F(LocateMarker, FoundFlagStaysRaisedAfterEmptyMasks) {
    mask(cv::Rect(100, 100, 8, 8)).setTo(255);
    MarkerPosition position;
    locateMarker(position, mask, feed);
    ASSERT_EQ(markerEverFound, 1);

    const cv::Mat empty = cv::Mat::zeros(240, 320, CV_8UC1);
    for (int frame = 0; frame < 3; ++frame) {
        locateMarker(position, empty, feed);
    }
    EXPECT_EQ(markerEverFound, 1);
    EXPECT_EQ(position.x, 103);
    EXPECT_EQ(position.y, 103);
}

// ---- what a click on a window tells ----

TEST(DescribePixel, ValuesAndEveryBoundThatKeepsEachColorOut) {
    cv::Mat hsv = uniformHsv({320, 240}, {20, 30, 200});
    hsv.at<cv::Vec3b>(200, 250) = {55, 115, 115};  // row 200, column 250
    hsv.at<cv::Vec3b>(0, 0) = {100, 250, 140};
    hsv.at<cv::Vec3b>(239, 319) = {176, 180, 255};
    struct Case {
        cv::Point point;
        const char* line;
    };
    const Case cases[] = {
        {{250, 200},
         "pixel (250,200): H 55 S 115 V 115 | green: inside | red: H 55 below H_MIN 174, S 115 "
         "below S_MIN 172, V 115 below V_MIN 186 | blue: H 55 below H_MIN 95, S 115 below S_MIN "
         "179, V 115 below V_MIN 133"},
        {{10, 10},
         "pixel (10,10): H 20 S 30 V 200 | green: H 20 below H_MIN 43, S 30 below S_MIN 86, V 200 "
         "above V_MAX 143 | red: H 20 below H_MIN 174, S 30 below S_MIN 172 | blue: H 20 below "
         "H_MIN 95, S 30 below S_MIN 179, V 200 above V_MAX 181"},
        // Hue inside for blue: saturation alone keeps it out, above its maximum.
        {{0, 0},
         "pixel (0,0): H 100 S 250 V 140 | green: H 100 above H_MAX 70, S 250 above S_MAX 143 | "
         "red: H 100 below H_MIN 174, S 250 above S_MAX 234, V 140 below V_MIN 186 | blue: S 250 "
         "above S_MAX 218"},
        // Red's upper bounds lie above the scale: the brightest red is inside.
        {{319, 239},
         "pixel (319,239): H 176 S 180 V 255 | green: H 176 above H_MAX 70, S 180 above S_MAX "
         "143, V 255 above V_MAX 143 | red: inside | blue: H 176 above H_MAX 115, V 255 above "
         "V_MAX 181"},
        {{320, 10}, "pixel (320,10): outside the 320x240 image"},
        {{-1, 10}, "pixel (-1,10): outside the 320x240 image"},
        {{5, 240}, "pixel (5,240): outside the 320x240 image"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.point);
        EXPECT_EQ(describePixel(hsv, c.point, defaultThresholds), c.line);
    }
    EXPECT_EQ(describePixel(cv::Mat(), {3, 4}, defaultThresholds),
              "pixel (3,4): no frame has been processed yet");
}

TEST(DescribePixel, ReadsTheTableItIsGiven) {
    const cv::Mat hsv = uniformHsv({4, 4}, {60, 100, 100});
    HsvRange table[markerColorCount] = {defaultThresholds[Green], defaultThresholds[Red],
                                        defaultThresholds[Blue]};
    table[Green].vMin = 101;
    EXPECT_EQ(describePixel(hsv, {1, 2}, table),
              "pixel (1,2): H 60 S 100 V 100 | green: V 100 below V_MIN 101 | red: H 60 below "
              "H_MIN 174, S 100 below S_MIN 172, V 100 below V_MIN 186 | blue: H 60 below H_MIN "
              "95, S 100 below S_MIN 179, V 100 below V_MIN 133");
}

TEST(DescribePixel, AWrappedHueRangeIsToldAsItsTwoSpans) {
    struct Case {
        const char* name;
        cv::Vec3b pixel;
        HsvRange red;
        const char* verdict;
    };
    const Case cases[] = {
        {"outside both spans",
         {60, 200, 200},
         {170, 8, 150, 255, 150, 255},
         "H 60 outside 170-179 and 0-8"},
        {"in the span below 180", {178, 255, 250}, {170, 8, 150, 255, 150, 255}, "inside"},
        {"in the span from 0", {2, 255, 250}, {170, 8, 150, 255, 150, 255}, "inside"},
        {"on both ends", {170, 150, 150}, {170, 8, 150, 255, 150, 255}, "inside"},
        {"hue in, value out", {0, 255, 100}, {170, 8, 150, 255, 150, 255}, "V 100 below V_MIN 150"},
        {"hue and saturation out",
         {90, 40, 200},
         {170, 8, 150, 255, 150, 255},
         "H 90 outside 170-179 and 0-8, S 40 below S_MIN 150"},
        // A minimum beyond the scale leaves only the span from 0.
        {"minimum above 179", {100, 200, 200}, {185, 8, 0, 255, 0, 255}, "H 100 outside 0-8"},
        {"saturation minimum above its maximum",
         {175, 150, 200},
         {170, 8, 200, 100, 0, 255},
         "S 150 below S_MIN 200, S 150 above S_MAX 100"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        HsvRange table[markerColorCount] = {defaultThresholds[Green], c.red,
                                            defaultThresholds[Blue]};
        const std::string line = describePixel(uniformHsv({2, 2}, c.pixel), {0, 0}, table);
        const std::string red = line.substr(line.find("| red: ") + 7);
        EXPECT_EQ(red.substr(0, red.find(" | blue")), c.verdict) << line;
    }
}

}  // namespace
