// Replays a recording through the same frame step as the live tracker, for tuning the colors on
// footage and reproducing what was seen in the field. Exits 0 after the last frame; with --loop
// it plays the recording over and over until it is stopped.
#include <iostream>
#include <string>

#include "frame_loop.h"
#include "process.h"
#include "thresholds.h"

int main(int argc, char** argv) {
    const bool loop = argc >= 2 && std::string(argv[1]) == "--loop";
    if (argc != 2 + (loop ? 1 : 0)) {
        std::cerr << "usage: marker_tracker_replay [--loop] SOURCE\n"
                     "  SOURCE: a video file or an image sequence such as frames/%04d.png\n"
                     "  --loop: start the recording again from its first frame each time it ends"
                  << std::endl;
        return 2;
    }
    const std::string source = argv[argc - 1];
    startProcess("marker_tracker_replay");
    auto recording = std::make_unique<RecordingSource>(source, loop);
    if (!recording->isOpened()) {
        std::cerr << "marker_tracker_replay: cannot open '" << source
                  << "' as a video file or an image sequence" << std::endl;
        return 1;
    }
    FrameContext context;
    createThresholdPanels();
    context.source = std::move(recording);
    FrameOutputs outputs;
    claimCommandFile(outputs.commandFile, std::cerr);
    runFrameLoop(context, outputs, true);
    context.source.reset();
    endProcess();
}
