// Many frames through the step, without waits or windows: markers appear, move and vanish, and
// resident memory must stay flat. SOAK_FRAMES sets the frame count (at least 2,000).
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <ostream>
#include <streambuf>

#include "frame_loop.h"
#include "scene.h"
#include "test_support.h"

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool underAddressSanitizer = true;
#else
constexpr bool underAddressSanitizer = false;
#endif

long residentBytes() {
    std::ifstream statm("/proc/self/statm");
    long size = 0, resident = 0;
    statm >> size >> resident;
    return resident * ::sysconf(_SC_PAGESIZE);
}

class DiscardingBuffer : public std::streambuf {
protected:
    int overflow(int c) override { return c; }
    std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};

// A cycle of frames in which each marker drifts, and each is out of sight for part of it.
class CyclingSource : public FrameSource {
public:
    CyclingSource() {
        for (int i = 0; i < cycle; ++i) {
            std::vector<SceneMarker> markers;
            if (i % 37 < 30) {
                markers.push_back({Green, {40 + i % 50, 60 + i % 20}, 16});
            }
            if (i % 23 > 4) {
                markers.push_back({Red, {200 - i % 60, 30 + i % 40}, 12});
            }
            if (i % 41 < 25) {
                markers.push_back({Blue, {100 + i % 90, 180}, 18});
            }
            frames_.push_back(drawScene({320, 240}, markers, i));
        }
    }
    bool read(cv::Mat& frame) override {
        frames_[next_++ % cycle].copyTo(frame);
        return true;
    }

private:
    static constexpr int cycle = 97;
    std::vector<cv::Mat> frames_;
    long next_ = 0;
};

using Soak = FrameStepTest;

TEST_F(Soak, MemoryStaysFlat) {
    const char* setting = std::getenv("SOAK_FRAMES");
    const long frames = std::max(2000L, setting ? std::atol(setting) : 5000L);

    // Tens of thousands of lines would grow a string stream; they are dropped instead.
    DiscardingBuffer discard;
    std::ostream dropped(&discard);
    outputs.report = &dropped;
    context.source = std::make_unique<CyclingSource>();

    long baseline = 0;
    long at20000 = 0;
    for (long i = 1; i <= frames; ++i) {
        ASSERT_EQ(runFrameStep(context, outputs), StepResult::Processed);
        if (i == 1000) {
            baseline = residentBytes();
        }
        if (i == 20000) {
            at20000 = residentBytes();
        }
    }
    const long end = residentBytes();
    std::cout << "resident memory: " << baseline / 1024 << " KiB at frame 1,000, "
              << (at20000 ? std::to_string(at20000 / 1024) + " KiB at frame 20,000, " : "")
              << end / 1024 << " KiB at frame " << frames << std::endl;
    EXPECT_EQ(messages.str(), "");
    EXPECT_EQ(outputs.commandFile.mode, CommandFile::Mode::Replacing);
    if (underAddressSanitizer) {
        GTEST_SKIP() << "AddressSanitizer keeps freed memory in quarantine; no memory figure";
    }
    const long allowed = 2 * 1024 * 1024;
    EXPECT_LE(std::labs(end - baseline), allowed);
    if (at20000) {
        EXPECT_LE(std::labs(at20000 - baseline), allowed);
    }
}

}  // namespace
