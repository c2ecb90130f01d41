// The replay in the places its output goes in people's hands: a terminal the operator paused
// with Ctrl-S (hosted in tmux), and a pipe whose reader stopped reading. Neither may hold the
// loop still: the command file is renewed every frame throughout, and lines are dropped whole.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <set>
#include <thread>

#include "programs.h"
#include "report_line.h"
#include "scene.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

constexpr int stillFrames = 20;  // 6 s of replay

const char* const dropping =
    "Nobody is reading standard output; coordinate lines are dropped until it is read again.\n";
const std::string ended = tableMessage("The recording has ended", defaultThresholds);

// How many times the file's modification time moves during `duration`.
int renewalsDuring(const fs::path& path, std::chrono::milliseconds duration) {
    std::set<std::chrono::nanoseconds::rep> seen;
    const auto end = std::chrono::steady_clock::now() + duration;
    while (std::chrono::steady_clock::now() < end) {
        seen.insert(modificationTime(path).time_since_epoch().count());
        std::this_thread::sleep_for(20ms);
    }
    return static_cast<int>(seen.size()) - 1;
}

// The number N in "... read again; N coordinate line(s) were/was dropped."
int droppedCount(const std::string& err) {
    int count = -1;
    const size_t at = err.find("Standard output is read again; ");
    if (at != std::string::npos) {
        std::sscanf(err.c_str() + at, "Standard output is read again; %d", &count);
    }
    return count;
}

// A tmux server of the test's own, on a socket in a scratch directory.
class Tmux {
public:
    explicit Tmux(const fs::path& directory) : socket_((directory / "tmux.socket").string()) {}
    ~Tmux() { run("kill-server"); }
    std::string run(const std::string& arguments) {
        return shellOutput("tmux -f /dev/null -S '" + socket_ + "' " + arguments + " 2>&1");
    }

private:
    std::string socket_;
};

TEST(Terminal, NeitherCtrlSNorCtrlZInTheTerminalHoldsTheLoop) {
    Workspace work;
    const std::string pattern =
        writeStillRecording(work.scratch.path() / "frames", stillScene(), stillFrames);
    const fs::path err = work.directory / "stderr";
    const fs::path status = work.directory / "status";
    Tmux tmux(work.scratch.path());
    // Typed at an interactive shell, as a person does: the shell's job control is what Ctrl-Z
    // would suspend the program through.
    const std::string command = "cd '" + work.directory.string() + "' && '" +
                                MARKER_TRACKER_REPLAY + "' '" + pattern + "' 2>'" + err.string() +
                                "'; echo $? >'" + status.string() + "'";
    tmux.run("new-session -d -x 200 -y 50 'bash --norc --noprofile -i'");
    tmux.run("send-keys -l \"" + command + "\"");
    tmux.run("send-keys Enter");
    ASSERT_TRUE(eventually(
        [&] { return tmux.run("capture-pane -p").find("RED:(") != std::string::npos; }, 15s))
        << tmux.run("capture-pane -p");

    tmux.run("send-keys C-s");  // the operator pauses the terminal
    // A held loop would not renew the file at all; a busy machine only slows the renewals.
    EXPECT_GE(renewalsDuring(work.commandFile, 2000ms), 2) << "the command file went stale";
    tmux.run("send-keys C-q");
    tmux.run("send-keys C-z");  // and tries to undo something
    EXPECT_GE(renewalsDuring(work.commandFile, 1500ms), 2) << "Ctrl-Z suspended the loop";

    ASSERT_TRUE(eventually([&] { return fs::exists(status) && fs::file_size(status) > 0; }, 60s));
    EXPECT_EQ(readFile(status), "0\n");

    const std::string messages = readFile(err);
    const int dropped = droppedCount(messages);
    EXPECT_GT(dropped, 0) << messages;
    EXPECT_EQ(messages, dropping + std::string("Standard output is read again; ") +
                            std::to_string(dropped) + " coordinate lines were dropped.\n" + ended);

    // What the pane shows besides the shell's prompts and the terminal's own echo of Ctrl-Z:
    // whole report lines only, as many as were not dropped.
    std::string screen = tmux.run("capture-pane -p -J");
    for (size_t at; (at = screen.find("^Z")) != std::string::npos;) {
        screen.erase(at, 2);
    }
    int shown = 0;
    for (const std::string& line : splitLines(screen)) {
        if (line.find("RED:(") != std::string::npos) {
            EXPECT_EQ(line, stillReportLine());
            ++shown;
        }
    }
    EXPECT_EQ(shown + dropped, stillFrames);
}

TEST(Terminal, APipeNobodyReadsDropsLinesWholeUntilItIsReadAgain) {
    Workspace work;
    const std::string pattern =
        writeStillRecording(work.scratch.path() / "frames", stillScene(), stillFrames);
    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    ASSERT_EQ(::fcntl(ends[1], F_SETPIPE_SZ, 4096), 4096);
    // The reader has stopped reading with the pipe full.
    ::fcntl(ends[1], F_SETFL, O_NONBLOCK);
    const std::string filler(4096, '#');
    ASSERT_EQ(::write(ends[1], filler.data(), filler.size()), 4096);
    ::fcntl(ends[1], F_SETFL, 0);

    Child replay({{MARKER_TRACKER_REPLAY, pattern}, work.directory, ends[1]});
    ::close(ends[1]);
    ASSERT_TRUE(waitForWindows(replay, allTitles));
    EXPECT_GE(renewalsDuring(work.commandFile, 2000ms), 2) << "the command file went stale";

    // The reader comes back and reads everything from now on.
    std::string received;
    std::thread reader([&] {
        char buffer[4096];
        ssize_t got;
        while ((got = ::read(ends[0], buffer, sizeof buffer)) > 0) {
            received.append(buffer, static_cast<size_t>(got));
        }
    });
    EXPECT_EQ(replay.waitFor(60s), 0);
    reader.join();
    ::close(ends[0]);

    ASSERT_EQ(received.compare(0, filler.size(), filler), 0);
    std::string cut;
    const std::vector<std::string> lines = splitLines(received.substr(filler.size()), &cut);
    EXPECT_EQ(cut, "") << "a line was cut";
    for (const std::string& line : lines) {
        EXPECT_EQ(line, stillReportLine());
    }
    const std::string messages = replay.err();
    const int dropped = droppedCount(messages);
    EXPECT_GT(dropped, 0) << messages;
    EXPECT_EQ(static_cast<int>(lines.size()) + dropped, stillFrames);
    EXPECT_EQ(messages, dropping + std::string("Standard output is read again; ") +
                            std::to_string(dropped) + " coordinate lines were dropped.\n" + ended);
}

}  // namespace
