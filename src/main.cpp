// The live tracker: camera 0, the slider panels and the four windows, one frame step forever.
#include <csignal>

#include "frame_loop.h"
#include "thresholds.h"

int main() {
    // A reader of the coordinate lines that goes away must not take the command file with it.
    std::signal(SIGPIPE, SIG_IGN);
    FrameContext context;
    createThresholdPanels();
    context.camera = std::make_unique<CameraSource>(cameraIndex);
    FrameOutputs outputs;
    for (;;) {
        runFrameStep(context, outputs);
    }
}
