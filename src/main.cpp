// The live tracker: camera 0, the slider panels and the four windows, one frame step forever.
#include "frame_loop.h"
#include "thresholds.h"

int main() {
    FrameContext frame;
    createThresholdPanels();
    frame.camera = std::make_unique<CameraSource>(cameraIndex);
    FrameOutputs outputs;
    for (;;) {
        runFrameStep(frame, outputs);
    }
}
