// Replays a recording through the same frame step as the live tracker, for tuning the colors on
// footage and reproducing what was seen in the field. Exits 0 after the last frame.
#include <iostream>

#include "frame_loop.h"
#include "process.h"
#include "thresholds.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: marker_tracker_replay SOURCE\n"
                     "  SOURCE: a video file or an image sequence such as frames/%04d.png"
                  << std::endl;
        return 2;
    }
    startProcess("marker_tracker_replay");
    auto recording = std::make_unique<RecordingSource>(argv[1]);
    if (!recording->isOpened()) {
        std::cerr << "marker_tracker_replay: cannot open '" << argv[1]
                  << "' as a video file or an image sequence" << std::endl;
        return 1;
    }
    FrameContext context;
    createThresholdPanels();
    context.source = std::move(recording);
    FrameOutputs outputs;
    runFrameLoop(context, outputs, true);
    context.source.reset();
    endProcess();
}
