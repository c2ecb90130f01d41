// Replays a recording through the same frame step as the live tracker, for tuning the colors on
// footage and reproducing what was seen in the field. Exits 0 after the last frame.
#include <csignal>
#include <iostream>

#include "frame_loop.h"
#include "thresholds.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: marker_tracker_replay SOURCE\n"
                     "  SOURCE: a video file or an image sequence such as frames/%04d.png\n";
        return 2;
    }
    auto recording = std::make_unique<RecordingSource>(argv[1]);
    if (!recording->isOpened()) {
        std::cerr << "marker_tracker_replay: cannot open '" << argv[1]
                  << "' as a video file or an image sequence\n";
        return 1;
    }
    // A reader of the coordinate lines that goes away must not take the command file with it.
    std::signal(SIGPIPE, SIG_IGN);
    FrameContext context;
    createThresholdPanels();
    context.camera = std::move(recording);
    FrameOutputs outputs;
    // Skipped frames do not end the replay; only the end of the recording does.
    while (runFrameStep(context, outputs) != StepResult::NoFrame) {
    }
    return 0;
}
