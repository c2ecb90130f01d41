#pragma once
// Where the loop's frames come from: a live camera that may be missing or drop out, or a
// recording. OpenCV's own capture logging is kept quiet; these say what matters, once.

#include <chrono>
#include <iostream>
#include <memory>
#include <string>

#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>

// The camera the live program watches.
extern const int cameraIndex;

// Where frames come from.
class FrameSource {
public:
    virtual ~FrameSource() = default;
    // Reads the next frame into `frame`; false, with `frame` empty, when none came.
    virtual bool read(cv::Mat& frame) = 0;
};

// What the camera source asks of a capture: OpenCV's own, or in tests a model of a camera
// that queues frames in a few buffers, on a clock of its own.
class Capture {
public:
    virtual ~Capture() = default;
    virtual bool open() = 0;
    virtual bool isOpened() const = 0;
    virtual void release() = 0;
    // Takes the oldest frame waiting, or waits for the next; false when none comes.
    virtual bool grab() = 0;
    // Decodes the frame last grabbed into `frame`; false, with `frame` empty, when it cannot.
    virtual bool retrieve(cv::Mat& frame) = 0;
    // When the frame last grabbed was captured, in ms on nowMs's clock; negative when the
    // capture cannot tell.
    virtual double frameTimeMs() = 0;
    // The clock frame times are on, in ms.
    virtual double nowMs() = 0;
};

// OpenCV's capture of camera `index` through Video4Linux, whose frame times are the driver's
// buffer times on the monotonic clock; or, with a path, of a recording standing in for one,
// whose frame times are unknown. OpenCV's own logging stays quiet throughout.
std::unique_ptr<Capture> openCvCapture(int index);
std::unique_ptr<Capture> openCvCapture(const std::string& path);

// A recording OpenCV's capture opens: a video file or an image sequence such as frames/%04d.png.
// A failed read means the recording is over. With `loop`, the recording starts again from its
// first frame each time it ends, and is over only when that gives no frame either.
class RecordingSource : public FrameSource {
public:
    explicit RecordingSource(const std::string& path, bool loop = false);
    bool isOpened() const { return capture_->isOpened(); }
    bool read(cv::Mat& frame) override;

private:
    std::unique_ptr<Capture> capture_;
    bool loop_;
};

// A live camera that may be missing or drop out. Each read delivers the newest frame the camera
// has: frames already waiting when the read begins (a camera queues them in its buffers while
// the loop waits) are grabbed and passed over without being decoded, and the first frame
// captured after the read began is kept, so a processed frame is at most about one camera
// period old, plus the wait for it. At most `maxPassedOver` frames are passed over in one read,
// and frames are taken as they come where the capture cannot tell their times, so a camera
// whose times mean something else cannot keep the loop reading. `messages` hears once when the
// frames processed are more than 0.2 s old (a driver that queues more frames than that), and
// once when they are young again.
// While the camera delivers nothing, every read returns false at once; the capture is opened
// again `retryInterval` after the last attempt or failure. `messages` hears once per outage that
// it is gone, and once that frames come (or come again).
class CameraSource : public FrameSource {
public:
    static constexpr int maxPassedOver = 8;

    explicit CameraSource(int index, std::ostream& messages = std::cerr,
                          std::chrono::milliseconds retryInterval = std::chrono::seconds(3));
    // The same over a recording path in place of a device, so the outage handling can be
    // exercised without a camera.
    CameraSource(const std::string& path, std::ostream& messages,
                 std::chrono::milliseconds retryInterval);
    // Over any capture; `name` names it in messages.
    CameraSource(std::unique_ptr<Capture> capture, std::string name, std::ostream& messages,
                 std::chrono::milliseconds retryInterval);
    bool read(cv::Mat& frame) override;

private:
    void open();
    void reportOutage(const char* what);
    bool grabNewest(double& frameTime);
    void tellAge(double frameTime);

    std::unique_ptr<Capture> capture_;
    std::string name_;
    std::ostream& messages_;
    std::chrono::milliseconds retryInterval_;
    std::chrono::steady_clock::time_point nextOpen_;
    bool inOutage_ = false;
    bool everDelivered_ = false;
    bool toldOld_ = false;
};
