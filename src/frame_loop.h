#pragma once
// One pass of the tracker's loop, and the sources its frames come from.

#include <chrono>
#include <iostream>
#include <memory>
#include <string>

#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>

#include "detection.h"
#include "output.h"

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
// A failed read means the recording is over.
class RecordingSource : public FrameSource {
public:
    explicit RecordingSource(const std::string& path);
    bool isOpened() const { return capture_.isOpened(); }
    bool read(cv::Mat& frame) override;

private:
    cv::VideoCapture capture_;
};

// A live camera that may be missing or drop out. While it delivers nothing, every read returns
// false at once, and the capture is reopened at most every `retryInterval`. `messages` hears
// once per outage that it is gone and once that frames are back.
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
    std::chrono::steady_clock::time_point lastOpen_;
    bool inOutage_ = false;
    cv::VideoCapture capture_;
};

// What the loop keeps from one frame to the next. The images keep their buffers across frames.
struct FrameContext {
    std::unique_ptr<FrameSource> camera;
    cv::Mat cameraFeed;
    cv::Mat hsvFrame;
    cv::Mat greenMask;
    cv::Mat redMask;
    cv::Mat blueMask;
    MarkerPosition positions[markerColorCount];  // indexed by MarkerColor
    int lastFrameType = -1;                      // to tell about an unusual frame format once
};

// The mask of one color in `frame`.
cv::Mat& maskOf(FrameContext& frame, MarkerColor color);

// Where one frame's results go. The live program uses these defaults; tests and benchmarks swap
// in string streams, a temporary directory and no display.
struct FrameOutputs {
    std::ostream* report = &std::cout;    // the per-frame coordinate line
    std::ostream* messages = &std::cerr;  // for the operator, once per event
    CommandFile commandFile;
    bool display = true;  // show the four windows and wait 300 ms for the GUI
};

// Brings a frame to 8-bit BGR in place: gray and BGRA 8-bit frames are converted, anything else
// is refused. Tells `messages` once whenever the incoming format changes to an unusual one
// (`lastType` remembers the previous format). Returns false to skip the frame.
bool normalizeFrame(cv::Mat& frame, int& lastType, std::ostream& messages);

// One pass of the loop: read a frame, convert it, mask and locate Green, Red and Blue, write the
// report line and the command file, show the windows and wait. Without a usable frame only the
// wait runs. Returns whether a frame was processed.
bool runFrameStep(FrameContext& frame, FrameOutputs& outputs);

// Shows the three masks and the annotated camera image, in that order.
void showFrame(const FrameContext& frame);
