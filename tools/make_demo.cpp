// Writes the demo recording: a numbered PNG sequence of the three markers moving over a plain
// scene, into the directory given (the repository keeps it in demo/frames).
#include <cstdio>
#include <filesystem>
#include <iostream>

#include <opencv2/imgcodecs.hpp>

#include "scene.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: make_demo_recording DIRECTORY\n";
        return 2;
    }
    const std::filesystem::path directory = argv[1];
    std::filesystem::create_directories(directory);
    for (int i = 0; i < demoFrameCount; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "%04d.png", i);
        if (!cv::imwrite((directory / name).string(), drawScene(demoFrameSize, demoMarkers(i)))) {
            std::cerr << "make_demo_recording: cannot write " << (directory / name) << "\n";
            return 1;
        }
    }
    return 0;
}
