#include "window_layout.h"

#include <algorithm>
#include <map>
#include <utility>
#include <vector>

#include <opencv2/highgui.hpp>

namespace {

// Room for a window manager's frame around a window: borders and a title bar. Generous, so
// frames a little larger than the common ones still do not overlap.
const cv::Size frameAllowance(10, 32);
// A panel's six sliders and its frame, with room to spare for larger fonts.
const cv::Size panelAllowance(410, 200);

cv::Size screenForLayout;
std::vector<std::pair<std::string, cv::Point>> unsettled;
// For each settled window, where its image area lies from the top-left corner of its frame.
// The toolkit tells where a window's image area is, even while the window is closed, but not
// where its frame is.
std::map<std::string, cv::Point> imageAreaOffsets;

// Pulls a window of `size` back onto the screen: wholly on it where it fits, otherwise with its
// top-left corner, and so its title bar, on it.
cv::Point keepOnScreen(cv::Point place, cv::Size size, cv::Size screen) {
    place.x = std::max(0, std::min(place.x, screen.width - size.width));
    place.y = std::max(0, std::min(place.y, screen.height - size.height));
    return place;
}

}  // namespace

WindowPlaces planWindowPlaces(cv::Size screen, cv::Size image) {
    WindowPlaces places;
    for (int color = 0; color < markerColorCount; ++color) {
        places.panels[color] = {
            keepOnScreen({0, color * panelAllowance.height}, panelAllowance, screen),
            panelAllowance};
    }
    const cv::Size cell = image + frameAllowance;
    for (int window = 0; window < displayWindowCount; ++window) {
        const cv::Point inGrid(panelAllowance.width + (window % 2) * cell.width,
                               (window / 2) * cell.height);
        places.images[window] = {keepOnScreen(inGrid, cell, screen), cell};
    }
    return places;
}

void setLayoutScreen(cv::Size screen) {
    screenForLayout = screen;
}

cv::Size layoutScreen() {
    return screenForLayout;
}

void placeNewWindow(const std::string& name, cv::Point place) {
    if (screenForLayout.empty()) {
        return;
    }
    cv::moveWindow(name, place.x, place.y);
    unsettled.emplace_back(name, place);
}

void settleNewWindows() {
    for (const auto& [name, place] : unsettled) {
        cv::moveWindow(name, place.x, place.y);
        imageAreaOffsets[name] = cv::getWindowImageRect(name).tl() - place;
    }
    unsettled.clear();
}

cv::Point windowPlace(const std::string& name, cv::Point otherwise) {
    const auto offset = imageAreaOffsets.find(name);
    if (offset == imageAreaOffsets.end()) {
        return otherwise;
    }
    try {
        return cv::getWindowImageRect(name).tl() - offset->second;
    } catch (const cv::Exception&) {
        return otherwise;  // the window is gone altogether
    }
}
