#pragma once
// One pass of the tracker's loop, and the windows it shows.

#include <iostream>
#include <memory>

#include <opencv2/core.hpp>

#include "command_file.h"
#include "console.h"
#include "detection.h"
#include "frame_source.h"
#include "report_line.h"

// What the loop keeps from one frame to the next. The images keep their buffers across frames.
struct FrameContext {
    std::unique_ptr<FrameSource> source;  // the camera, or a recording
    cv::Mat cameraFeed;
    cv::Mat hsvFrame;
    cv::Mat greenMask;
    cv::Mat redMask;
    cv::Mat blueMask;
    MarkerPosition positions[markerColorCount];  // indexed by MarkerColor
    int lastFrameType = -1;                      // to tell about an unusual frame format once
};

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

// What one pass of the loop did with its frame.
enum class StepResult {
    Processed,  // a frame was read and went through every step
    Skipped,    // a frame came in a format that cannot be processed
    NoFrame,    // the source delivered nothing: a camera outage, or the end of a recording
};

// One pass of the loop: read a frame, convert it, mask and locate Green, Red and Blue, write the
// report line and the command file, show the windows and wait. Without a usable frame only the
// wait runs.
StepResult runFrameStep(FrameContext& context, FrameOutputs& outputs);

// Shows the three masks and the annotated camera image, in that order, each window made at its
// first show. A left click on any of them then tells `messages` the clicked pixel's values in
// this frame's HSV image, and how they stand against each color's range.
void showFrame(const FrameContext& context, std::ostream& messages);

// Runs the frame step until a stop is requested (see process.h) or, with `untilSourceEnds`,
// until the source delivers no more frames: the end of a recording. Skipped frames go on.
void runFrameLoop(FrameContext& context, FrameOutputs& outputs, bool untilSourceEnds);
