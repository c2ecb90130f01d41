#include "frame_source.h"

#include <stdlib.h>
#include <time.h>

#include <cmath>

#include <opencv2/core/utils/logger.hpp>

const int cameraIndex = 0;

namespace {

// Cameras are opened through Video4Linux alone. Left to choose, OpenCV also probes still-camera
// libraries that take half a second and leak memory on every failed open, which adds up while a
// missing camera is retried for hours.
#ifdef __linux__
constexpr int cameraBackend = cv::CAP_V4L2;
#else
constexpr int cameraBackend = cv::CAP_ANY;
#endif

// Recordings likewise: FFmpeg reads video files and numbered image sequences, OpenCV's own
// image-sequence reader covers a build without FFmpeg.
void openRecording(cv::VideoCapture& capture, const std::string& path) {
    for (int backend : {cv::CAP_FFMPEG, cv::CAP_IMAGES}) {
        if (capture.open(path, backend)) {
            return;
        }
    }
}

// OpenCV's capture logs every failed open or read itself; an absent camera retried every few
// seconds would fill the console. Our own messages say what matters, once. FFmpeg, behind the
// capture, prints straight to the console unless this variable, read when OpenCV first starts
// it, says otherwise; an operator who sets it keeps their choice.
class QuietOpenCvLog {
public:
    QuietOpenCvLog()
        : saved_(cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT)) {
        static const bool ffmpegQuiet = ::setenv("OPENCV_FFMPEG_LOGLEVEL", "-8", 0) == 0;
        (void)ffmpegQuiet;
    }
    ~QuietOpenCvLog() { cv::utils::logging::setLogLevel(saved_); }
    QuietOpenCvLog(const QuietOpenCvLog&) = delete;
    QuietOpenCvLog& operator=(const QuietOpenCvLog&) = delete;

private:
    cv::utils::logging::LogLevel saved_;
};

class OpenCvCapture : public Capture {
public:
    OpenCvCapture(int index, std::string path) : index_(index), path_(std::move(path)) {}
    ~OpenCvCapture() override { release(); }
    bool open() override {
        QuietOpenCvLog quiet;
        if (index_ >= 0) {
            capture_.open(index_, cameraBackend);
        } else {
            openRecording(capture_, path_);
        }
        return capture_.isOpened();
    }
    bool isOpened() const override { return capture_.isOpened(); }
    // An unplugged camera's release complains through OpenCV's log too.
    void release() override {
        QuietOpenCvLog quiet;
        capture_.release();
    }
    bool grab() override {
        QuietOpenCvLog quiet;
        return capture_.grab();
    }
    bool retrieve(cv::Mat& frame) override {
        QuietOpenCvLog quiet;
        if (!capture_.retrieve(frame) || frame.empty()) {
            frame.release();
            return false;
        }
        return true;
    }
    double frameTimeMs() override {
        // A recording's position is no capture time.
        return index_ >= 0 ? capture_.get(cv::CAP_PROP_POS_MSEC) : -1;
    }
    double nowMs() override {
        timespec now{};
        ::clock_gettime(CLOCK_MONOTONIC, &now);
        return now.tv_sec * 1000.0 + now.tv_nsec / 1e6;
    }

private:
    int index_;
    std::string path_;
    cv::VideoCapture capture_;
};

// Frames this much older than the read that processes them are told about.
constexpr double oldFrameMs = 200;

// Whether a frame time lies on the capture's clock near `now`: a driver may stamp frames with
// zero, or on another clock altogether, and then the time says nothing.
bool onTheClock(double frameTime, double now) {
    return frameTime > 0 && std::abs(now - frameTime) < 10000;
}

// The next frame of `capture`, as OpenCV's own read gives it: grabbed, then decoded; false,
// with `frame` empty, when none came.
bool readFrom(Capture& capture, cv::Mat& frame) {
    if (!capture.grab()) {
        frame.release();
        return false;
    }
    return capture.retrieve(frame);
}

}  // namespace

std::unique_ptr<Capture> openCvCapture(int index) {
    return std::make_unique<OpenCvCapture>(index, "");
}

std::unique_ptr<Capture> openCvCapture(const std::string& path) {
    return std::make_unique<OpenCvCapture>(-1, path);
}

RecordingSource::RecordingSource(const std::string& path, bool loop)
    : capture_(openCvCapture(path)), loop_(loop) {
    capture_->open();
}

bool RecordingSource::read(cv::Mat& frame) {
    if (readFrom(*capture_, frame)) {
        return true;
    }
    if (!loop_) {
        return false;
    }
    // Opened afresh rather than rewound: every backend starts a new capture at its first frame.
    capture_->release();
    capture_->open();
    return readFrom(*capture_, frame);
}

CameraSource::CameraSource(int index, std::ostream& messages,
                           std::chrono::milliseconds retryInterval)
    : CameraSource(openCvCapture(index), "camera " + std::to_string(index), messages,
                   retryInterval) {}

CameraSource::CameraSource(const std::string& path, std::ostream& messages,
                           std::chrono::milliseconds retryInterval)
    : CameraSource(openCvCapture(path), path, messages, retryInterval) {}

CameraSource::CameraSource(std::unique_ptr<Capture> capture, std::string name,
                           std::ostream& messages, std::chrono::milliseconds retryInterval)
    : capture_(std::move(capture)),
      name_(std::move(name)),
      messages_(messages),
      retryInterval_(retryInterval) {
    open();
}

void CameraSource::open() {
    nextOpen_ = std::chrono::steady_clock::now() + retryInterval_;
    capture_->open();
}

void CameraSource::reportOutage(const char* what) {
    if (!inOutage_) {
        const auto seconds = std::chrono::duration<double>(retryInterval_).count();
        messages_ << name_ << ' ' << what << "; trying again every " << seconds << " s."
                  << std::endl;
        inOutage_ = true;
    }
}

bool CameraSource::grabNewest(double& frameTime) {
    const double readStart = capture_->nowMs();
    for (int passedOver = 0;; ++passedOver) {
        if (!capture_->grab()) {
            return false;
        }
        frameTime = capture_->frameTimeMs();
        // A frame captured before this read began was already waiting: a newer one follows.
        if (!onTheClock(frameTime, readStart) || frameTime >= readStart ||
            passedOver == maxPassedOver) {
            return true;
        }
    }
}

void CameraSource::tellAge(double frameTime) {
    const double now = capture_->nowMs();
    if (!onTheClock(frameTime, now)) {
        return;
    }
    const double age = now - frameTime;
    if (age > oldFrameMs && !toldOld_) {
        messages_ << "Frames from " << name_ << " are " << static_cast<int>(age)
                  << " ms old when processed, more than " << oldFrameMs
                  << " ms: the offsets lag the scene by that much." << std::endl;
        toldOld_ = true;
    } else if (age <= oldFrameMs && toldOld_) {
        messages_ << "Frames from " << name_ << " are current again." << std::endl;
        toldOld_ = false;
    }
}

bool CameraSource::read(cv::Mat& frame) {
    if (!capture_->isOpened() && std::chrono::steady_clock::now() >= nextOpen_) {
        open();
    }
    if (!capture_->isOpened()) {
        frame.release();
        reportOutage("could not be opened");
        return false;
    }
    double frameTime = -1;
    if (!grabNewest(frameTime) || !capture_->retrieve(frame)) {
        // A camera that was unplugged and plugged back in only comes back through a new open,
        // which waits its turn like any other attempt.
        capture_->release();
        frame.release();
        nextOpen_ = std::chrono::steady_clock::now() + retryInterval_;
        reportOutage(everDelivered_ ? "stopped delivering frames" : "delivers no frames");
        return false;
    }
    tellAge(frameTime);
    if (inOutage_) {
        messages_ << name_
                  << (everDelivered_ ? " is delivering frames again." : " is delivering frames.")
                  << std::endl;
        inOutage_ = false;
    }
    everDelivered_ = true;
    return true;
}
