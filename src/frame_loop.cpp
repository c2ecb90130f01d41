#include "frame_loop.h"

#include <algorithm>
#include <chrono>

#include <opencv2/highgui.hpp>
#include <opencv2/imgproc.hpp>

#include "process.h"
#include "window_layout.h"

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

namespace {

// The mask of one color in `context`.
cv::Mat& maskOf(FrameContext& context, MarkerColor color) {
    switch (color) {
        case Green:
            return context.greenMask;
        case Red:
            return context.redMask;
        case Blue:
            break;
    }
    return context.blueMask;
}

// What the display windows show now, for clicks on them. The header shares the pixels of the
// loop's HSV image: the next frame's conversion overwrites them (at a new size it leaves them to
// this header alone), but that conversion and the next show both fall between two waits, and
// clicks are told only inside a wait, so a click always reads the frame on screen.
struct ShownFrame {
    cv::Mat hsvFrame;
    std::ostream* messages = nullptr;
};
ShownFrame shown;

// Clicks arrive inside the GUI wait, on the loop's thread, between two frames.
void onDisplayClick(int event, int x, int y, int, void*) {
    if (event == cv::EVENT_LBUTTONDOWN && shown.messages) {
        *shown.messages << describePixel(shown.hsvFrame, {x, y}, thresholdTable) << std::endl;
    }
}

bool windowExists(const std::string& name) {
    try {
        return cv::getWindowProperty(name, cv::WND_PROP_AUTOSIZE) >= 0;
    } catch (const cv::Exception&) {
        return false;  // the toolkit has no window at all yet
    }
}

// Made right before its first show, sized to the image, in the plain style: the expanded one
// brings dialogs (Ctrl+S, Ctrl+P, a right click) that would hold the loop still. A closed one
// is only hidden and comes back at its next show, as it was.
// Its first place is its cell of the layout, for the size of its first image.
void showInWindow(DisplayWindow window, const cv::Mat& image) {
    static const char* const names[displayWindowCount] = {"green_threshold", "red_threshold",
                                                          "blue_threshold", "camera_feed"};
    const char* name = names[window];
    if (!windowExists(name)) {
        cv::namedWindow(name, cv::WINDOW_AUTOSIZE | cv::WINDOW_GUI_NORMAL);
        cv::setMouseCallback(name, onDisplayClick);
        placeNewWindow(name, planWindowPlaces(layoutScreen(), image.size()).images[window].tl());
    }
    cv::imshow(name, image);
}

// A key press ends the toolkit's wait early, so the wait is taken up again until its time is
// out: keys held down or pressed fast do not change the pace. It is taken in short slices, so a
// stop asked for meanwhile ends it within one slice, however busy the machine.
void waitForGui(std::chrono::milliseconds duration) {
    const auto end = std::chrono::steady_clock::now() + duration;
    for (auto left = duration; left.count() > 0 && !stopRequested();
         left = std::chrono::duration_cast<std::chrono::milliseconds>(
             end - std::chrono::steady_clock::now())) {
        cv::waitKey(
            static_cast<int>(std::clamp<std::chrono::milliseconds::rep>(left.count(), 1, 50)));
    }
}

}  // namespace

void showFrame(const FrameContext& context, std::ostream& messages) {
    showInWindow(GreenMaskWindow, context.greenMask);
    showInWindow(RedMaskWindow, context.redMask);
    showInWindow(BlueMaskWindow, context.blueMask);
    showInWindow(CameraWindow, context.cameraFeed);
    shown = {context.hsvFrame, &messages};
}

StepResult runFrameStep(FrameContext& context, FrameOutputs& outputs) {
    StepResult result = StepResult::NoFrame;
    if (context.source->read(context.cameraFeed)) {
        result = normalizeFrame(context.cameraFeed, context.lastFrameType, *outputs.messages)
                     ? StepResult::Processed
                     : StepResult::Skipped;
    }
    if (result == StepResult::Processed) {
        // Converted before anything is drawn, so the overlay never leaks into this frame's masks.
        convertToHsv(context.cameraFeed, context.hsvFrame);
        for (MarkerColor color : {Green, Red, Blue}) {
            cv::Mat& mask = maskOf(context, color);
            extractMask(context.hsvFrame, thresholdTable[color], mask);
            locateMarker(context.positions[color], mask, context.cameraFeed);
        }
        const MarkerPosition* p = context.positions;
        const bool reportWasOpen = outputs.report->good();
        writePositionReport(p[Green], p[Red], p[Blue], *outputs.report);
        if (reportWasOpen && !outputs.report->good()) {
            *outputs.messages << "Standard output was closed; coordinate lines are no longer "
                                 "printed. The command file is still written."
                              << std::endl;
        }
        writeCommandFile(p[Green], p[Red], p[Blue], outputs.commandFile, *outputs.messages);
        if (outputs.display) {
            showFrame(context, *outputs.messages);
        }
    }
    // Also without a frame: the sliders and windows stay responsive while the camera is away.
    if (outputs.display) {
        restoreClosedPanels();
        waitForGui(std::chrono::milliseconds(300));
        settleNewWindows();
    }
    return result;
}

void runFrameLoop(FrameContext& context, FrameOutputs& outputs, bool untilSourceEnds) {
    while (!stopRequested()) {
        const StepResult result = runFrameStep(context, outputs);
        relayStrayOutput();
        if (result == StepResult::NoFrame && untilSourceEnds) {
            return;
        }
    }
}
