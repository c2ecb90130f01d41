// The built executables as an operator meets them: windows, console, command file, exit codes.
// Runs under a virtual display; the programs' paths come from the build.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <set>
#include <stdexcept>
#include <thread>

#include <opencv2/imgcodecs.hpp>

#include "output.h"
#include "scene.h"
#include "test_support.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

// A program started with its output in files, ended by the test if still running at the end.
class Child {
public:
    // With `closedOutput`, standard output is a pipe nobody reads from any more.
    Child(const std::vector<std::string>& argv, const fs::path& directory,
          bool closedOutput = false)
        : out_(directory / "stdout"), err_(directory / "stderr") {
        int pipeEnds[2] = {-1, -1};
        if (closedOutput) {
            // The read end is closed before the program starts: it writes into a pipe with no
            // reader from its first line on.
            if (::pipe(pipeEnds) != 0) {
                throw std::runtime_error("pipe failed");
            }
            ::close(pipeEnds[0]);
        }
        pid_ = ::fork();
        if (pid_ < 0) {
            throw std::runtime_error("fork failed");
        }
        if (pid_ == 0) {
            std::vector<char*> args;
            for (const std::string& arg : argv) {
                args.push_back(const_cast<char*>(arg.c_str()));
            }
            args.push_back(nullptr);
            const int out = ::open(out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            const int err = ::open(err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            const int stdoutTarget = closedOutput ? pipeEnds[1] : out;
            if (out < 0 || err < 0 || ::dup2(stdoutTarget, 1) < 0 || ::dup2(err, 2) < 0 ||
                ::chdir(directory.c_str()) != 0) {
                ::_exit(127);
            }
            ::execv(args[0], args.data());
            ::_exit(127);
        }
        if (closedOutput) {
            ::close(pipeEnds[1]);
        }
    }
    ~Child() {
        if (!exited_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    bool running() { return !exited_ && !reap(WNOHANG); }

    // The exit status, or -1 if the program is still running after `timeout`.
    int waitFor(std::chrono::milliseconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (running()) {
            if (std::chrono::steady_clock::now() > deadline) {
                return -1;
            }
            std::this_thread::sleep_for(20ms);
        }
        return WIFEXITED(status_) ? WEXITSTATUS(status_) : 128 + WTERMSIG(status_);
    }

    void terminate() { ::kill(pid_, SIGTERM); }
    std::string out() const { return readFile(out_); }
    std::string err() const { return readFile(err_); }

private:
    bool reap(int options) {
        if (::waitpid(pid_, &status_, options) == pid_) {
            exited_ = true;
        }
        return exited_;
    }

    fs::path out_, err_;
    pid_t pid_ = -1;
    int status_ = 0;
    bool exited_ = false;
};

// The titles of the windows on the display.
std::multiset<std::string> windowTitles() {
    std::multiset<std::string> titles;
    FILE* pipe = ::popen(
        "for id in $(xdotool search --name . 2>/dev/null); do "
        "xdotool getwindowname $id 2>/dev/null; done",
        "r");
    char line[256];
    while (pipe && std::fgets(line, sizeof line, pipe)) {
        std::string title(line);
        title.erase(title.find_last_not_of('\n') + 1);
        titles.insert(title);
    }
    if (pipe) {
        ::pclose(pipe);
    }
    return titles;
}

// Polls until every title in `wanted` is on the display once, or `child` ends or time runs out.
bool waitForWindows(Child& child, const std::set<std::string>& wanted,
                    std::multiset<std::string>& seen) {
    const auto deadline = std::chrono::steady_clock::now() + 15s;
    while (child.running() && std::chrono::steady_clock::now() < deadline) {
        seen = windowTitles();
        bool all = true;
        for (const std::string& title : wanted) {
            all = all && seen.count(title) == 1;
        }
        if (all) {
            return true;
        }
        std::this_thread::sleep_for(100ms);
    }
    return false;
}

const std::set<std::string> panelTitles = {"trackbars green", "trackbars red", "trackbars blue"};

// A working directory two levels below the scratch directory, where the command file lands.
struct Workspace {
    ScratchDirectory scratch;
    fs::path directory = scratch.path() / "run" / "here";
    fs::path commandFile = scratch.path() / "wheelchair_commands.txt";
    Workspace() { fs::create_directories(directory); }
};

// Marker paths of the recorded scene: green still, red moving right and down, blue moving left
// and hidden in frames 3 and 4.
std::vector<SceneMarker> recordedMarkers(int index) {
    std::vector<SceneMarker> markers = {
        {Green, {150, 120}, 14},
        {Red, {30 + 9 * index, 20 + 5 * index}, 12},
    };
    if (index != 3 && index != 4) {
        markers.push_back({Blue, {260 - 11 * index, 190}, 16});
    }
    return markers;
}
constexpr int recordedFrames = 9;

TEST(Replay, PlaysARecordingLikeTheLiveProgram) {
    Workspace work;
    const fs::path frames = work.scratch.path() / "frames";
    fs::create_directories(frames);
    MarkerPosition last[markerColorCount];
    std::string expectedReport;
    for (int i = 0; i < recordedFrames; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "%04d.png", i);
        ASSERT_TRUE(cv::imwrite((frames / name).string(),
                                drawScene({320, 240}, recordedMarkers(i), 1000 + i)));
        for (const SceneMarker& marker : recordedMarkers(i)) {
            last[marker.color] = expectedCenter(marker);
        }
        expectedReport += formatPositionReport(last[Green], last[Red], last[Blue]);
    }

    Child replay({MARKER_TRACKER_REPLAY, (frames / "%04d.png").string()}, work.directory);
    std::multiset<std::string> seen;
    std::set<std::string> all = panelTitles;
    all.insert({"green_threshold", "red_threshold", "blue_threshold", "camera_feed"});
    EXPECT_TRUE(waitForWindows(replay, all, seen)) << "seen: " << ::testing::PrintToString(seen);

    EXPECT_EQ(replay.waitFor(30s), 0);
    EXPECT_EQ(replay.out(), expectedReport);
    EXPECT_EQ(readFile(work.commandFile), formatCommandFile(last[Green], last[Red], last[Blue]));
    EXPECT_EQ(replay.err(), "");
}

TEST(Replay, EachLineReachesAPipeAsItsFrameEnds) {
    Workspace work;
    const std::string command = "cd '" + work.directory.string() + "' && exec '" +
                                MARKER_TRACKER_REPLAY + "' '" + DEMO_FRAMES + "/%04d.png'";
    const auto start = std::chrono::steady_clock::now();
    FILE* pipe = ::popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    char line[256];
    ASSERT_NE(std::fgets(line, sizeof line, pipe), nullptr);
    const auto millisecondsSince = [&start] {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::steady_clock::now() - start)
            .count();
    };
    const auto firstLine = millisecondsSince();
    int lines = 1;
    while (std::fgets(line, sizeof line, pipe)) {
        ++lines;
    }
    EXPECT_EQ(::pclose(pipe), 0);
    // The recording plays for at least demoFrameCount x 300 ms; held in a buffer, the first line
    // would only arrive with the last.
    EXPECT_LT(firstLine, 4000);
    EXPECT_GT(millisecondsSince(), demoFrameCount * 300);
    EXPECT_EQ(lines, demoFrameCount);
}

TEST(Replay, KeepsWritingTheCommandFileWhenItsOutputReaderIsGone) {
    Workspace work;
    Child replay({MARKER_TRACKER_REPLAY, DEMO_FRAMES "/%04d.png"}, work.directory, true);
    EXPECT_EQ(replay.waitFor(30s), 0);
    EXPECT_EQ(replay.err(),
              "Standard output was closed; coordinate lines are no longer printed. The command "
              "file is still written.\n");
    MarkerPosition last[markerColorCount];
    for (int i = 0; i < demoFrameCount; ++i) {
        for (const SceneMarker& marker : demoMarkers(i)) {
            last[marker.color] = expectedCenter(marker);
        }
    }
    EXPECT_EQ(readFile(work.commandFile), formatCommandFile(last[Green], last[Red], last[Blue]));
}

TEST(Replay, BadCommandLinesAndMissingSources) {
    struct Case {
        const char* name;
        std::vector<std::string> arguments;
        int status;
        const char* inMessage;
    };
    const Case cases[] = {
        {"no argument", {}, 2, "usage: marker_tracker_replay SOURCE"},
        {"two arguments", {"a.avi", "b.avi"}, 2, "usage: marker_tracker_replay SOURCE"},
        {"missing video", {"no-such-clip.avi"}, 1, "'no-such-clip.avi'"},
        {"missing sequence", {"nowhere/%04d.png"}, 1, "'nowhere/%04d.png'"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Workspace work;
        std::vector<std::string> argv = {MARKER_TRACKER_REPLAY};
        argv.insert(argv.end(), c.arguments.begin(), c.arguments.end());
        Child replay(argv, work.directory);
        EXPECT_EQ(replay.waitFor(10s), c.status);
        const std::string err = replay.err();
        EXPECT_NE(err.find(c.inMessage), std::string::npos) << err;
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), c.status == 2 ? 2 : 1) << err;
        EXPECT_EQ(replay.out(), "");
        EXPECT_FALSE(fs::exists(work.commandFile));
    }
}

TEST(LiveTracker, WithoutACameraKeepsRunningQuietly) {
    Workspace work;
    Child tracker({MARKER_TRACKER}, work.directory);
    std::multiset<std::string> seen;
    EXPECT_TRUE(waitForWindows(tracker, panelTitles, seen))
        << "seen: " << ::testing::PrintToString(seen);

    // Long enough for at least one reopen attempt.
    std::this_thread::sleep_for(4s);
    ASSERT_TRUE(tracker.running());
    tracker.terminate();
    EXPECT_NE(tracker.waitFor(10s), -1);

    const std::string err = tracker.err();
    EXPECT_EQ(err, "camera 0 could not be opened; trying again every 3 s.\n");
    EXPECT_EQ(tracker.out(), "");
    EXPECT_FALSE(fs::exists(work.commandFile));
}

}  // namespace
