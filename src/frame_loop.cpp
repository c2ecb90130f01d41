#include "frame_loop.h"

#include <opencv2/highgui.hpp>
#include <opencv2/imgproc.hpp>

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

void showFrame(const FrameContext& context) {
    cv::imshow("green_threshold", context.greenMask);
    cv::imshow("red_threshold", context.redMask);
    cv::imshow("blue_threshold", context.blueMask);
    cv::imshow("camera_feed", context.cameraFeed);
}

StepResult runFrameStep(FrameContext& context, FrameOutputs& outputs) {
    StepResult result = StepResult::NoFrame;
    if (context.camera->read(context.cameraFeed)) {
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
            showFrame(context);
        }
    }
    // Also without a frame: the sliders and windows stay responsive while the camera is away.
    if (outputs.display) {
        cv::waitKey(300);
    }
    return result;
}
