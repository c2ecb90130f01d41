#pragma once
// Where the loop's frames come from: a live camera that may be missing or drop out, or a
// recording. OpenCV's own capture logging is kept quiet; these say what matters, once.

#include <chrono>
#include <iostream>
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

// A recording OpenCV's capture opens: a video file or an image sequence such as frames/%04d.png.
// A failed read means the recording is over. With `loop`, the recording starts again from its
// first frame each time it ends, and is over only when that gives no frame either.
class RecordingSource : public FrameSource {
public:
    explicit RecordingSource(const std::string& path, bool loop = false);
    bool isOpened() const { return capture_.isOpened(); }
    bool read(cv::Mat& frame) override;

private:
    std::string path_;
    bool loop_;
    cv::VideoCapture capture_;
};

// A live camera that may be missing or drop out. While it delivers nothing, every read returns
// false at once; the capture is opened again `retryInterval` after the last attempt or failure.
// `messages` hears once per outage that it is gone, and once that frames come (or come again).
class CameraSource : public FrameSource {
public:
    explicit CameraSource(int index, std::ostream& messages = std::cerr,
                          std::chrono::milliseconds retryInterval = std::chrono::seconds(3));
    // The same over a recording path in place of a device, so the outage handling can be
    // exercised without a camera.
    CameraSource(const std::string& path, std::ostream& messages,
                 std::chrono::milliseconds retryInterval);
    bool read(cv::Mat& frame) override;

private:
    void open();
    void reportOutage(const char* what);

    int index_ = -1;
    std::string path_;
    std::string name_;
    std::ostream& messages_;
    std::chrono::milliseconds retryInterval_;
    std::chrono::steady_clock::time_point nextOpen_;
    bool inOutage_ = false;
    bool everDelivered_ = false;
    cv::VideoCapture capture_;
};
