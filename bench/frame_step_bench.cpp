// The frame step without camera, windows or wait, against the OpenCV work it cannot avoid.
// The command file goes to a temporary directory under TMPDIR (default /tmp).
//
//   BM_FrameStep/<W>x<H>      conversion, three masks, three localizations with overlay, the
//                             report line into a discarded stream, the command file's content
//                             and its atomic replacement in a temporary directory
//   BM_RequiredOpenCV/<W>x<H> cvtColor, then per color inRange, erode, dilate, the mask copy and
//                             findContours
#include <benchmark/benchmark.h>

#include <stdlib.h>

#include <filesystem>
#include <ostream>
#include <streambuf>

#include <opencv2/imgproc.hpp>

#include "frame_loop.h"
#include "scene.h"

namespace {

// Hands out the same frame forever, copied into the step's buffer as a camera's read delivers
// it. The copy stands in for the camera and is left out of the timing.
class RepeatingSource : public FrameSource {
public:
    RepeatingSource(cv::Mat frame, benchmark::State& state)
        : frame_(std::move(frame)), state_(state) {}
    bool read(cv::Mat& frame) override {
        state_.PauseTiming();
        frame_.copyTo(frame);
        state_.ResumeTiming();
        return true;
    }

private:
    cv::Mat frame_;
    benchmark::State& state_;
};

class DiscardingBuffer : public std::streambuf {
protected:
    int overflow(int c) override { return c; }
    std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};

// The three markers, sized to the frame, over a textured, noisy background.
cv::Mat realisticFrame(cv::Size size) {
    const int side = std::max(8, size.width / 24);
    return drawScene(size,
                     {{Green, {size.width / 5, size.height / 2}, side},
                      {Red, {size.width / 2, size.height / 4}, side},
                      {Blue, {size.width * 3 / 4, size.height * 2 / 3}, side}},
                     7);
}

void frameStep(benchmark::State& state, cv::Size size) {
    // The system's temporary directory, or TMPDIR.
    std::string pattern =
        (std::filesystem::temp_directory_path() / "tracker-bench-XXXXXX").string();
    const std::filesystem::path directory = ::mkdtemp(pattern.data());
    DiscardingBuffer discard;
    std::ostream report(&discard);
    FrameOutputs outputs;
    outputs.report = &report;
    outputs.commandFile.path = (directory / "wheelchair_commands.txt").string();
    outputs.display = false;
    FrameContext context;
    context.source = std::make_unique<RepeatingSource>(realisticFrame(size), state);

    for (auto _ : state) {
        runFrameStep(context, outputs);
    }
    if (markerEverFound != 1 || outputs.commandFile.mode != CommandFile::Mode::Replacing) {
        state.SkipWithError("the markers were not found or the command file was not written");
    }
    std::filesystem::remove_all(directory);
}

void requiredOpenCv(benchmark::State& state, cv::Size size) {
    RepeatingSource camera(realisticFrame(size), state);
    cv::Mat cameraFeed;
    cv::Mat hsvFrame;
    cv::Mat masks[markerColorCount];
    for (auto _ : state) {
        // A freshly delivered frame, as the step gets, with the same untimed copy.
        camera.read(cameraFeed);
        cv::cvtColor(cameraFeed, hsvFrame, cv::COLOR_BGR2HSV);
        for (MarkerColor color : {Green, Red, Blue}) {
            const HsvRange& r = thresholdTable[color];
            cv::inRange(hsvFrame, cv::Scalar(r.hMin, r.sMin, r.vMin, 0),
                        cv::Scalar(r.hMax, r.sMax, r.vMax, 0), masks[color]);
            cv::erode(masks[color], masks[color],
                      cv::getStructuringElement(cv::MORPH_RECT, cv::Size(3, 3)));
            cv::dilate(masks[color], masks[color],
                       cv::getStructuringElement(cv::MORPH_RECT, cv::Size(8, 8)));
            cv::Mat searched = masks[color].clone();
            std::vector<std::vector<cv::Point>> contours;
            std::vector<cv::Vec4i> hierarchy;
            cv::findContours(searched, contours, hierarchy, cv::RETR_CCOMP,
                             cv::CHAIN_APPROX_SIMPLE);
            benchmark::DoNotOptimize(contours.data());
        }
    }
}

const cv::Size sizes[] = {{640, 480}, {1280, 720}, {1920, 1080}};

}  // namespace

int main(int argc, char** argv) {
    for (const cv::Size& size : sizes) {
        const std::string suffix =
            "/" + std::to_string(size.width) + "x" + std::to_string(size.height);
        benchmark::RegisterBenchmark(("BM_FrameStep" + suffix).c_str(), frameStep, size)
            ->Unit(benchmark::kMicrosecond);
        benchmark::RegisterBenchmark(("BM_RequiredOpenCV" + suffix).c_str(), requiredOpenCv, size)
            ->Unit(benchmark::kMicrosecond);
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
}
