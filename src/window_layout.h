#pragma once
// Where the seven windows start on the screen, so that none covers another at start and the
// operator can begin tuning without dragging windows apart.

#include <string>

#include <opencv2/core.hpp>

#include "thresholds.h"

// The display windows in the order they are shown.
enum DisplayWindow { GreenMaskWindow, RedMaskWindow, BlueMaskWindow, CameraWindow };
constexpr int displayWindowCount = 4;

// The room each window's frame (title bar included) is given on the screen: the three panels in
// a column at the left, and the four images, each `image` pixels, in a two by two grid beside
// them (masks of green and red on top, blue's mask and the camera image below). Wherever the
// grid does not fit on `screen`, a window is pulled back so that it lies wholly on the screen
// if it can, and its title bar at least starts on it if it cannot. The room allows for the
// window manager's frame; a window's place is its room's top-left corner.
struct WindowPlaces {
    cv::Rect panels[markerColorCount];
    cv::Rect images[displayWindowCount];
};
WindowPlaces planWindowPlaces(cv::Size screen, cv::Size image);

// The screen the windows are laid out on; an empty size (the default) leaves placing them to
// the window manager.
void setLayoutScreen(cv::Size screen);
cv::Size layoutScreen();

// Moves a window just made to `place`, and once more after the next wait (settleNewWindows): a
// window manager that maps the window only later places it by its own rules. A window the
// operator moves afterwards stays where it was put. Does nothing without a layout screen.
void placeNewWindow(const std::string& name, cv::Point place);

// The second move of the windows placed since the last call, after which each one's image area
// is read, to tell later where the window stands. Called after each GUI wait.
void settleNewWindows();

// Where the frame of a window placed by placeNewWindow stands now, wherever the operator moved
// it, also while it is closed; `otherwise` for a window never placed and settled.
cv::Point windowPlace(const std::string& name, cv::Point otherwise);
