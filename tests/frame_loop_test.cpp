// The frame step without windows: over recordings, fake sources and a camera that drops out.
#include <gtest/gtest.h>

#include <deque>
#include <sstream>
#include <thread>

#include <opencv2/imgcodecs.hpp>

#include "frame_loop.h"
#include "scene.h"
#include "test_support.h"

namespace fs = std::filesystem;

namespace {

using FrameStep = FrameStepTest;

TEST_F(FrameStep, DemoRecordingGivesTheLinesAndFileItsSceneImplies) {
    auto recording = std::make_unique<RecordingSource>(DEMO_FRAMES "/%04d.png");
    ASSERT_TRUE(recording->isOpened());
    frame.camera = std::move(recording);

    int processed = 0;
    while (runFrameStep(frame, outputs)) {
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

TEST_F(FrameStep, EmptyFramesAreSkippedWithoutOutput) {
    const cv::Mat scene = drawScene(demoFrameSize, demoMarkers(0));
    frame.camera = std::make_unique<ScriptedSource>(std::deque<cv::Mat>{cv::Mat(), scene});

    EXPECT_FALSE(runFrameStep(frame, outputs));
    EXPECT_EQ(report.str(), "");
    EXPECT_FALSE(fs::exists(outputs.commandFile.path));

    EXPECT_TRUE(runFrameStep(frame, outputs));
    EXPECT_FALSE(runFrameStep(frame, outputs));
    EXPECT_FALSE(runFrameStep(frame, outputs));
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
    frame.camera = std::make_unique<CameraSource>(pattern, messages, std::chrono::hours(1));

    const bool processed[] = {true, true, false, false, false};
    for (bool expected : processed) {
        EXPECT_EQ(runFrameStep(frame, outputs), expected);
    }
    const std::string line = formatPositionReport({}, expectedCenter(marker), {});
    EXPECT_EQ(report.str(), line + line);
    EXPECT_EQ(messages.str(), pattern + " stopped delivering frames; trying again every 3600 s.\n");
}

TEST_F(FrameStep, NoFindNoCommandFileButALineEveryFrame) {
    const cv::Mat plain = drawScene(demoFrameSize, {});
    frame.camera = std::make_unique<ScriptedSource>(std::deque<cv::Mat>{plain, plain});
    EXPECT_TRUE(runFrameStep(frame, outputs));
    EXPECT_TRUE(runFrameStep(frame, outputs));
    EXPECT_EQ(report.str(),
              "RED:(0,0) GRN:(0,0) BLU:(0,0) Deltas: y=(0,0) z=(0,0)\n"
              "RED:(0,0) GRN:(0,0) BLU:(0,0) Deltas: y=(0,0) z=(0,0)\n");
    EXPECT_FALSE(fs::exists(outputs.commandFile.path));
}

TEST_F(FrameStep, TableChangeShowsInTheNextFrameMask) {
    const cv::Mat scene = drawScene(demoFrameSize, {{Green, {100, 100}, 20}});
    frame.camera = std::make_unique<ScriptedSource>(std::deque<cv::Mat>{scene, scene});
    ASSERT_TRUE(runFrameStep(frame, outputs));
    EXPECT_EQ(cv::countNonZero(frame.greenMask), 25 * 25);

    // As a slider would between frames: a minimum above its maximum empties the mask.
    thresholdTable[Green].hMin = 71;
    EXPECT_EQ(cv::countNonZero(frame.greenMask), 25 * 25) << "the shown mask must not change";
    ASSERT_TRUE(runFrameStep(frame, outputs));
    EXPECT_EQ(cv::countNonZero(frame.greenMask), 0);
}

TEST_F(FrameStep, OverlayIsDrawnAfterConversion) {
    // A green marker's circle and label are drawn green; the conversion happens first, so the
    // HSV frame and the masks hold the scene alone.
    const cv::Mat scene = drawScene(demoFrameSize, {{Green, {100, 100}, 20}});
    frame.camera = std::make_unique<ScriptedSource>(std::deque<cv::Mat>{scene});
    ASSERT_TRUE(runFrameStep(frame, outputs));
    cv::Mat hsv;
    convertToHsv(scene, hsv);
    EXPECT_TRUE(sameImage(frame.hsvFrame, hsv));
    EXPECT_FALSE(sameImage(frame.cameraFeed, scene));
}

TEST_F(FrameStep, ImagesKeepTheirBuffersAcrossFramesOfOneSize) {
    const cv::Mat scene = drawScene({320, 240}, {{Green, {100, 100}, 20}, {Red, {200, 50}, 12}});
    frame.camera = std::make_unique<ScriptedSource>(std::deque<cv::Mat>{scene, scene, scene});
    ASSERT_TRUE(runFrameStep(frame, outputs));
    const uchar* buffers[] = {frame.cameraFeed.data, frame.hsvFrame.data, frame.greenMask.data,
                              frame.redMask.data, frame.blueMask.data};
    for (int step = 0; step < 2; ++step) {
        ASSERT_TRUE(runFrameStep(frame, outputs));
        const uchar* now[] = {frame.cameraFeed.data, frame.hsvFrame.data, frame.greenMask.data,
                              frame.redMask.data, frame.blueMask.data};
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
    frame.camera = std::make_unique<ScriptedSource>(
        std::deque<cv::Mat>{drawScene(demoFrameSize, {first}), drawScene(demoFrameSize, {moved}),
                            drawScene(demoFrameSize, {moved})});

    ASSERT_TRUE(runFrameStep(frame, outputs));
    EXPECT_EQ(pipe.str(), formatPositionReport(expectedCenter(first), {}, {}));
    pipe.closed = true;
    ASSERT_TRUE(runFrameStep(frame, outputs));
    ASSERT_TRUE(runFrameStep(frame, outputs));
    EXPECT_EQ(messages.str(),
              "Standard output was closed; coordinate lines are no longer printed. The command "
              "file is still written.\n");
    EXPECT_EQ(readFile(outputs.commandFile.path), formatCommandFile(expectedCenter(moved), {}, {}));
}

// ---- a camera that is missing or drops out ----

TEST(CameraSource, ToldOncePerOutageAndOnceWhenFramesReturn) {
    ScratchDirectory scratch;
    const fs::path directory = scratch.path() / "camera";
    const std::string pattern = (directory / "%04d.png").string();
    std::ostringstream messages;
    CameraSource camera(pattern, messages, std::chrono::milliseconds(20));
    cv::Mat frame;

    // Nothing there yet: could not be opened, said once however often it is read.
    for (int i = 0; i < 5; ++i) {
        EXPECT_FALSE(camera.read(frame));
        EXPECT_TRUE(frame.empty());
    }
    EXPECT_EQ(messages.str(), pattern + " could not be opened; trying again every 0.02 s.\n");

    // Frames appear; after the retry interval they come through and that is said once.
    fs::create_directories(directory);
    for (int i = 0; i < 2; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "%04d.png", i);
        cv::imwrite((directory / name).string(), drawScene({32, 24}, {}));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    messages.str("");
    EXPECT_TRUE(camera.read(frame));
    EXPECT_TRUE(camera.read(frame));
    EXPECT_EQ(frame.size(), cv::Size(32, 24));
    EXPECT_EQ(messages.str(), pattern + " is delivering frames again.\n");

    // The frames run out: one message for the new outage, and the source is reopened later.
    messages.str("");
    EXPECT_FALSE(camera.read(frame));
    EXPECT_FALSE(camera.read(frame));
    EXPECT_EQ(messages.str(), pattern + " stopped delivering frames; trying again every 0.02 s.\n");
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
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
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    EXPECT_EQ(messages.str(), "camera 97 could not be opened; trying again every 60 s.\n");
}

}  // namespace
