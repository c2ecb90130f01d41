#include "programs.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <thread>

#include <opencv2/imgcodecs.hpp>

#include "command_file.h"
#include "report_line.h"

namespace fs = std::filesystem;

extern char** environ;

Child::Child(const Launch& launch)
    : out_(launch.directory / "stdout"), err_(launch.directory / "stderr") {
    // Everything the child needs is prepared here: after fork it only makes system calls.
    std::vector<std::string> environment;
    for (char** entry = environ; *entry; ++entry) {
        const std::string setting = *entry;
        const std::string name = setting.substr(0, setting.find('='));
        if (launch.environment.count(name) == 0) {
            environment.push_back(setting);
        }
    }
    for (const auto& [name, value] : launch.environment) {
        if (value) {
            environment.push_back(name + "=" + *value);
        }
    }
    std::vector<char*> args, envp;
    for (const std::string& arg : launch.argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    for (const std::string& setting : environment) {
        envp.push_back(const_cast<char*>(setting.c_str()));
    }
    envp.push_back(nullptr);

    pid_ = ::fork();
    if (pid_ < 0) {
        throw std::runtime_error("fork failed");
    }
    if (pid_ == 0) {
        const int out = ::open(out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = ::open(err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int stdoutTarget = launch.stdoutFd >= 0 ? launch.stdoutFd : out;
        const int stderrTarget = launch.stderrFd >= 0 ? launch.stderrFd : err;
        if (out < 0 || err < 0 || ::dup2(stdoutTarget, 1) < 0 || ::dup2(stderrTarget, 2) < 0 ||
            ::chdir(launch.directory.c_str()) != 0) {
            ::_exit(127);
        }
        ::close(out);
        ::close(err);
        for (int fd : {launch.stdoutFd, launch.stderrFd}) {
            if (fd > 2) {
                ::close(fd);
            }
        }
        for (int fd : launch.closedFds) {
            ::close(fd);
        }
        ::execve(args[0], args.data(), envp.data());
        ::_exit(127);
    }
}

Child::~Child() {
    if (!exited_) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
}

bool Child::reap(int options) {
    if (!exited_ && ::waitpid(pid_, &status_, options) == pid_) {
        exited_ = true;
    }
    return exited_;
}

bool Child::running() {
    return !reap(WNOHANG);
}

int Child::waitFor(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (running()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return WIFEXITED(status_) ? WEXITSTATUS(status_) : 128 + WTERMSIG(status_);
}

void Child::signal(int signo) {
    if (!exited_) {
        ::kill(pid_, signo);
    }
}

std::string Child::out() const {
    return readFile(out_);
}

std::string Child::err() const {
    return readFile(err_);
}

std::string writeRecording(const fs::path& directory, const std::vector<cv::Mat>& frames) {
    fs::create_directories(directory);
    for (size_t i = 0; i < frames.size(); ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "%04zu.png", i);
        if (!cv::imwrite((directory / name).string(), frames[i])) {
            throw std::runtime_error("cannot write a recording frame");
        }
    }
    return (directory / "%04d.png").string();
}

std::string writeStillRecording(const fs::path& directory, const cv::Mat& scene, int count) {
    const std::string pattern = writeRecording(directory, {scene});
    // The same bytes under every name: hard links cost nothing.
    for (int i = 1; i < count; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "%04d.png", i);
        fs::create_hard_link(directory / "0000.png", directory / name);
    }
    return pattern;
}

namespace {

const SceneMarker stillMarkers[] = {
    {Green, {150, 120}, 14}, {Red, {40, 30}, 12}, {Blue, {250, 190}, 16}};

}  // namespace

cv::Mat stillScene() {
    return drawScene({320, 240}, {std::begin(stillMarkers), std::end(stillMarkers)}, 5);
}

std::string stillReportLine() {
    return formatPositionReport(expectedCenter(stillMarkers[0]), expectedCenter(stillMarkers[1]),
                                expectedCenter(stillMarkers[2]));
}

std::string stillCommandFile() {
    return formatCommandFile(expectedCenter(stillMarkers[0]), expectedCenter(stillMarkers[1]),
                             expectedCenter(stillMarkers[2]));
}

std::chrono::system_clock::time_point modificationTime(const fs::path& path) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) {
        return {};
    }
    return std::chrono::system_clock::time_point(
        std::chrono::duration_cast<std::chrono::system_clock::duration>(
            std::chrono::seconds(status.st_mtim.tv_sec) +
            std::chrono::nanoseconds(status.st_mtim.tv_nsec)));
}

namespace {

void demoPositions(int upTo, MarkerPosition (&last)[markerColorCount]) {
    for (int i = 0; i < upTo; ++i) {
        for (const SceneMarker& marker : demoMarkers(i)) {
            last[marker.color] = expectedCenter(marker);
        }
    }
}

}  // namespace

std::string writeDemoRecording(const fs::path& directory, int frames) {
    std::vector<cv::Mat> images;
    for (int i = 0; i < frames; ++i) {
        images.push_back(drawScene(demoFrameSize, demoMarkers(i)));
    }
    return writeRecording(directory, images);
}

std::string demoReport(int frames) {
    std::string report;
    for (int i = 1; i <= frames; ++i) {
        MarkerPosition last[markerColorCount];
        demoPositions(i, last);
        report += formatPositionReport(last[Green], last[Red], last[Blue]);
    }
    return report;
}

std::string demoCommandFile(int frames) {
    MarkerPosition last[markerColorCount];
    demoPositions(frames, last);
    return formatCommandFile(last[Green], last[Red], last[Blue]);
}

std::string tableMessage(const std::string& reason, const HsvRange (&table)[markerColorCount]) {
    std::string message = reason + ". The color ranges as they stood:\n";
    for (MarkerColor color : {Green, Red, Blue}) {
        const HsvRange& r = table[color];
        message += std::string(markerColorName(color)) + ": H_MIN " + std::to_string(r.hMin) +
                   " H_MAX " + std::to_string(r.hMax) + " S_MIN " + std::to_string(r.sMin) +
                   " S_MAX " + std::to_string(r.sMax) + " V_MIN " + std::to_string(r.vMin) +
                   " V_MAX " + std::to_string(r.vMax) + "\n";
    }
    return message;
}

std::vector<std::string> splitLines(const std::string& text, std::string* rest) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        lines.push_back(text.substr(start, end - start + 1));
    }
    if (rest) {
        *rest = text.substr(start);
    }
    return lines;
}

std::string shellOutput(const std::string& command) {
    std::string output;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) {
        return output;
    }
    char buffer[4096];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) {
        output.append(buffer, got);
    }
    ::pclose(pipe);
    return output;
}

std::multiset<std::string> windowTitles() {
    std::multiset<std::string> titles;
    const std::string listing = shellOutput(
        "for id in $(xdotool search --onlyvisible --name . 2>/dev/null); do "
        "xdotool getwindowname $id 2>/dev/null; done");
    for (const std::string& line : splitLines(listing)) {
        titles.insert(line.substr(0, line.size() - 1));
    }
    return titles;
}

bool waitForWindows(Child& child, const std::set<std::string>& wanted) {
    return eventually(
               [&] {
                   if (!child.running()) {
                       return true;
                   }
                   const std::multiset<std::string> seen = windowTitles();
                   for (const std::string& title : wanted) {
                       if (seen.count(title) != 1) {
                           return false;
                       }
                   }
                   return true;
               },
               std::chrono::seconds(30)) &&
           child.running();
}

const std::set<std::string> panelTitles = {"trackbars green", "trackbars red", "trackbars blue"};
const std::set<std::string> displayTitles = {"green_threshold", "red_threshold", "blue_threshold",
                                             "camera_feed"};
const std::set<std::string> allTitles = {"trackbars green", "trackbars red", "trackbars blue",
                                         "green_threshold", "red_threshold", "blue_threshold",
                                         "camera_feed"};
