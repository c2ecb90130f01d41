// Where the seven windows start: apart and on the screen wherever they fit, with their title
// bars on the screen where they do not.
#include <gtest/gtest.h>

#include <vector>

#include "window_layout.h"

namespace {

std::vector<cv::Rect> allRooms(const WindowPlaces& places) {
    std::vector<cv::Rect> rooms(std::begin(places.panels), std::end(places.panels));
    rooms.insert(rooms.end(), std::begin(places.images), std::end(places.images));
    return rooms;
}

TEST(WindowLayout, WindowsThatFitLieApartAndWhollyOnTheScreen) {
    struct Case {
        cv::Size screen, image;
    };
    const Case cases[] = {
        {{1920, 1200}, {640, 480}}, {{1920, 1080}, {640, 480}}, {{1600, 1200}, {320, 240}},
        {{1280, 800}, {320, 240}},  {{1920, 1200}, {1, 1}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.screen << " screen, " << c.image << " frames");
        const std::vector<cv::Rect> rooms = allRooms(planWindowPlaces(c.screen, c.image));
        const cv::Rect screen({0, 0}, c.screen);
        for (size_t i = 0; i < rooms.size(); ++i) {
            EXPECT_EQ(rooms[i] & screen, rooms[i]) << i << " " << rooms[i];
            for (size_t j = i + 1; j < rooms.size(); ++j) {
                EXPECT_TRUE((rooms[i] & rooms[j]).empty()) << rooms[i] << " and " << rooms[j];
            }
        }
        // Each image's room holds the image and a frame around it.
        for (const cv::Rect& room : planWindowPlaces(c.screen, c.image).images) {
            EXPECT_GT(room.width, c.image.width);
            EXPECT_GT(room.height, c.image.height);
        }
    }
}

TEST(WindowLayout, WhereTheGridDoesNotFitEveryTitleBarStillStartsOnTheScreen) {
    struct Case {
        cv::Size screen, image;
    };
    const Case cases[] = {
        {{1280, 1024}, {640, 480}},   // two images do not fit beside the panels
        {{1366, 768}, {1920, 1080}},  // an image larger than the screen
        {{800, 600}, {640, 480}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.screen << " screen, " << c.image << " frames");
        const cv::Rect screen({0, 0}, c.screen);
        for (const cv::Rect& room : allRooms(planWindowPlaces(c.screen, c.image))) {
            EXPECT_TRUE(screen.contains(room.tl())) << room;
            // A room that fits on the screen lies wholly on it.
            if (room.width <= c.screen.width && room.height <= c.screen.height) {
                EXPECT_EQ(room & screen, room);
            }
        }
    }
}

}  // namespace
