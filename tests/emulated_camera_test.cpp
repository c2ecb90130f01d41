// The live tracker on a camera: OpenCV's own Video4Linux capture code, reading a camera that a
// library loaded with LD_PRELOAD emulates in user space (tests/emulated_camera). Each frame's
// green marker tells the frame's number, and the emulation logs when each frame was captured,
// so every report line tells how old its frame was when the line came out.
#include <gtest/gtest.h>

#include <signal.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <thread>
#include <vector>

#include "programs.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

double monotonicMs() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000.0 + now.tv_nsec / 1e6;
}

// The report lines of a program's standard output as they arrive, each with its arrival time.
class LineReader {
public:
    explicit LineReader(int fd) : fd_(fd), thread_([this] { run(); }) {}
    ~LineReader() {
        thread_.join();
        ::close(fd_);
    }
    std::vector<std::pair<double, std::string>> lines() {
        std::lock_guard<std::mutex> lock(mutex_);
        return lines_;
    }

private:
    void run() {
        std::string pending;
        char buffer[4096];
        ssize_t got;
        while ((got = ::read(fd_, buffer, sizeof buffer)) > 0) {
            const double at = monotonicMs();
            pending.append(buffer, static_cast<size_t>(got));
            std::string rest;
            const std::vector<std::string> complete = splitLines(pending, &rest);
            pending = rest;
            std::lock_guard<std::mutex> lock(mutex_);
            for (const std::string& line : complete) {
                lines_.emplace_back(at, line);
            }
        }
    }
    int fd_;
    std::mutex mutex_;
    std::vector<std::pair<double, std::string>> lines_;
    std::thread thread_;
};

// When each frame was captured, from the emulation's log.
std::map<long, double> captureTimes(const fs::path& log) {
    std::map<long, double> times;
    std::ifstream in(log);
    long number;
    double at;
    while (in >> number >> at) {
        times[number] = at;
    }
    return times;
}

// How old the frame behind a report line was when the line came out: the frame's number is in
// the green marker's x (20 + 2 * (n % 100) for the square's left edge, 8 more for its center);
// of the frames with that number modulo 100, it is the last captured before the line.
double ageOf(const std::pair<double, std::string>& line, const std::map<long, double>& times) {
    int redX, redY, greenX, greenY;
    if (std::sscanf(line.second.c_str(), "RED:(%d,%d) GRN:(%d,%d)", &redX, &redY, &greenX,
                    &greenY) != 4) {
        return -1;
    }
    const long residue = (greenX - 28) / 2;
    double captured = -1;
    for (const auto& [number, at] : times) {
        if (number % 100 == residue && at <= line.first) {
            captured = at;
        }
    }
    return captured < 0 ? -1 : line.first - captured;
}

TEST(LiveTrackerOnAnEmulatedCamera, ProcessesTheNewestFrameAndToldOfLossAndReturnInItsOwnWords) {
    Workspace work;
    const fs::path log = work.scratch.path() / "captured";
    const fs::path unplugged = work.scratch.path() / "unplugged";
    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    Launch launch{{MARKER_TRACKER}, work.directory, ends[1]};
    launch.environment = {{"LD_PRELOAD", EMULATED_CAMERA},
                          {"EMULATED_CAMERA_LOG", log.string()},
                          {"EMULATED_CAMERA_UNPLUGGED", unplugged.string()},
                          {"ASAN_OPTIONS", "verify_asan_link_order=0"}};
    Child tracker(launch);
    ::close(ends[1]);
    LineReader reader(ends[0]);

    ASSERT_TRUE(eventually([&] { return reader.lines().size() >= 12; }, 30s)) << tracker.err();
    // Frames a plain read would process are four loop periods, about 1.2 s, old; the newest is
    // at most a camera period old when read, and the line follows at once.
    const std::vector<std::pair<double, std::string>> lines = reader.lines();
    const std::map<long, double> times = captureTimes(log);
    std::vector<double> ages;
    for (size_t i = 2; i < lines.size(); ++i) {
        ages.push_back(ageOf(lines[i], times));
        EXPECT_GE(ages.back(), 0) << lines[i].second;
    }
    std::sort(ages.begin(), ages.end());
    const double median = ages[ages.size() / 2];
    std::cout << "frame ages when their lines came out: median " << median << " ms, most "
              << ages.back() << " ms" << std::endl;
    EXPECT_LT(median, 400) << "the lines describe frames from well before they came out";

    // Unplugged: told once in the program's own words, lines stop; plugged back in: told once,
    // lines come again at the next attempt.
    { std::ofstream(unplugged) << ""; }
    ASSERT_TRUE(eventually(
        [&] { return tracker.err().find("stopped delivering frames") != std::string::npos; }, 30s))
        << tracker.err();
    const size_t linesWhileAway = reader.lines().size();
    std::this_thread::sleep_for(1500ms);
    EXPECT_LE(reader.lines().size(), linesWhileAway + 1) << "lines went on without a camera";
    fs::remove(unplugged);
    ASSERT_TRUE(eventually([&] { return reader.lines().size() >= linesWhileAway + 3; }, 30s))
        << tracker.err();
    tracker.signal(SIGTERM);
    EXPECT_EQ(tracker.waitFor(10s), 128 + SIGTERM);
    EXPECT_EQ(tracker.err(),
              "camera 0 stopped delivering frames; trying again every 3 s.\n"
              "camera 0 is delivering frames again.\n" +
                  tableMessage("Stopped by SIGTERM", defaultThresholds));
}

}  // namespace
