#include "process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <iostream>

#include <xcb/xcb.h>

#include "command_file.h"
#include "console.h"
#include "thresholds.h"
#include "window_layout.h"

namespace {

// Written in a signal handler and read by the loop while the toolkit's threads run: a lock-free
// atomic is both safe in the handler and seen across threads.
std::atomic<int> stopSignal{0};
static_assert(std::atomic<int>::is_always_lock_free);

extern "C" void onStopSignal(int signo) {
    int none = 0;
    if (!stopSignal.compare_exchange_strong(none, signo)) {
        // Asked twice: the clean end is not wanted, so end now.
        ::signal(signo, SIG_DFL);
        ::raise(signo);
    }
}

// The display check's connection to the X server, kept for the whole run (see displayProblem),
// and the number of the screen the display names.
xcb_connection_t* checkConnection = nullptr;
int checkScreen = 0;

// The size of the screen the display names, or an empty size without a connection.
cv::Size displayScreenSize() {
    if (!checkConnection || xcb_connection_has_error(checkConnection) != 0) {
        return {};
    }
    xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(checkConnection));
    for (int i = 0; i < checkScreen && screens.rem > 0; ++i) {
        xcb_screen_next(&screens);
    }
    return screens.rem > 0 ? cv::Size(screens.data->width_in_pixels, screens.data->height_in_pixels)
                           : cv::Size();
}

void openClosedStandardDescriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) < 0 && errno == EBADF) {
            // The lowest free number is this one, since the lower ones are open by now.
            ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        }
    }
}

void installSignalHandlers() {
    // A reader of the coordinate lines that goes away must not take the command file with it.
    // Nor may the terminal stop the loop: not for writing to it from the background, nor for
    // Ctrl-Z, an undo habit, which would leave the consumer acting on stale offsets.
    ::signal(SIGPIPE, SIG_IGN);
    ::signal(SIGTTOU, SIG_IGN);
    ::signal(SIGTSTP, SIG_IGN);
    for (int signo : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction action {};
        ::sigaction(signo, nullptr, &action);
        if (action.sa_handler == SIG_IGN) {
            continue;  // ignored by whoever started us (nohup, a background job): keep it so
        }
        action.sa_handler = onStopSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        ::sigaction(signo, &action, nullptr);
    }
}

const char* signalName(int signo) {
    switch (signo) {
        case SIGINT:
            return "SIGINT";
        case SIGTERM:
            return "SIGTERM";
        case SIGHUP:
            return "SIGHUP";
        default:
            return "a signal";
    }
}

}  // namespace

std::string displayProblem() {
    const char* platform = std::getenv("QT_QPA_PLATFORM");
    if (platform && *platform) {
        return "";
    }
    const char* display = std::getenv("DISPLAY");
    if (!display || !*display) {
        return "no display to show the windows on (DISPLAY is not set); start it from a "
               "desktop session, or over ssh with -X";
    }
    // The connection stays open for the whole run. A server with no other client resets when
    // its last client leaves, and the toolkit's own connection, made moments later, could fall
    // into that reset and abort the program. A connection refused during such a reset (another
    // program's check just left) is tried again for about a second.
    for (int attempt = 0; attempt < 10; ++attempt) {
        if (checkConnection) {
            xcb_disconnect(checkConnection);
            ::usleep(100 * 1000);
        }
        checkConnection = xcb_connect(display, &checkScreen);
        if (xcb_connection_has_error(checkConnection) == 0) {
            return "";
        }
    }
    xcb_disconnect(checkConnection);
    checkConnection = nullptr;
    return std::string("cannot reach the display ") + display +
           " to show the windows on (no X server there, or access refused)";
}

void startProcess(const char* program) {
    openClosedStandardDescriptors();
    installNonBlockingStandardStreams();
    installSignalHandlers();
    const std::string problem = displayProblem();
    if (!problem.empty()) {
        std::cerr << program << ": " << problem << std::endl;
        std::exit(1);
    }
    setLayoutScreen(displayScreenSize());
}

bool stopRequested() {
    return stopSignal != 0;
}

void endProcess() {
    const int signo = stopSignal;
    std::cerr << (signo ? std::string("Stopped by ") + signalName(signo)
                        : std::string("The recording has ended"))
              << ". The color ranges as they stood:\n"
              << formatThresholdTable() << std::flush;
    relayStrayOutput();
    if (signo != 0) {
        struct sigaction action {};
        action.sa_handler = SIG_DFL;
        sigemptyset(&action.sa_mask);
        ::sigaction(signo, &action, nullptr);
        ::raise(signo);
        std::_Exit(128 + signo);
    }
    std::exit(0);
}
