#include "frame_source.h"

#include <stdlib.h>

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

// A read that delivered a frame; OpenCV's own complaints about a failed one stay quiet.
bool readQuietly(cv::VideoCapture& capture, cv::Mat& frame) {
    QuietOpenCvLog quiet;
    return capture.read(frame) && !frame.empty();
}

}  // namespace

RecordingSource::RecordingSource(const std::string& path, bool loop) : path_(path), loop_(loop) {
    QuietOpenCvLog quiet;
    openRecording(capture_, path_);
}

bool RecordingSource::read(cv::Mat& frame) {
    if (readQuietly(capture_, frame) || !loop_) {
        return !frame.empty();
    }
    // Opened afresh rather than rewound: every backend starts a new capture at its first frame.
    {
        QuietOpenCvLog quiet;
        capture_.release();
        openRecording(capture_, path_);
    }
    return readQuietly(capture_, frame);
}

CameraSource::CameraSource(int index, std::ostream& messages,
                           std::chrono::milliseconds retryInterval)
    : index_(index),
      name_("camera " + std::to_string(index)),
      messages_(messages),
      retryInterval_(retryInterval) {
    open();
}

CameraSource::CameraSource(const std::string& path, std::ostream& messages,
                           std::chrono::milliseconds retryInterval)
    : path_(path), name_(path), messages_(messages), retryInterval_(retryInterval) {
    open();
}

void CameraSource::open() {
    QuietOpenCvLog quiet;
    nextOpen_ = std::chrono::steady_clock::now() + retryInterval_;
    if (index_ >= 0) {
        capture_.open(index_, cameraBackend);
    } else {
        openRecording(capture_, path_);
    }
}

void CameraSource::reportOutage(const char* what) {
    if (!inOutage_) {
        const auto seconds = std::chrono::duration<double>(retryInterval_).count();
        messages_ << name_ << ' ' << what << "; trying again every " << seconds << " s."
                  << std::endl;
        inOutage_ = true;
    }
}

bool CameraSource::read(cv::Mat& frame) {
    if (!capture_.isOpened() && std::chrono::steady_clock::now() >= nextOpen_) {
        open();
    }
    if (!capture_.isOpened()) {
        frame.release();
        reportOutage("could not be opened");
        return false;
    }
    if (!readQuietly(capture_, frame)) {
        // A camera that was unplugged and plugged back in only comes back through a new open,
        // which waits its turn like any other attempt.
        capture_.release();
        frame.release();
        nextOpen_ = std::chrono::steady_clock::now() + retryInterval_;
        reportOutage(everDelivered_ ? "stopped delivering frames" : "delivers no frames");
        return false;
    }
    if (inOutage_) {
        messages_ << name_
                  << (everDelivered_ ? " is delivering frames again." : " is delivering frames.")
                  << std::endl;
        inOutage_ = false;
    }
    everDelivered_ = true;
    return true;
}
