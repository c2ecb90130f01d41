#include "frame_loop.h"

#include <stdlib.h>

#include <opencv2/core/utils/logger.hpp>
#include <opencv2/highgui.hpp>
#include <opencv2/imgproc.hpp>

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

RecordingSource::RecordingSource(const std::string& path) {
    QuietOpenCvLog quiet;
    openRecording(capture_, path);
}

bool RecordingSource::read(cv::Mat& frame) {
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
    lastOpen_ = std::chrono::steady_clock::now();
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
    if (!capture_.isOpened() && std::chrono::steady_clock::now() - lastOpen_ >= retryInterval_) {
        open();
    }
    if (!capture_.isOpened()) {
        frame.release();
        reportOutage("could not be opened");
        return false;
    }
    if (!readQuietly(capture_, frame)) {
        // Start over with a fresh open after the retry interval: a camera that was unplugged
        // and plugged back in only comes back through a new open.
        capture_.release();
        frame.release();
        reportOutage("stopped delivering frames");
        return false;
    }
    if (inOutage_) {
        messages_ << name_ << " is delivering frames again." << std::endl;
        inOutage_ = false;
    }
    return true;
}

cv::Mat& maskOf(FrameContext& frame, MarkerColor color) {
    switch (color) {
        case Green:
            return frame.greenMask;
        case Red:
            return frame.redMask;
        case Blue:
            break;
    }
    return frame.blueMask;
}

bool normalizeFrame(cv::Mat& frame, int& lastType, std::ostream& messages) {
    const int type = frame.type();
    const bool changed = type != lastType;
    lastType = type;
    if (type == CV_8UC3) {
        return true;
    }
    if (type == CV_8UC1 || type == CV_8UC4) {
        if (changed) {
            messages << "Frames arrive as " << frame.channels()
                     << "-channel images; converting them to color." << std::endl;
        }
        cv::cvtColor(frame, frame, type == CV_8UC1 ? cv::COLOR_GRAY2BGR : cv::COLOR_BGRA2BGR);
        return true;
    }
    if (changed) {
        messages << "Frames arrive in an unsupported format (" << cv::typeToString(type)
                 << "); skipping them." << std::endl;
    }
    return false;
}

void showFrame(const FrameContext& frame) {
    cv::imshow("green_threshold", frame.greenMask);
    cv::imshow("red_threshold", frame.redMask);
    cv::imshow("blue_threshold", frame.blueMask);
    cv::imshow("camera_feed", frame.cameraFeed);
}

bool runFrameStep(FrameContext& frame, FrameOutputs& outputs) {
    const bool usable = frame.camera->read(frame.cameraFeed) &&
                        normalizeFrame(frame.cameraFeed, frame.lastFrameType, *outputs.messages);
    if (usable) {
        // Converted before anything is drawn, so the overlay never leaks into this frame's masks.
        convertToHsv(frame.cameraFeed, frame.hsvFrame);
        for (MarkerColor color : {Green, Red, Blue}) {
            cv::Mat& mask = maskOf(frame, color);
            extractMask(frame.hsvFrame, thresholdTable[color], mask);
            locateMarker(frame.positions[color], mask, frame.cameraFeed);
        }
        const MarkerPosition* p = frame.positions;
        const bool reportWasOpen = outputs.report->good();
        writePositionReport(p[Green], p[Red], p[Blue], *outputs.report);
        if (reportWasOpen && !outputs.report->good()) {
            *outputs.messages << "Standard output was closed; coordinate lines are no longer "
                                 "printed. The command file is still written."
                              << std::endl;
        }
        writeCommandFile(p[Green], p[Red], p[Blue], outputs.commandFile, *outputs.messages);
        if (outputs.display) {
            showFrame(frame);
        }
    }
    // Also without a frame: the sliders and windows stay responsive while the camera is away.
    if (outputs.display) {
        cv::waitKey(300);
    }
    return usable;
}
