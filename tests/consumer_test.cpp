// The example consumer of the command file against a replay of the demo: it only ever sees
// complete sets of four lines, and it tells the file has gone stale about a second after the
// replay's last frame.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "command_file.h"
#include "programs.h"
#include "scene.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

// The consumer's line for a command file's content: its four lines joined by " | ".
std::string consumerLine(std::string content) {
    content.pop_back();
    for (size_t at; (at = content.find('\n')) != std::string::npos;) {
        content.replace(at, 1, " | ");
    }
    return content + "\n";
}

TEST(ExampleConsumer, SeesOnlyCompleteSetsAndTellsStalenessWithinASecondOrSo) {
    Workspace work;
    const fs::path consumerDirectory = work.scratch.path() / "consumer";
    fs::create_directories(consumerDirectory);
    Child consumer({{COMMAND_FILE_READER, work.commandFile.string()}, consumerDirectory});
    ASSERT_TRUE(eventually([&] { return !consumer.out().empty(); }, 5s));

    Child replay({{MARKER_TRACKER_REPLAY, DEMO_FRAMES "/%04d.png"}, work.directory});
    ASSERT_EQ(replay.waitFor(60s), 0);
    const auto lastRenewal = modificationTime(work.commandFile);

    const auto staleSaid = [&] { return consumer.out().find("stale:") != std::string::npos; };
    ASSERT_TRUE(eventually(staleSaid, 10s)) << consumer.out();
    const auto said = std::chrono::system_clock::now();
    // Never before a second has passed; after it, as soon as the consumer looks again, which a
    // busy machine may delay.
    EXPECT_GT(said - lastRenewal, 1s);
    consumer.signal(SIGTERM);
    consumer.waitFor(5s);

    // Every set the consumer printed is one the replay wrote, in the order written, and the
    // last is the file's final content.
    std::vector<std::string> written;
    MarkerPosition last[markerColorCount];
    for (int i = 0; i < demoFrameCount; ++i) {
        for (const SceneMarker& marker : demoMarkers(i)) {
            last[marker.color] = expectedCenter(marker);
        }
        written.push_back(consumerLine(formatCommandFile(last[Green], last[Red], last[Blue])));
    }
    const std::string out = consumer.out();
    const std::vector<std::string> lines = splitLines(out);
    ASSERT_GE(lines.size(), 3u) << out;
    EXPECT_EQ(lines.front().rfind("waiting for ", 0), 0u) << lines.front();
    EXPECT_EQ(lines.back().rfind("stale: ", 0), 0u) << lines.back();
    size_t next = 0;
    for (size_t i = 1; i + 1 < lines.size(); ++i) {
        SCOPED_TRACE(lines[i]);
        while (next < written.size() && written[next] != lines[i]) {
            ++next;
        }
        EXPECT_LT(next, written.size()) << "not a set the replay wrote, or out of order";
    }
    EXPECT_EQ(lines[lines.size() - 2], written.back());
    EXPECT_GE(lines.size() - 2, 10u) << "the consumer missed most frames";
}

// A file an hour old, or dated an hour ahead (the clock was set back since it was written),
// says nothing about now: its values are never shown, only that it is stale.
TEST(ExampleConsumer, NeverShowsValuesFromAStaleFile) {
    struct Case {
        const char* name;
        std::chrono::seconds offset;  // of the file's time from now
        const char* told;
    };
    const Case cases[] = {
        {"an hour old", -3600s, "stale: not renewed for more than 1 s"},
        {"dated an hour ahead", 3600s, "stale: renewed in the future"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Workspace work;
        {
            std::ofstream(work.commandFile)
                << "bowl y 500\nbowl z -400\nmouth y -300\nmouth z 200\n";
        }
        fs::last_write_time(work.commandFile, fs::file_time_type::clock::now() + c.offset);
        Child consumer({{COMMAND_FILE_READER, work.commandFile.string()}, work.directory});
        ASSERT_TRUE(eventually([&] { return !consumer.out().empty(); }, 10s));
        std::this_thread::sleep_for(500ms);  // several more looks at the file
        consumer.signal(SIGTERM);
        consumer.waitFor(5s);
        const std::vector<std::string> lines = splitLines(consumer.out());
        ASSERT_EQ(lines.size(), 1u) << consumer.out();
        EXPECT_EQ(lines[0].rfind(c.told, 0), 0u) << lines[0];
    }
}

}  // namespace
