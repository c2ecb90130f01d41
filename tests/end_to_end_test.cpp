// The built executables as a shell, a launcher or a service manager starts and stops them:
// exit codes, closed descriptors, no display, stop signals, leftovers of a killed run.
// Runs under a virtual display; the programs' paths come from the build.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <optional>
#include <random>
#include <set>
#include <thread>

#include "command_file.h"
#include "programs.h"
#include "report_line.h"
#include "scene.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

const std::string demoPattern = DEMO_FRAMES "/%04d.png";

std::string endTable(const std::string& reason) {
    return tableMessage(reason, defaultThresholds);
}

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
    std::vector<cv::Mat> frames;
    MarkerPosition last[markerColorCount];
    std::string expectedReport;
    for (int i = 0; i < recordedFrames; ++i) {
        frames.push_back(drawScene({320, 240}, recordedMarkers(i), 1000 + i));
        for (const SceneMarker& marker : recordedMarkers(i)) {
            last[marker.color] = expectedCenter(marker);
        }
        expectedReport += formatPositionReport(last[Green], last[Red], last[Blue]);
    }
    const std::string pattern = writeRecording(work.scratch.path() / "frames", frames);

    Child replay({{MARKER_TRACKER_REPLAY, pattern}, work.directory});
    EXPECT_TRUE(waitForWindows(replay, allTitles))
        << "seen: " << ::testing::PrintToString(windowTitles());

    EXPECT_EQ(replay.waitFor(60s), 0);
    EXPECT_EQ(replay.out(), expectedReport);
    EXPECT_EQ(readFile(work.commandFile), formatCommandFile(last[Green], last[Red], last[Blue]));
    EXPECT_EQ(replay.err(), endTable("The recording has ended"));
}

// A short recording tuned on: with --loop it plays again from its first frame each time it
// ends, and a stop ends it as it ends the live tracker.
TEST(Replay, LoopPlaysTheRecordingAgainUntilStopped) {
    Workspace work;
    std::vector<cv::Mat> frames;
    std::vector<std::string> lines;
    for (int i = 0; i < 3; ++i) {
        const std::vector<SceneMarker> markers = {
            {Green, {150, 120}, 14}, {Red, {30 + 20 * i, 40}, 12}, {Blue, {250, 190 - 30 * i}, 16}};
        frames.push_back(drawScene({320, 240}, markers, 50 + i));
        lines.push_back(formatPositionReport(expectedCenter(markers[0]), expectedCenter(markers[1]),
                                             expectedCenter(markers[2])));
    }
    const std::string pattern = writeRecording(work.scratch.path() / "frames", frames);
    Child replay({{MARKER_TRACKER_REPLAY, "--loop", pattern}, work.directory});
    // Three times through, and into the fourth.
    ASSERT_TRUE(eventually(
        [&] {
            const std::string out = replay.out();
            return !replay.running() || std::count(out.begin(), out.end(), '\n') >= 10;
        },
        60s));
    ASSERT_TRUE(replay.running()) << "the replay ended at the end of its recording";
    const auto sent = std::chrono::steady_clock::now();
    replay.signal(SIGTERM);
    EXPECT_NE(replay.waitFor(5s), -1);
    EXPECT_LT(std::chrono::steady_clock::now() - sent, 1s);
    EXPECT_EQ(replay.endingSignal(), SIGTERM);
    EXPECT_EQ(replay.err(), endTable("Stopped by SIGTERM"));
    const std::vector<std::string> out = splitLines(replay.out());
    ASSERT_GE(out.size(), 10u);
    for (size_t i = 0; i < out.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(out[i], lines[i % 3]);
    }
}

TEST(Replay, EachLineReachesAPipeAsItsFrameEnds) {
    Workspace work;
    const std::string command = "cd '" + work.directory.string() + "' && exec '" +
                                MARKER_TRACKER_REPLAY + "' '" + demoPattern + "' 2>/dev/null";
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
    // Every frame waits 300 ms after its line, however busy the machine; held in a buffer, the
    // first line would only arrive with the last, at the end. (A few frames' margin for the
    // reader being slow to read the first line.)
    EXPECT_GE(millisecondsSince() - firstLine, (demoFrameCount - 4) * 300);
    EXPECT_EQ(lines, demoFrameCount);
}

TEST(Replay, KeepsWritingTheCommandFileWhenItsOutputReaderIsGone) {
    Workspace work;
    // The read end is closed before the program starts: it writes into a pipe with no reader
    // from its first line on.
    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    ::close(ends[0]);
    Child replay({{MARKER_TRACKER_REPLAY, demoPattern}, work.directory, ends[1]});
    ::close(ends[1]);
    EXPECT_EQ(replay.waitFor(60s), 0);
    EXPECT_EQ(replay.err(),
              "Standard output was closed; coordinate lines are no longer printed. The command "
              "file is still written.\n" +
                  endTable("The recording has ended"));
    EXPECT_EQ(readFile(work.commandFile), demoCommandFile());
}

TEST(Replay, BadCommandLinesAndMissingSources) {
    struct Case {
        const char* name;
        std::vector<std::string> arguments;
        int status;
        const char* inMessage;
    };
    const Case cases[] = {
        {"no argument", {}, 2, "usage: marker_tracker_replay [--loop] SOURCE"},
        {"two arguments", {"a.avi", "b.avi"}, 2, "usage: marker_tracker_replay [--loop] SOURCE"},
        {"--loop alone", {"--loop"}, 2, "usage: marker_tracker_replay [--loop] SOURCE"},
        {"--loop and two sources", {"--loop", "a.avi", "b.avi"}, 2, "usage:"},
        {"an option misspelt", {"--lop", "a.avi"}, 2, "usage:"},
        {"--loop after the source", {"a.avi", "--loop"}, 2, "usage:"},
        {"--loop on a missing video", {"--loop", "no-such-clip.avi"}, 1, "'no-such-clip.avi'"},
        {"missing video", {"no-such-clip.avi"}, 1, "'no-such-clip.avi'"},
        {"missing sequence", {"nowhere/%04d.png"}, 1, "'nowhere/%04d.png'"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Workspace work;
        Launch launch{{MARKER_TRACKER_REPLAY}, work.directory};
        launch.argv.insert(launch.argv.end(), c.arguments.begin(), c.arguments.end());
        Child replay(launch);
        EXPECT_EQ(replay.waitFor(10s), c.status);
        const std::string err = replay.err();
        EXPECT_NE(err.find(c.inMessage), std::string::npos) << err;
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), c.status == 2 ? 3 : 1) << err;
        EXPECT_EQ(replay.out(), "");
        EXPECT_FALSE(fs::exists(work.commandFile));
    }
}

// Launchers and service managers may start a program with standard descriptors closed. Left
// closed, the window system's connection would take descriptor 1 and receive the lines.
TEST(Replay, RunsWithStandardDescriptorsClosed) {
    struct Case {
        const char* name;
        std::vector<int> closed;
    };
    const Case cases[] = {
        {"standard output closed", {1}},
        {"standard input closed", {0}},
        {"standard error closed", {2}},
        {"all three closed", {0, 1, 2}},
    };
    ScratchDirectory recording;
    const int frames = 6;
    const std::string pattern = writeDemoRecording(recording.path(), frames);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Workspace work;
        Launch launch{{MARKER_TRACKER_REPLAY, pattern}, work.directory};
        launch.closedFds = c.closed;
        Child replay(launch);
        EXPECT_EQ(replay.waitFor(60s), 0);
        EXPECT_EQ(readFile(work.commandFile), demoCommandFile(frames));
        const auto closed = [&c](int fd) {
            return std::find(c.closed.begin(), c.closed.end(), fd) != c.closed.end();
        };
        EXPECT_EQ(replay.out(), closed(1) ? "" : demoReport(frames));
        EXPECT_EQ(replay.err(), closed(2) ? "" : endTable("The recording has ended"));
    }
}

TEST(Replay, OutputToDevNullDropsNothingAndSaysNothing) {
    Workspace work;
    const int devNull = ::open("/dev/null", O_WRONLY);
    ASSERT_GE(devNull, 0);
    Child replay({{MARKER_TRACKER_REPLAY, demoPattern}, work.directory, devNull});
    ::close(devNull);
    EXPECT_EQ(replay.waitFor(60s), 0);
    EXPECT_EQ(replay.err(), endTable("The recording has ended"));
}

// Under a service manager standard error is a socket to its log. One that nobody reads fills
// up; neither the program's messages nor the toolkit's own (it warns at start when no runtime
// directory is set) may then hold the loop.
TEST(Replay, StandardErrorOnASocketNobodyReadsHoldsNothingUp) {
    Workspace work;
    ScratchDirectory recording;
    const std::string pattern = writeStillRecording(recording.path(), stillScene(), 40);
    int ends[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
    int small = 4096;
    ::setsockopt(ends[1], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    ::fcntl(ends[1], F_SETFL, O_NONBLOCK);
    const std::string block(512, '#');
    while (::write(ends[1], block.data(), block.size()) > 0) {
    }
    ::fcntl(ends[1], F_SETFL, 0);  // blocking, as a service manager hands it over

    Launch launch{{MARKER_TRACKER_REPLAY, pattern}, work.directory};
    launch.stderrFd = ends[1];
    launch.environment = {{"XDG_RUNTIME_DIR", std::nullopt}};
    Child replay(launch);
    ::close(ends[1]);
    ASSERT_TRUE(eventually([&] { return fs::exists(work.commandFile); }, 30s))
        << "the loop never wrote the command file";
    std::set<fs::file_time_type> renewals;
    EXPECT_TRUE(eventually(
        [&] {
            renewals.insert(fs::last_write_time(work.commandFile));
            return renewals.size() >= 4;
        },
        30s))
        << "the command file stopped moving";
    EXPECT_EQ(replay.waitFor(60s), 0);
    std::string everyLine;
    for (int i = 0; i < 40; ++i) {
        everyLine += stillReportLine();
    }
    EXPECT_EQ(replay.out(), everyLine);
    ::close(ends[0]);
}

// Over ssh or on a console there is no display; the programs say so in one line and leave
// every file alone, including a leftover they would otherwise clear away.
TEST(Programs, WithoutADisplaySayWhyAndTouchNothing) {
    struct Case {
        const char* name;
        std::optional<std::string> display;
        const char* inMessage;
    };
    const Case cases[] = {
        {"no display named", std::nullopt, "DISPLAY is not set"},
        {"an empty display name", "", "DISPLAY is not set"},
        {"a display nobody serves", ":93", "cannot reach the display :93"},
    };
    for (const char* program : {MARKER_TRACKER, MARKER_TRACKER_REPLAY}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(program) + ", " + c.name);
            Workspace work;
            const fs::path leftover = work.scratch.path() / ".wheelchair_commands.txt.tmp-0badf00d";
            { std::ofstream(leftover) << "bowl y 1\n"; }
            fs::last_write_time(leftover, fs::file_time_type::clock::now() - 10min);
            Launch launch{{program}, work.directory};
            if (program == std::string(MARKER_TRACKER_REPLAY)) {
                launch.argv.push_back(demoPattern);
            }
            launch.environment = {{"DISPLAY", c.display}, {"QT_QPA_PLATFORM", std::nullopt}};
            Child child(launch);
            EXPECT_EQ(child.waitFor(10s), 1);
            const std::string err = child.err();
            EXPECT_NE(err.find(c.inMessage), std::string::npos) << err;
            EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
            EXPECT_EQ(child.out(), "");
            EXPECT_FALSE(fs::exists(work.commandFile));
            EXPECT_TRUE(fs::exists(leftover));
        }
    }
}

TEST(Programs, APlatformChosenByTheUserIsRespected) {
    Workspace work;
    Launch launch{{MARKER_TRACKER_REPLAY, demoPattern}, work.directory};
    launch.environment = {{"DISPLAY", std::nullopt}, {"QT_QPA_PLATFORM", "offscreen"}};
    Child replay(launch);
    EXPECT_EQ(replay.waitFor(60s), 0);
    EXPECT_EQ(replay.out(), demoReport());
    EXPECT_EQ(readFile(work.commandFile), demoCommandFile());
}

// Names in `directory` that a replacement of the command file leaves behind only when cut off.
std::vector<std::string> temporaries(const fs::path& directory) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(directory)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind(".wheelchair_commands.txt.tmp-", 0) == 0) {
            names.push_back(name);
        }
    }
    return names;
}

// Every complete line of `text` is a report line, and nothing follows the last line end.
::testing::AssertionResult onlyWholeReportLines(const std::string& text) {
    std::string cut;
    for (const std::string& line : splitLines(text, &cut)) {
        MarkerPosition p[3];
        char after = 0;
        if (std::sscanf(line.c_str(),
                        "RED:(%d,%d) GRN:(%d,%d) BLU:(%d,%d) Deltas: y=(%*d,%*d) z=(%*d,%*d)%c",
                        &p[0].x, &p[0].y, &p[1].x, &p[1].y, &p[2].x, &p[2].y, &after) != 7 ||
            after != '\n' || formatPositionReport(p[1], p[0], p[2]) != line) {
            return ::testing::AssertionFailure() << "not a report line: '" << line << "'";
        }
    }
    if (!cut.empty()) {
        return ::testing::AssertionFailure() << "cut line at the end: '" << cut << "'";
    }
    return ::testing::AssertionSuccess();
}

TEST(Programs, StopSignalsEndCleanlyWithinASecondAndShowTheTable) {
    ScratchDirectory recording;
    const std::string pattern = writeStillRecording(recording.path(), stillScene(), 400);
    std::mt19937 random{std::random_device{}()};
    std::uniform_int_distribution<int> delayMs(0, 1500);
    for (int signo : {SIGINT, SIGTERM, SIGHUP}) {
        for (int round = 0; round < 2; ++round) {
            const int delay = delayMs(random);
            SCOPED_TRACE(std::string(strsignal(signo)) + " " + std::to_string(delay) +
                         " ms after the windows appeared");
            Workspace work;
            Child replay({{MARKER_TRACKER_REPLAY, pattern}, work.directory});
            ASSERT_TRUE(waitForWindows(replay, allTitles));
            std::this_thread::sleep_for(std::chrono::milliseconds(delay));
            const auto sent = std::chrono::steady_clock::now();
            replay.signal(signo);
            EXPECT_NE(replay.waitFor(5s), -1);
            EXPECT_LT(std::chrono::steady_clock::now() - sent, 1s);
            EXPECT_EQ(replay.endingSignal(), signo);

            const std::string stopped =
                std::string("Stopped by ") + (signo == SIGINT    ? "SIGINT"
                                              : signo == SIGTERM ? "SIGTERM"
                                                                 : "SIGHUP");
            EXPECT_EQ(replay.err(), endTable(stopped));
            EXPECT_TRUE(onlyWholeReportLines(replay.out()));
            EXPECT_EQ(readFile(work.commandFile), stillCommandFile());
            EXPECT_TRUE(temporaries(work.scratch.path()).empty());
        }
    }
}

TEST(Programs, ASecondSignalEndsTheProgramAtOnce) {
    Workspace work;
    Child replay({{MARKER_TRACKER_REPLAY, demoPattern}, work.directory});
    ASSERT_TRUE(waitForWindows(replay, allTitles));
    // Held stopped, the program gets both signals together when it goes on: whichever is
    // handled first asks for the clean end, the other cuts it short.
    replay.signal(SIGSTOP);
    replay.signal(SIGINT);
    replay.signal(SIGTERM);
    replay.signal(SIGCONT);
    EXPECT_NE(replay.waitFor(5s), -1);
    EXPECT_TRUE(replay.endingSignal() == SIGINT || replay.endingSignal() == SIGTERM)
        << replay.endingSignal();
    EXPECT_EQ(replay.err().find("The color ranges"), std::string::npos) << replay.err();
}

TEST(Programs, LeftoversOfAKilledRunAreClearedOnceOld) {
    Workspace work;
    const fs::path old = work.scratch.path() / ".wheelchair_commands.txt.tmp-0dd0dd00";
    const fs::path young = work.scratch.path() / ".wheelchair_commands.txt.tmp-70a9c000";
    const fs::path unrelated = work.scratch.path() / ".other.txt.tmp-0dd0dd00";
    const fs::path usersOwn = work.scratch.path() / ".wheelchair_commands.txt.tmp-my-notes.txt";
    for (const fs::path& path : {old, young, unrelated, usersOwn}) {
        std::ofstream(path) << "bowl y 1\n";
    }
    for (const fs::path& path : {old, unrelated, usersOwn}) {
        fs::last_write_time(path, fs::file_time_type::clock::now() - 2min);
    }

    Child replay({{MARKER_TRACKER_REPLAY, demoPattern}, work.directory});
    EXPECT_EQ(replay.waitFor(60s), 0);
    EXPECT_FALSE(fs::exists(old));
    EXPECT_TRUE(fs::exists(young)) << "may belong to a tracker still running";
    EXPECT_TRUE(fs::exists(unrelated));
    EXPECT_TRUE(fs::exists(usersOwn)) << "a user's file that only looks like a leftover";
    EXPECT_EQ(replay.err(),
              "Removed 1 temporary command file left beside " + std::string(commandFilePath) +
                  " by an earlier run that was killed.\n" + endTable("The recording has ended"));
}

// A second tracker or replay started in the same folder (the operator tuning on a recording
// while the live tracker runs) must not hand the consumer its offsets: the first program is the
// file's one writer, and the second says why it does not write. A writer killed outright
// leaves the file to the next program.
TEST(Programs, TheCommandFileHasOneWriterAtATime) {
    Workspace work;
    ScratchDirectory recordings;
    const cv::Mat first = stillScene();
    const SceneMarker moved[] = {
        {Green, {60, 60}, 14}, {Red, {200, 40}, 12}, {Blue, {90, 180}, 16}};
    const cv::Mat second = drawScene({320, 240}, {std::begin(moved), std::end(moved)}, 9);
    const std::string secondFile = formatCommandFile(
        expectedCenter(moved[0]), expectedCenter(moved[1]), expectedCenter(moved[2]));
    ASSERT_NE(secondFile, stillCommandFile());

    Child writer({{MARKER_TRACKER_REPLAY, "--loop",
                   writeStillRecording(recordings.path() / "first", first, 2)},
                  work.directory});
    ASSERT_TRUE(eventually([&] { return readFile(work.commandFile) == stillCommandFile(); }, 30s));
    fs::create_directories(work.scratch.path() / "other" / "here");
    Launch secondLaunch{{MARKER_TRACKER_REPLAY, "--loop",
                         writeStillRecording(recordings.path() / "second", second, 2)},
                        work.directory};
    // A working directory of its own (for its stdout and stderr files) two levels below the
    // same folder: the same command file.
    secondLaunch.directory = work.scratch.path() / "other" / "here";
    Child intruder(secondLaunch);
    // Both run side by side for a while; the file never holds the second one's offsets.
    const auto until = std::chrono::steady_clock::now() + 4s;
    bool onlyFirst = true;
    while (std::chrono::steady_clock::now() < until) {
        const std::string content = readFile(work.commandFile);
        onlyFirst = onlyFirst && content == stillCommandFile();
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_TRUE(onlyFirst) << "the second program's offsets reached the file";
    EXPECT_TRUE(intruder.running());
    EXPECT_GE(splitLines(intruder.out()).size(), 4u) << "the second program's lines stopped";
    EXPECT_EQ(intruder.err(),
              "The command file ../../wheelchair_commands.txt is written by "
              "another program (process " +
                  std::to_string(writer.pid()) +
                  "); this one will not write it while it runs. Windows, lines "
                  "and ranges go on as usual.\n");

    // Killed outright, the writer leaves the lock free: the next program writes the file.
    writer.signal(SIGKILL);
    EXPECT_EQ(writer.waitFor(5s), 128 + SIGKILL);
    intruder.signal(SIGTERM);
    EXPECT_EQ(intruder.waitFor(5s), 128 + SIGTERM);
    Child next({{MARKER_TRACKER_REPLAY, writeStillRecording(recordings.path() / "next", second, 3)},
                work.directory});
    EXPECT_EQ(next.waitFor(60s), 0);
    EXPECT_EQ(readFile(work.commandFile), secondFile);
    EXPECT_EQ(next.err(), endTable("The recording has ended"));
}

TEST(LiveTracker, WithoutACameraKeepsRunningQuietly) {
    if (fs::exists("/dev/video0")) {
        GTEST_SKIP() << "this machine has a camera at /dev/video0; the test needs one without";
    }
    Workspace work;
    Child tracker({{MARKER_TRACKER}, work.directory});
    EXPECT_TRUE(waitForWindows(tracker, panelTitles))
        << "seen: " << ::testing::PrintToString(windowTitles());

    // Long enough for at least one reopen attempt.
    std::this_thread::sleep_for(4s);
    ASSERT_TRUE(tracker.running());
    tracker.signal(SIGTERM);
    EXPECT_NE(tracker.waitFor(10s), -1);
    EXPECT_EQ(tracker.endingSignal(), SIGTERM);

    EXPECT_EQ(tracker.err(), "camera 0 could not be opened; trying again every 3 s.\n" +
                                 endTable("Stopped by SIGTERM"));
    EXPECT_EQ(tracker.out(), "");
    EXPECT_FALSE(fs::exists(work.commandFile));
}

}  // namespace
