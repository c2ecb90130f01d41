#pragma once
// Running the built programs as a person or a launcher would: in a working directory of their
// own, with standard descriptors and environment chosen by the test, on the test's display.

#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "detection.h"
#include "scene.h"
#include "test_support.h"

// How a program is started.
struct Launch {
    Launch(std::vector<std::string> argv, std::filesystem::path directory, int stdoutFd = -1)
        : argv(std::move(argv)), directory(std::move(directory)), stdoutFd(stdoutFd) {}

    std::vector<std::string> argv;
    std::filesystem::path directory;  // working directory; "stdout" and "stderr" files go here
    int stdoutFd = -1;                // when set, standard output is this descriptor, not a file
    int stderrFd = -1;                // likewise for standard error
    std::vector<int> closedFds;       // standard descriptors closed before the program starts
    std::map<std::string, std::optional<std::string>> environment;  // set, or unset with nullopt
};

// A started program, killed at the end of the test if it is still running.
class Child {
public:
    explicit Child(const Launch& launch);
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    pid_t pid() const { return pid_; }
    bool running();
    // The exit status, 128 + the signal for a program ended by one, or -1 if it is still
    // running after `timeout`.
    int waitFor(std::chrono::milliseconds timeout);
    // The signal that ended the program, or 0; valid after waitFor.
    int endingSignal() const { return WIFSIGNALED(status_) ? WTERMSIG(status_) : 0; }
    void signal(int signo);
    std::string out() const;
    std::string err() const;

private:
    bool reap(int options);

    std::filesystem::path out_, err_;
    pid_t pid_ = -1;
    int status_ = 0;
    bool exited_ = false;
};

// A working directory two levels below a scratch directory, where the command file lands.
struct Workspace {
    ScratchDirectory scratch;
    std::filesystem::path directory = scratch.path() / "run" / "here";
    std::filesystem::path commandFile = scratch.path() / "wheelchair_commands.txt";
    Workspace() { std::filesystem::create_directories(directory); }
};

// Writes frames as a numbered PNG sequence in `directory`; returns its pattern for the replay.
std::string writeRecording(const std::filesystem::path& directory,
                           const std::vector<cv::Mat>& frames);

// The same scene `count` times over, for a replay that runs for count x 300 ms.
std::string writeStillRecording(const std::filesystem::path& directory, const cv::Mat& scene,
                                int count);

// The first `frames` frames of the demo recording, written in `directory`; returns the pattern.
std::string writeDemoRecording(const std::filesystem::path& directory, int frames);

// The three markers standing still over a noisy scene, for a replay that runs as long as a
// test needs (see writeStillRecording), and the line and command file it gives every frame.
cv::Mat stillScene();
std::string stillReportLine();
std::string stillCommandFile();

// When the file's content was last renewed; the epoch when it is absent.
std::chrono::system_clock::time_point modificationTime(const std::filesystem::path& path);

// The report lines and final command file of the first `frames` frames of the demo.
std::string demoReport(int frames = demoFrameCount);
std::string demoCommandFile(int frames = demoFrameCount);

// The threshold table as the programs print it when they end, for the given table.
std::string tableMessage(const std::string& reason, const HsvRange (&table)[markerColorCount]);

// The complete lines of `text`, each with its line end. With `rest`, what follows the last line
// end: a line cut short.
std::vector<std::string> splitLines(const std::string& text, std::string* rest = nullptr);

// Runs a shell command and returns what it printed on standard output.
std::string shellOutput(const std::string& command);

// ---- the display ----

// The titles of the windows on the display, mapped ones only.
std::multiset<std::string> windowTitles();

// Polls until every title in `wanted` is on the display once, or `child` ends, or 30 s pass.
bool waitForWindows(Child& child, const std::set<std::string>& wanted);

// Polls until `predicate` holds or `timeout` passes; returns whether it held.
template <typename Predicate>
bool eventually(Predicate predicate, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!predicate()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        ::usleep(50 * 1000);
    }
    return true;
}

extern const std::set<std::string> panelTitles;    // "trackbars green", ...
extern const std::set<std::string> displayTitles;  // "green_threshold", ..., "camera_feed"
extern const std::set<std::string> allTitles;      // the seven
