// The live camera's reads against a model of a camera as Video4Linux drives one: frames queue
// in a few buffers while the loop waits, so a plain read processes a frame several loop periods
// old. The camera source passes the waiting frames over and processes the newest.
#include <gtest/gtest.h>

#include <cmath>
#include <deque>
#include <limits>
#include <optional>
#include <sstream>

#include "frame_source.h"

namespace {

// A camera on a clock of its own: `buffers` buffers, filled in order while queued with the
// driver, one frame every `periodMs` from the open on; a frame that finds no buffer queued is
// dropped. A grab first hands back a buffer grabbed but not retrieved, then takes the oldest
// filled buffer, waiting (the clock moves on) for one when none is, and gives up after a
// select timeout of 10 s once the camera has stopped. A retrieve hands the buffer back. Each
// frame carries its number in its pixels.
class ModelCamera : public Capture {
public:
    // How the driver stamps its frames.
    enum class Times { Monotonic, Unknown, Zero, WallClock };

    ModelCamera(int buffers, double periodMs,
                double stopsAtMs = std::numeric_limits<double>::infinity(),
                Times times = Times::Monotonic)
        : buffers_(buffers), periodMs_(periodMs), stopsAtMs_(stopsAtMs), times_(times) {}

    // The loop's own time passing: its processing and its wait.
    void wait(double ms) { advanceTo(clock_ + ms); }

    bool open() override {
        opened_ = true;
        queued_ = buffers_;
        filled_.clear();
        held_.reset();
        nextFrameAt_ = clock_ + periodMs_;
        return true;
    }
    bool isOpened() const override { return opened_; }
    void release() override { opened_ = false; }
    bool grab() override {
        ++grabs;
        handBack();
        if (filled_.empty()) {
            if (nextFrameAt_ >= stopsAtMs_) {
                wait(10000);
                return false;
            }
            advanceTo(nextFrameAt_);
        }
        held_ = filled_.front();
        filled_.pop_front();
        return true;
    }
    bool retrieve(cv::Mat& frame) override {
        ++retrieves;
        if (!held_) {
            return false;
        }
        frame = cv::Mat(4, 4, CV_8UC3, cv::Scalar(held_->number % 256, held_->number / 256, 0));
        lastRetrievedAt = held_->capturedAt;
        handBack();
        return true;
    }
    double frameTimeMs() override {
        if (!held_ || times_ == Times::Unknown) {
            return -1;
        }
        return times_ == Times::Zero        ? 0
               : times_ == Times::WallClock ? held_->capturedAt + 1.7e12
                                            : held_->capturedAt;
    }
    double nowMs() override { return clock_; }

    // The number of the frame last captured (dropped or not), and when the one last retrieved
    // was captured.
    long newestNumber() const { return number_ - 1; }
    double lastRetrievedAt = -1;
    int grabs = 0;
    int retrieves = 0;

private:
    struct Frame {
        long number;
        double capturedAt;
    };
    void advanceTo(double to) {
        while (opened_ && nextFrameAt_ <= to && nextFrameAt_ < stopsAtMs_) {
            if (queued_ > 0) {
                --queued_;
                filled_.push_back({number_, nextFrameAt_});
            }
            ++number_;
            nextFrameAt_ += periodMs_;
        }
        clock_ = std::max(clock_, to);
    }
    void handBack() {
        if (held_) {
            ++queued_;
            held_.reset();
        }
    }

    int buffers_;
    double periodMs_, stopsAtMs_;
    Times times_;
    double clock_ = 1e6;  // the monotonic clock of a machine up for a while
    bool opened_ = false;
    int queued_ = 0;
    double nextFrameAt_ = 0;
    long number_ = 0;
    std::deque<Frame> filled_;
    std::optional<Frame> held_;
};

// The frame number a model frame carries.
long numberOf(const cv::Mat& frame) {
    const cv::Vec3b pixel = frame.at<cv::Vec3b>(0, 0);
    return pixel[0] + 256L * pixel[1];
}

constexpr double loopMs = 300;  // the loop's wait per frame

// OpenCV's plain read over a V4L2 camera: grab the oldest filled buffer, then retrieve it. With
// four buffers, 30 frames a second and a frame every 300 ms, every buffer is full at each read,
// so each frame processed was captured four loop periods earlier.
TEST(ModelCamera, APlainReadProcessesFramesAboutFourLoopPeriodsOld) {
    ModelCamera camera(4, 1000.0 / 30);
    camera.open();
    cv::Mat frame;
    for (int i = 0; i < 30; ++i) {
        SCOPED_TRACE(i);
        ASSERT_TRUE(camera.grab());
        ASSERT_TRUE(camera.retrieve(frame));
        const double age = camera.nowMs() - camera.lastRetrievedAt;
        if (i >= 5) {
            EXPECT_NEAR(age, 4 * loopMs, 1000.0 / 30) << "a frame " << age << " ms old";
        }
        camera.wait(loopMs);
    }
}

// A camera source over a model camera, with its messages in a string; the model stays at hand
// to move its clock on and to ask what it captured.
struct ModelRig {
    explicit ModelRig(std::unique_ptr<ModelCamera> model)
        : camera(*model), source(std::move(model), "camera 0", messages, std::chrono::hours(1)) {}
    ModelCamera& camera;
    std::ostringstream messages;
    CameraSource source;
};

struct Pace {
    const char* name;
    int buffers;
    double periodMs;
};

// Each read processes the newest frame: the first captured after the read began, so at most
// one camera period old when read, and never decoded are the frames passed over.
TEST(CameraSourceOverAModelCamera, EachReadProcessesTheNewestFrame) {
    const Pace paces[] = {
        {"30 fps, 4 buffers", 4, 1000.0 / 30},
        {"7.5 fps, 4 buffers", 4, 1000.0 / 7.5},
        {"30 fps, 2 buffers", 2, 1000.0 / 30},
        {"60 fps, 8 buffers", 8, 1000.0 / 60},
    };
    for (const Pace& pace : paces) {
        SCOPED_TRACE(pace.name);
        ModelRig rig(std::make_unique<ModelCamera>(pace.buffers, pace.periodMs));
        cv::Mat frame;
        const int reads = 30;
        for (int i = 0; i < reads; ++i) {
            SCOPED_TRACE(i);
            ASSERT_TRUE(rig.source.read(frame));
            EXPECT_EQ(numberOf(frame), rig.camera.newestNumber()) << "not the newest frame";
            EXPECT_LE(rig.camera.nowMs() - rig.camera.lastRetrievedAt, pace.periodMs);
            rig.camera.wait(loopMs);
        }
        EXPECT_EQ(rig.camera.retrieves, reads) << "a frame passed over was decoded";
        EXPECT_GT(rig.camera.grabs, reads) << "no frame was passed over";
        EXPECT_EQ(rig.messages.str(), "");
    }
}

// A driver that queues more frames than a read passes over (32 buffers at 60 frames a second
// fill faster than reads of at most nine frames empty them): the frames processed grow old, and
// that is told once, however many frames follow. The number passed over is bounded.
TEST(CameraSourceOverAModelCamera, FramesLeftOldByADeepQueueAreToldOnce) {
    ModelRig rig(std::make_unique<ModelCamera>(32, 1000.0 / 60));
    cv::Mat frame;
    const int reads = 20;
    for (int i = 0; i < reads; ++i) {
        ASSERT_TRUE(rig.source.read(frame));
        rig.camera.wait(loopMs);
    }
    EXPECT_LE(rig.camera.grabs, reads * (CameraSource::maxPassedOver + 1));
    const std::string told = rig.messages.str();
    EXPECT_EQ(told.find("Frames from camera 0 are "), 0u) << told;
    EXPECT_NE(told.find(" ms old when processed, more than 200 ms: the offsets lag the scene by "
                        "that much.\n"),
              std::string::npos)
        << told;
    EXPECT_EQ(std::count(told.begin(), told.end(), '\n'), 1) << told;

    // The loop catches up (reads without waiting drain the queue): told once as well.
    for (int i = 0; i < 10; ++i) {
        ASSERT_TRUE(rig.source.read(frame));
    }
    EXPECT_EQ(rig.messages.str(), told + "Frames from camera 0 are current again.\n");
}

// Frame times the capture cannot tell, or that lie on another clock: every frame is taken as it
// comes, none passed over.
TEST(CameraSourceOverAModelCamera, FramesWithoutUsableTimesAreTakenInOrder) {
    using Times = ModelCamera::Times;
    for (Times times : {Times::Unknown, Times::Zero, Times::WallClock}) {
        SCOPED_TRACE(static_cast<int>(times));
        ModelRig rig(std::make_unique<ModelCamera>(4, 1000.0 / 30,
                                                   std::numeric_limits<double>::infinity(), times));
        cv::Mat frame;
        long previous = -1;
        for (int i = 0; i < 10; ++i) {
            ASSERT_TRUE(rig.source.read(frame));
            EXPECT_GT(numberOf(frame), previous);
            previous = numberOf(frame);
            rig.camera.wait(loopMs);
        }
        EXPECT_EQ(rig.camera.grabs, 10);
        EXPECT_EQ(rig.messages.str(), "");
    }
}

// A camera that stops delivering: the frames still in its buffers are stale by the next read,
// so none of them is processed; the loss is told once.
TEST(CameraSourceOverAModelCamera, ACameraThatStopsHandsOnNoStaleFrame) {
    ModelRig rig(std::make_unique<ModelCamera>(4, 1000.0 / 30, 1e6 + 3000));
    cv::Mat frame;
    int delivered = 0;
    for (int i = 0; i < 20; ++i) {
        const double readAt = rig.camera.nowMs();
        if (rig.source.read(frame)) {
            ++delivered;
            EXPECT_GE(rig.camera.lastRetrievedAt, readAt) << "a frame from before the read";
        } else {
            EXPECT_TRUE(frame.empty());
        }
        rig.camera.wait(loopMs);
    }
    EXPECT_EQ(delivered, 10);  // reads at 0, 300, ..., 2700 ms
    EXPECT_EQ(rig.messages.str(),
              "camera 0 stopped delivering frames; trying again every 3600 s.\n");
}

}  // namespace
