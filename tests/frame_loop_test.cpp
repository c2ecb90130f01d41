// The frame step without windows: over recordings, fake sources and a camera that drops out.
#include <gtest/gtest.h>

#include <deque>
#include <sstream>
#include <thread>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "frame_loop.h"
#include "scene.h"
#include "test_support.h"

namespace fs = std::filesystem;

namespace {

using FrameStep = FrameStepTest;

TEST_F(FrameStep, DemoRecordingGivesTheLinesAndFileItsSceneImplies) {
    auto recording = std::make_unique<RecordingSource>(DEMO_FRAMES "/%04d.png");
    ASSERT_TRUE(recording->isOpened());
    context.source = std::move(recording);

    int processed = 0;
    while (runFrameStep(context, outputs) == StepResult::Processed) {
        ++processed;
    }
    EXPECT_EQ(processed, demoFrameCount);

    // A marker out of sight keeps its last position.
    MarkerPosition expected[markerColorCount];
    std::string expectedReport;
    for (int i = 0; i < demoFrameCount; ++i) {
        for (const SceneMarker& marker : demoMarkers(i)) {
            expected[marker.color] = expectedCenter(marker);
        }
        expectedReport += formatPositionReport(expected[Green], expected[Red], expected[Blue]);
    }
    EXPECT_EQ(report.str(), expectedReport);
    EXPECT_EQ(readFile(outputs.commandFile.path),
              formatCommandFile(expected[Green], expected[Red], expected[Blue]));
    EXPECT_EQ(messages.str(), "");
}

// Markers as a camera sees them in good light: saturated and bright, the red one reading hue 178
// on its left half and 2 on its right. Ranges the whole tracks reach, red's wrapping around 0,
// take each one in whole; the built-in ranges, tuned in other light, take in none of them.
TEST_F(FrameStep, SaturatedBrightMarkersAreFoundWithRangesTheTracksReach) {
    const auto bgrOf = [](int hue, int saturation, int value) {
        cv::Mat pixel(1, 1, CV_8UC3, cv::Scalar(hue, saturation, value));
        cv::cvtColor(pixel, pixel, cv::COLOR_HSV2BGR);
        const cv::Vec3b bgr = pixel.at<cv::Vec3b>(0, 0);
        return cv::Scalar(bgr[0], bgr[1], bgr[2]);
    };
    cv::Mat scene(240, 320, CV_8UC3, cv::Scalar(90, 100, 110));
    const SceneMarker green{Green, {40, 50}, 24}, red{Red, {150, 40}, 24},
        blue{Blue, {230, 160}, 24};
    scene(cv::Rect(green.topLeft, cv::Size(24, 24))).setTo(bgrOf(60, 255, 250));
    scene(cv::Rect(red.topLeft, cv::Size(12, 24))).setTo(bgrOf(178, 255, 245));
    scene(cv::Rect(red.topLeft + cv::Point(12, 0), cv::Size(12, 24))).setTo(bgrOf(2, 250, 240));
    scene(cv::Rect(blue.topLeft, cv::Size(24, 24))).setTo(bgrOf(110, 250, 255));

    ASSERT_EQ(run({scene}), 1);
    EXPECT_EQ(report.str(), formatPositionReport({}, {}, {}));

    thresholdTable[Green] = {50, 70, 200, 255, 200, 255};
    thresholdTable[Red] = {170, 8, 200, 255, 200, 255};
    thresholdTable[Blue] = {100, 120, 200, 255, 200, 255};
    report.str("");
    ASSERT_EQ(run({scene}), 1);
    EXPECT_EQ(report.str(), formatPositionReport(expectedCenter(green), expectedCenter(red),
                                                 expectedCenter(blue)));
    cv::Mat expectedRed = cv::Mat::zeros(scene.size(), CV_8UC1);
    expectedRed(cv::Rect(red.topLeft + cv::Point(-2, -2), cv::Size(29, 29))).setTo(255);
    EXPECT_TRUE(sameImage(context.redMask, expectedRed));
}

TEST_F(FrameStep, EmptyFramesAreSkippedWithoutOutput) {
    const cv::Mat scene = drawScene(demoFrameSize, demoMarkers(0));
    context.source = std::make_unique<ScriptedSource>(std::deque<cv::Mat>{cv::Mat(), scene});

    EXPECT_EQ(runFrameStep(context, outputs), StepResult::NoFrame);
    EXPECT_EQ(report.str(), "");
    EXPECT_FALSE(fs::exists(outputs.commandFile.path));

    EXPECT_EQ(runFrameStep(context, outputs), StepResult::Processed);
    EXPECT_EQ(runFrameStep(context, outputs), StepResult::NoFrame);
    EXPECT_EQ(runFrameStep(context, outputs), StepResult::NoFrame);
    const std::string lines = report.str();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), '\n'), 1);
    EXPECT_TRUE(fs::exists(outputs.commandFile.path));
}

TEST_F(FrameStep, CameraThatStopsIsToldOnceAndItsFramesSkipped) {
    const fs::path directory = scratch.path() / "camera";
    fs::create_directories(directory);
    const SceneMarker marker{Red, {60, 70}, 12};
    for (const char* name : {"0000.png", "0001.png"}) {
        cv::imwrite((directory / name).string(), drawScene(demoFrameSize, {marker}));
    }
    const std::string pattern = (directory / "%04d.png").string();
    context.source = std::make_unique<CameraSource>(pattern, messages, std::chrono::hours(1));

    const StepResult results[] = {StepResult::Processed, StepResult::Processed, StepResult::NoFrame,
                                  StepResult::NoFrame, StepResult::NoFrame};
    for (StepResult expected : results) {
        EXPECT_EQ(runFrameStep(context, outputs), expected);
    }
    const std::string line = formatPositionReport({}, expectedCenter(marker), {});
    EXPECT_EQ(report.str(), line + line);
    EXPECT_EQ(messages.str(), pattern + " stopped delivering frames; trying again every 3600 s.\n");
}

TEST_F(FrameStep, TheReplayLoopGoesPastSkippedFramesToTheEndOfTheRecording) {
    const SceneMarker first{Green, {40, 40}, 12}, later{Green, {90, 60}, 12};
    cv::Mat deep;
    drawScene(demoFrameSize, {first}).convertTo(deep, CV_16UC3, 256);
    context.source = std::make_unique<ScriptedSource>(std::deque<cv::Mat>{
        drawScene(demoFrameSize, {first}), deep, drawScene(demoFrameSize, {later})});

    runFrameLoop(context, outputs, true);
    EXPECT_EQ(report.str(), formatPositionReport(expectedCenter(first), {}, {}) +
                                formatPositionReport(expectedCenter(later), {}, {}));
    EXPECT_EQ(messages.str(),
              "Frames arrive in an unsupported format (CV_16UC3); skipping them.\n");
}

TEST_F(FrameStep, NoFindNoCommandFileButALineEveryFrame) {
    const cv::Mat plain = drawScene(demoFrameSize, {});
    context.source = std::make_unique<ScriptedSource>(std::deque<cv::Mat>{plain, plain});
    EXPECT_EQ(runFrameStep(context, outputs), StepResult::Processed);
    EXPECT_EQ(runFrameStep(context, outputs), StepResult::Processed);
    EXPECT_EQ(report.str(),
              "RED:(0,0) GRN:(0,0) BLU:(0,0) Deltas: y=(0,0) z=(0,0)\n"
              "RED:(0,0) GRN:(0,0) BLU:(0,0) Deltas: y=(0,0) z=(0,0)\n");
    EXPECT_FALSE(fs::exists(outputs.commandFile.path));
}

TEST_F(FrameStep, TableChangeShowsInTheNextFrameMask) {
    const cv::Mat scene = drawScene(demoFrameSize, {{Green, {100, 100}, 20}});
    context.source = std::make_unique<ScriptedSource>(std::deque<cv::Mat>{scene, scene});
    ASSERT_EQ(runFrameStep(context, outputs), StepResult::Processed);
    EXPECT_EQ(cv::countNonZero(context.greenMask), 25 * 25);

    // As a slider would between frames: a saturation minimum above its maximum empties the
    // mask.
    thresholdTable[Green].sMin = thresholdTable[Green].sMax + 1;
    EXPECT_EQ(cv::countNonZero(context.greenMask), 25 * 25) << "the shown mask must not change";
    ASSERT_EQ(runFrameStep(context, outputs), StepResult::Processed);
    EXPECT_EQ(cv::countNonZero(context.greenMask), 0);
}

TEST_F(FrameStep, OverlayIsDrawnAfterConversion) {
    // A green marker's circle and label are drawn green; the conversion happens first, so the
    // HSV frame and the masks hold the scene alone.
    const cv::Mat scene = drawScene(demoFrameSize, {{Green, {100, 100}, 20}});
    context.source = std::make_unique<ScriptedSource>(std::deque<cv::Mat>{scene});
    ASSERT_EQ(runFrameStep(context, outputs), StepResult::Processed);
    cv::Mat hsv;
    convertToHsv(scene, hsv);
    EXPECT_TRUE(sameImage(context.hsvFrame, hsv));
    EXPECT_FALSE(sameImage(context.cameraFeed, scene));
}

TEST_F(FrameStep, ImagesKeepTheirBuffersAcrossFramesOfOneSize) {
    const cv::Mat scene = drawScene({320, 240}, {{Green, {100, 100}, 20}, {Red, {200, 50}, 12}});
    context.source = std::make_unique<ScriptedSource>(std::deque<cv::Mat>{scene, scene, scene});
    ASSERT_EQ(runFrameStep(context, outputs), StepResult::Processed);
    const uchar* buffers[] = {context.cameraFeed.data, context.hsvFrame.data,
                              context.greenMask.data, context.redMask.data, context.blueMask.data};
    for (int step = 0; step < 2; ++step) {
        ASSERT_EQ(runFrameStep(context, outputs), StepResult::Processed);
        const uchar* now[] = {context.cameraFeed.data, context.hsvFrame.data,
                              context.greenMask.data, context.redMask.data, context.blueMask.data};
        for (int i = 0; i < 5; ++i) {
            SCOPED_TRACE(i);
            EXPECT_EQ(now[i], buffers[i]);
        }
    }
}

// Takes characters until closed, then refuses them, as a pipe whose reader has gone.
class ClosablePipe : public std::stringbuf {
public:
    bool closed = false;

protected:
    int overflow(int c) override { return closed ? EOF : std::stringbuf::overflow(c); }
    std::streamsize xsputn(const char* s, std::streamsize n) override {
        return closed ? 0 : std::stringbuf::xsputn(s, n);
    }
};

TEST_F(FrameStep, ClosedReportStreamIsToldOnceAndTheFileStillWritten) {
    ClosablePipe pipe;
    std::ostream reader(&pipe);
    outputs.report = &reader;
    const SceneMarker first{Green, {50, 50}, 10}, moved{Green, {80, 90}, 10};
    context.source = std::make_unique<ScriptedSource>(
        std::deque<cv::Mat>{drawScene(demoFrameSize, {first}), drawScene(demoFrameSize, {moved}),
                            drawScene(demoFrameSize, {moved})});

    ASSERT_EQ(runFrameStep(context, outputs), StepResult::Processed);
    EXPECT_EQ(pipe.str(), formatPositionReport(expectedCenter(first), {}, {}));
    pipe.closed = true;
    ASSERT_EQ(runFrameStep(context, outputs), StepResult::Processed);
    ASSERT_EQ(runFrameStep(context, outputs), StepResult::Processed);
    EXPECT_EQ(messages.str(),
              "Standard output was closed; coordinate lines are no longer printed. The command "
              "file is still written.\n");
    EXPECT_EQ(readFile(outputs.commandFile.path), formatCommandFile(expectedCenter(moved), {}, {}));
}

// ---- a camera that is missing or drops out ----

TEST(CameraSource, RetriesAreSpacedAndEachOutageToldOnce) {
    ScratchDirectory scratch;
    const fs::path directory = scratch.path() / "camera";
    const std::string pattern = (directory / "%04d.png").string();
    std::ostringstream messages;
    // Long enough that a busy machine cannot stretch the reads below past it.
    const auto interval = std::chrono::milliseconds(1500);
    CameraSource camera(pattern, messages, interval);
    cv::Mat frame;

    // Nothing there yet: could not be opened, said once however often it is read.
    for (int i = 0; i < 5; ++i) {
        EXPECT_FALSE(camera.read(frame));
        EXPECT_TRUE(frame.empty());
    }
    EXPECT_EQ(messages.str(), pattern + " could not be opened; trying again every 1.5 s.\n");

    // Frames appear; they come through at the next attempt, and as the first ones, not "again".
    fs::create_directories(directory);
    for (int i = 0; i < 2; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "%04d.png", i);
        cv::imwrite((directory / name).string(), drawScene({32, 24}, {}));
    }
    std::this_thread::sleep_for(interval);
    messages.str("");
    EXPECT_TRUE(camera.read(frame));
    EXPECT_TRUE(camera.read(frame));
    EXPECT_EQ(frame.size(), cv::Size(32, 24));
    EXPECT_EQ(messages.str(), pattern + " is delivering frames.\n");

    // The frames run out, long after the last open. Opening the sequence again would deliver its
    // first frame at once, so reads before the interval is over show whether the reopen waits
    // its turn from the failure.
    std::this_thread::sleep_for(interval);
    messages.str("");
    const auto failed = std::chrono::steady_clock::now();
    EXPECT_FALSE(camera.read(frame));
    while (std::chrono::steady_clock::now() - failed < interval / 3) {
        EXPECT_FALSE(camera.read(frame));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(messages.str(), pattern + " stopped delivering frames; trying again every 1.5 s.\n");
    std::this_thread::sleep_for(interval * 2 / 3);
    messages.str("");
    EXPECT_TRUE(camera.read(frame));
    EXPECT_EQ(messages.str(), pattern + " is delivering frames again.\n");
}

TEST(CameraSource, AbsentDeviceFailsQuietlyAndFast) {
    std::ostringstream messages;
    // No machine running the tests has this many cameras.
    CameraSource camera(97, messages, std::chrono::seconds(60));
    cv::Mat frame;
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 10; ++i) {
        EXPECT_FALSE(camera.read(frame));
    }
    // Reads while the camera is away return at once; the bound only catches one that waits.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(messages.str(), "camera 97 could not be opened; trying again every 60 s.\n");
}

}  // namespace
