// The live tracker: camera 0, the slider panels and the four windows, one frame step after
// another until SIGINT, SIGTERM or SIGHUP.
#include "frame_loop.h"
#include "process.h"
#include "thresholds.h"

int main() {
    startProcess("marker_tracker");
    FrameContext context;
    createThresholdPanels();
    context.source = std::make_unique<CameraSource>(cameraIndex);
    FrameOutputs outputs;
    claimCommandFile(outputs.commandFile, std::cerr);
    runFrameLoop(context, outputs, false);
    context.source.reset();
    endProcess();
}
