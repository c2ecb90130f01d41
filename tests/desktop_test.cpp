// The replay's seven windows in a person's hands: a window manager on a virtual display, and
// the keyboard and mouse driven through xdotool. Keys and clicks must never hold the loop,
// closed windows come back, a dragged slider changes the next frame's mask, and a click tells
// the pixel's values.
#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "command_file.h"
#include "programs.h"
#include "report_line.h"
#include "scene.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

// Two green markers of different hues: A (hue 50) higher in the image, C (hue 70, green's
// upper hue bound) lower. With both in range the one higher up is reported; with H_MIN at 70
// only C is left.
const cv::Scalar hue50(63, 115, 80), hue70(80, 115, 63);  // BGR of HSV (50|70, 115, 115)
const SceneMarker markerA{Green, {60, 40}, 30}, markerC{Green, {200, 150}, 30};

cv::Mat twoGreensScene() {
    cv::Mat scene(240, 320, CV_8UC3, cv::Scalar(128, 128, 128));
    cv::rectangle(scene, cv::Rect(markerA.topLeft, cv::Size(markerA.side, markerA.side)), hue50,
                  cv::FILLED);
    cv::rectangle(scene, cv::Rect(markerC.topLeft, cv::Size(markerC.side, markerC.side)), hue70,
                  cv::FILLED);
    return scene;
}

const std::string lineWithA = formatPositionReport(expectedCenter(markerA), {}, {});
const std::string lineWithC = formatPositionReport(expectedCenter(markerC), {}, {});

std::string xdotool(const std::string& arguments) {
    return shellOutput("xdotool " + arguments + " 2>&1");
}

// A mapped window's id and where its client area lies on the screen.
struct Window {
    std::string id;
    cv::Rect area;
};

bool findWindow(const std::string& title, Window& window) {
    const std::string ids = xdotool("search --onlyvisible --name '^" + title + "$'");
    window.id = ids.substr(0, ids.find('\n'));
    if (window.id.empty() || window.id.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    const std::string info = shellOutput("xwininfo -id " + window.id);
    int values[4] = {-1, -1, -1, -1};
    const char* const keys[4] = {
        "Absolute upper-left X:", "Absolute upper-left Y:", "Width:", "Height:"};
    for (int i = 0; i < 4; ++i) {
        const size_t at = info.find(keys[i]);
        if (at != std::string::npos) {
            values[i] = std::atoi(info.c_str() + at + std::strlen(keys[i]));
        }
    }
    window.area = cv::Rect(values[0], values[1], values[2], values[3]);
    return values[2] > 0;
}

// The window to the front with the keyboard focus, as a click on it would leave it.
void activate(const Window& window) {
    xdotool("windowactivate --sync " + window.id);
    xdotool("windowraise " + window.id);
    std::this_thread::sleep_for(100ms);
}

// A left or right click at a point of the window's client area.
void clickAt(const Window& window, cv::Point point, int button = 1) {
    const cv::Point screen = window.area.tl() + point;
    xdotool("mousemove --sync " + std::to_string(screen.x) + " " + std::to_string(screen.y));
    xdotool("click " + std::to_string(button));
}

// The frame a window manager draws around a window: its client area grown by the frame's
// extents (left, right, top, bottom).
cv::Rect frameOf(const Window& window) {
    const std::string extents = shellOutput("xprop -id " + window.id + " _NET_FRAME_EXTENTS");
    int left = 0, right = 0, top = 0, bottom = 0;
    std::sscanf(extents.c_str(), "_NET_FRAME_EXTENTS(CARDINAL) = %d, %d, %d, %d", &left, &right,
                &top, &bottom);
    return cv::Rect(window.area.x - left, window.area.y - top, window.area.width + left + right,
                    window.area.height + top + bottom);
}

// Closes a window the way a person does: the close button at the right end of its title bar.
void closeThroughTitleBar(const Window& window) {
    const int titleBarTop = frameOf(window).y;
    activate(window);
    const int x = window.area.x + window.area.width - 10;
    const int y = window.area.y - (window.area.y - titleBarTop) / 2;
    xdotool("mousemove --sync " + std::to_string(x) + " " + std::to_string(y));
    xdotool("click 1");
}

// The window's contents as the screen shows them.
cv::Mat screenshot(const Window& window, const fs::path& directory) {
    const fs::path file = directory / ("window-" + window.id + ".png");
    shellOutput("import -window " + window.id + " '" + file.string() + "'");
    return cv::imread(file.string());
}

// The centers of the slider handles of a panel, top to bottom. The filled part of a slider's
// groove is drawn pure blue-violet up to the handle, which starts right after it.
std::vector<cv::Point> sliderHandles(const cv::Mat& panel) {
    cv::Mat fill;
    cv::inRange(panel, cv::Scalar(255, 90, 90), cv::Scalar(255, 199, 199), fill);
    cv::Mat labels, stats, centroids;
    const int count = cv::connectedComponentsWithStats(fill, labels, stats, centroids);
    std::vector<cv::Point> handles;
    for (int i = 1; i < count; ++i) {
        if (stats.at<int>(i, cv::CC_STAT_WIDTH) > 20) {
            handles.push_back(
                {stats.at<int>(i, cv::CC_STAT_LEFT) + stats.at<int>(i, cv::CC_STAT_WIDTH) + 7,
                 static_cast<int>(centroids.at<double>(i, 1))});
        }
    }
    std::sort(handles.begin(), handles.end(),
              [](const cv::Point& a, const cv::Point& b) { return a.y < b.y; });
    return handles;
}

class Desktop : public ::testing::Test {
protected:
    void SetUp() override {
        // 90 s of frames: longer than any test here, which ends the replay itself.
        const std::string pattern =
            writeStillRecording(work.scratch.path() / "frames", twoGreensScene(), 300);
        replay = std::make_unique<Child>(Launch{{MARKER_TRACKER_REPLAY, pattern}, work.directory});
        ASSERT_TRUE(waitForWindows(*replay, allTitles))
            << "seen: " << ::testing::PrintToString(windowTitles());
        ASSERT_TRUE(eventually([&] { return lines() >= 2; }, 15s));
    }

    // Ends the replay as a service manager would; returns what it said on standard error.
    std::string stop() {
        replay->signal(SIGTERM);
        EXPECT_EQ(replay->waitFor(5s), 128 + SIGTERM);
        return replay->err();
    }

    int lines() const {
        const std::string out = replay->out();
        return static_cast<int>(std::count(out.begin(), out.end(), '\n'));
    }

    // Frames still come, no faster than the loop's pace, and no window but the seven has
    // appeared. A held loop gives no line at all; a busy machine only makes lines come later.
    void expectTheLoopGoesOn() {
        const int before = lines();
        const auto start = std::chrono::steady_clock::now();
        EXPECT_TRUE(eventually([&] { return lines() - before >= 3; }, 10s)) << "the loop was held";
        std::this_thread::sleep_for(600ms);
        const int came = lines() - before;
        const auto took = std::chrono::steady_clock::now() - start;
        // Each frame waits 300 ms, so at most one more line than whole waits in the time taken.
        EXPECT_LE(came, took / 300ms + 1) << "the loop ran faster than its pace";
        const std::multiset<std::string> titles = windowTitles();
        EXPECT_EQ(std::set<std::string>(titles.begin(), titles.end()), allTitles)
            << ::testing::PrintToString(titles);
    }

    Window window(const std::string& title) {
        Window found;
        EXPECT_TRUE(eventually([&] { return findWindow(title, found); }, 15s)) << title;
        return found;
    }

    // Closes the window through its title bar and waits for it to come back, which it does
    // as a new window within a frame; returns how many report lines came meanwhile.
    int closeAndAwaitReturn(const std::string& title) {
        const Window old = window(title);
        closeThroughTitleBar(old);
        const int atClose = lines();
        Window back;
        EXPECT_TRUE(eventually([&] { return findWindow(title, back) && back.id != old.id; }, 10s))
            << title << " did not come back";
        return lines() - atClose;
    }

    Workspace work;
    std::unique_ptr<Child> replay;
};

TEST_F(Desktop, NoKeyOrClickInAnyWindowHoldsTheLoop) {
    for (const std::string& title : allTitles) {
        SCOPED_TRACE(title);
        const Window target = window(title);
        activate(target);
        // Save, properties, the context menu: in the toolkit's expanded style each opens a
        // dialog that holds the loop until it is closed.
        xdotool("key --clearmodifiers ctrl+s");
        xdotool("key --clearmodifiers ctrl+p");
        clickAt(target, {target.area.width / 2, target.area.height / 4}, 3);
        // Keys typed fast end the toolkit's wait early; the pace must not change meanwhile.
        xdotool("key --delay 25 --repeat 60 space >/dev/null 2>&1 &");
        expectTheLoopGoesOn();
    }
    EXPECT_EQ(stop(), tableMessage("Stopped by SIGTERM", defaultThresholds));
    EXPECT_EQ(readFile(work.commandFile), formatCommandFile(expectedCenter(markerA), {}, {}));
}

TEST_F(Desktop, ClosedWindowsComeBackAsTheyWere) {
    for (const std::string title : {"trackbars green", "camera_feed", "trackbars blue"}) {
        SCOPED_TRACE(title);
        // The next frame brings it back; the search for it, slow on a busy machine, may see a
        // few more lines come meanwhile.
        EXPECT_LE(closeAndAwaitReturn(title), 4) << "not back by the next frame";
        // Back in the plain style: still no dialog on Ctrl+S.
        activate(window(title));
        xdotool("key --clearmodifiers ctrl+s");
        expectTheLoopGoesOn();
    }
    // The re-made panels show the table, and closing them changed nothing in it.
    const Window green = window("trackbars green");
    const std::vector<cv::Point> handles = sliderHandles(screenshot(green, work.scratch.path()));
    EXPECT_EQ(handles.size(), 6u) << "the sliders are not where they were";
    EXPECT_EQ(stop(), tableMessage("Stopped by SIGTERM", defaultThresholds));
}

TEST_F(Desktop, DraggingASliderChangesTheNextFramesMask) {
    EXPECT_EQ(replay->out().substr(0, lineWithA.size()), lineWithA);
    const Window panel = window("trackbars green");
    activate(panel);
    const std::vector<cv::Point> handles = sliderHandles(screenshot(panel, work.scratch.path()));
    ASSERT_EQ(handles.size(), 6u);

    // H_MIN's handle (at 43) dragged to about 60, measured on the track by H_MAX's handle (at
    // 70): anywhere from 51 to 70 leaves marker A (hue 50) out and C (hue 70) in.
    const cv::Point from = panel.area.tl() + handles[0];
    const double perStep = double(handles[1].x - handles[0].x) / (70 - 43);
    const int to = from.x + static_cast<int>(perStep * (60 - 43));
    xdotool("mousemove --sync " + std::to_string(from.x) + " " + std::to_string(from.y));
    xdotool("mousedown 1");
    for (int step = 1; step <= 10; ++step) {
        xdotool("mousemove --sync " + std::to_string(from.x + (to - from.x) * step / 10) + " " +
                std::to_string(from.y));
    }
    xdotool("mouseup 1");
    const int linesAtRelease = lines();

    // The marker at hue 50 has left green's mask, and the one at hue 70 is reported.
    ASSERT_TRUE(eventually([&] { return lines() >= linesAtRelease + 3; }, 15s));
    const std::string out = replay->out();
    EXPECT_EQ(out.substr(out.size() - lineWithC.size()), lineWithC);
    const Window mask = window("green_threshold");
    const cv::Mat shown = screenshot(mask, work.scratch.path());
    ASSERT_EQ(shown.size(), cv::Size(320, 240));
    cv::Mat gray;
    cv::cvtColor(shown, gray, cv::COLOR_BGR2GRAY);
    EXPECT_EQ(cv::countNonZero(gray(cv::Rect(markerA.topLeft, cv::Size(30, 30)))), 0);
    EXPECT_EQ(cv::countNonZero(gray(cv::Rect(markerC.topLeft, cv::Size(30, 30)))), 30 * 30);

    const std::string told = stop();
    int hMin = -1;
    const size_t at = told.find("green: H_MIN ");
    ASSERT_NE(at, std::string::npos) << told;
    std::sscanf(told.c_str() + at, "green: H_MIN %d", &hMin);
    EXPECT_GE(hMin, 51);
    EXPECT_LE(hMin, 70);
    HsvRange tuned[markerColorCount] = {defaultThresholds[Green], defaultThresholds[Red],
                                        defaultThresholds[Blue]};
    tuned[Green].hMin = hMin;
    EXPECT_EQ(told, tableMessage("Stopped by SIGTERM", tuned));
}

TEST_F(Desktop, AClickTellsThePixelsValuesAndHowTheyStand) {
    const std::string insideA =
        "pixel (75,55): H 50 S 115 V 115 | green: inside | red: H 50 below H_MIN 174, S 115 below "
        "S_MIN 172, V 115 below V_MIN 186 | blue: H 50 below H_MIN 95, S 115 below S_MIN 179, V "
        "115 below V_MIN 133\n";
    const std::string background =
        "pixel (300,10): H 0 S 0 V 128 | green: H 0 below H_MIN 43, S 0 below S_MIN 86 | red: H 0 "
        "below H_MIN 174, S 0 below S_MIN 172, V 128 below V_MIN 186 | blue: H 0 below H_MIN 95, "
        "S 0 below S_MIN 179, V 128 below V_MIN 133\n";
    const std::string insideC =
        "pixel (229,179): H 70 S 115 V 115 | green: inside | red: H 70 below H_MIN 174, S 115 "
        "below S_MIN 172, V 115 below V_MIN 186 | blue: H 70 below H_MIN 95, S 115 below S_MIN "
        "179, V 115 below V_MIN 133\n";
    struct Click {
        const char* window;
        cv::Point point;
        const std::string& line;
    };
    const Click clicks[] = {
        {"camera_feed", {75, 55}, insideA},
        {"camera_feed", {300, 10}, background},
        {"green_threshold", {75, 55}, insideA},
        {"blue_threshold", {229, 179}, insideC},
    };
    std::string expected;
    for (const Click& click : clicks) {
        SCOPED_TRACE(click.window);
        const Window target = window(click.window);
        activate(target);
        clickAt(target, click.point);
        expected += click.line;
        EXPECT_TRUE(eventually([&] { return replay->err() == expected; }, 10s)) << replay->err();
    }

    // A window that comes back after being closed still answers.
    closeAndAwaitReturn("camera_feed");
    const Window back = window("camera_feed");
    activate(back);
    clickAt(back, {75, 55});
    expected += insideA;
    EXPECT_TRUE(eventually([&] { return replay->err() == expected; }, 10s)) << replay->err();
    EXPECT_EQ(stop(), expected + tableMessage("Stopped by SIGTERM", defaultThresholds));
}

// Keys as a person tunes with them: a click on a slider's handle gives it the focus, End takes
// it to the end of its track and Home to 0. The tracks cover the whole channels, also on a
// panel made again after it was closed.
TEST_F(Desktop, EndAndHomeReachTheEndsOfTheWholeChannels) {
    struct Press {
        const char* panel;
        int slider;  // in sliderLabels order
        const char* key;
    };
    const Press presses[] = {
        {"trackbars green", 1, "End"},  // H_MAX 179
        {"trackbars green", 3, "End"},  // S_MAX 255
        {"trackbars green", 5, "End"},  // V_MAX 255
        {"trackbars blue", 3, "End"},   // S_MAX 255
        {"trackbars red", 3, "End"},    // S_MAX 255
        {"trackbars red", 0, "Home"},   // H_MIN 0
    };
    for (const Press& press : presses) {
        SCOPED_TRACE(std::string(press.panel) + " " + sliderLabels[press.slider]);
        const Window panel = window(press.panel);
        activate(panel);
        const std::vector<cv::Point> handles =
            sliderHandles(screenshot(panel, work.scratch.path()));
        ASSERT_EQ(handles.size(), 6u);
        clickAt(panel, handles[press.slider]);
        xdotool(std::string("key ") + press.key);
    }
    // Closed and made again, the blue panel's tracks still reach 255.
    closeAndAwaitReturn("trackbars blue");
    const Window blue = window("trackbars blue");
    activate(blue);
    const std::vector<cv::Point> handles = sliderHandles(screenshot(blue, work.scratch.path()));
    ASSERT_EQ(handles.size(), 6u);
    clickAt(blue, handles[5]);
    xdotool("key End");  // V_MAX 255
    // The handles are found by the filled part of their groove, which a slider at 0 has none
    // of: the last press takes one to 0.
    clickAt(blue, handles[4]);
    xdotool("key Home");  // V_MIN 0
    // A frame for the last key to be taken.
    const int now = lines();
    ASSERT_TRUE(eventually([&] { return lines() >= now + 2; }, 15s));

    HsvRange tuned[markerColorCount] = {defaultThresholds[Green], defaultThresholds[Red],
                                        defaultThresholds[Blue]};
    tuned[Green].hMax = 179;
    tuned[Green].sMax = 255;
    tuned[Green].vMax = 255;
    tuned[Blue].sMax = 255;
    tuned[Blue].vMin = 0;
    tuned[Blue].vMax = 255;
    tuned[Red].sMax = 255;
    tuned[Red].hMin = 0;
    EXPECT_EQ(stop(), tableMessage("Stopped by SIGTERM", tuned));
}

// A panel the operator moved and then closed comes back where it was moved to; a window the
// operator moves stays there, frame after frame.
TEST_F(Desktop, WindowsStayWhereTheOperatorPutsThem) {
    const cv::Point movedTo(900, 700);
    for (const std::string title : {"trackbars red", "camera_feed"}) {
        SCOPED_TRACE(title);
        const Window before = window(title);
        xdotool("windowmove --sync " + before.id + " " + std::to_string(movedTo.x) + " " +
                std::to_string(movedTo.y));
        const int now = lines();
        ASSERT_TRUE(eventually([&] { return lines() >= now + 4; }, 15s));
        Window moved;
        ASSERT_TRUE(findWindow(title, moved));
        EXPECT_EQ(moved.area.tl(), movedTo) << "the program moved it back";
    }
    EXPECT_LE(closeAndAwaitReturn("trackbars red"), 4);
    Window back;
    EXPECT_TRUE(eventually(
        [&] { return findWindow("trackbars red", back) && back.area.tl() == movedTo; }, 5s))
        << "made again at " << back.area.tl() << replay->err();
    stop();
}

// At start the seven windows lie side by side on a 1920x1200 screen with 640x480 frames: none
// covers another, and each lies wholly on the screen.
TEST(DesktopLayout, TheSevenWindowsStartSideBySideOnTheScreen) {
    Workspace work;
    const cv::Mat scene = drawScene({640, 480}, {{Green, {300, 200}, 20}}, 7);
    const std::string pattern = writeStillRecording(work.scratch.path() / "frames", scene, 100);
    Child replay({{MARKER_TRACKER_REPLAY, pattern}, work.directory});
    ASSERT_TRUE(waitForWindows(replay, allTitles));
    // A few frames for the window manager to map and place every window.
    ASSERT_TRUE(eventually(
        [&] {
            const std::string out = replay.out();
            return std::count(out.begin(), out.end(), '\n') >= 4;
        },
        15s));

    const cv::Rect screen(0, 0, 1920, 1200);
    std::vector<std::pair<std::string, cv::Rect>> frames;
    for (const std::string& title : allTitles) {
        Window found;
        ASSERT_TRUE(findWindow(title, found)) << title;
        frames.emplace_back(title, frameOf(found));
        if (displayTitles.count(title)) {
            EXPECT_EQ(found.area.size(), cv::Size(640, 480))
                << title << " is not sized to its image";
        }
    }
    for (size_t i = 0; i < frames.size(); ++i) {
        SCOPED_TRACE(frames[i].first + " at " + ::testing::PrintToString(frames[i].second));
        EXPECT_EQ(frames[i].second & screen, frames[i].second) << "not wholly on the screen";
        for (size_t j = i + 1; j < frames.size(); ++j) {
            EXPECT_TRUE((frames[i].second & frames[j].second).empty())
                << "covers " << frames[j].first << " at "
                << ::testing::PrintToString(frames[j].second);
        }
    }
    shellOutput("import -window root '" + (work.scratch.path() / "layout.png").string() + "'");
    if (const char* keep = std::getenv("KEEP_SCREENSHOT")) {
        fs::copy_file(work.scratch.path() / "layout.png", keep,
                      fs::copy_options::overwrite_existing);
    }
    replay.signal(SIGTERM);
    EXPECT_EQ(replay.waitFor(5s), 128 + SIGTERM);
}

}  // namespace
