#include "process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <iostream>

#include <xcb/xcb.h>

#include "output.h"
#include "thresholds.h"

namespace {

volatile sig_atomic_t stopSignal = 0;

extern "C" void onStopSignal(int signo) {
    if (stopSignal != 0) {
        // Asked twice: the clean end is not wanted, so end now.
        ::signal(signo, SIG_DFL);
        ::raise(signo);
        return;
    }
    stopSignal = signo;
}

void openClosedStandardDescriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) < 0 && errno == EBADF) {
            // The lowest free number is this one, since the lower ones are open by now.
            ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        }
    }
}

// A pipe or terminal is shared with whoever else writes to it, so it is not switched to
// non-blocking in place; the process opens it afresh as a description of its own that is.
// Every writer in the process, the toolkit's warnings included, then drops rather than waits.
// Where that is refused, the stream polls before each write instead.
void giveOwnNonBlockingDescription(int fd) {
    struct stat status {};
    if (::fstat(fd, &status) != 0 || S_ISREG(status.st_mode) || S_ISBLK(status.st_mode) ||
        S_ISSOCK(status.st_mode)) {
        return;
    }
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    const int fresh = ::open(self.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fresh >= 0) {
        ::dup2(fresh, fd);
        ::close(fresh);
    }
}

void installNonBlockingStreams() {
    giveOwnNonBlockingDescription(STDOUT_FILENO);
    giveOwnNonBlockingDescription(STDERR_FILENO);
    // Kept for the whole run and never freed: the standard streams flush into them at exit.
    static NonBlockingOutput* const errors = new NonBlockingOutput(STDERR_FILENO);
    static NonBlockingOutput* const lines = new NonBlockingOutput(STDOUT_FILENO, &std::cerr);
    std::cerr.rdbuf(errors);
    std::cout.rdbuf(lines);
    // A message goes out whole at its end of line, not in pieces per insertion.
    std::cerr.unsetf(std::ios_base::unitbuf);
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
    xcb_connection_t* connection = xcb_connect(display, nullptr);
    const bool failed = xcb_connection_has_error(connection) != 0;
    xcb_disconnect(connection);
    if (failed) {
        return std::string("cannot reach the display ") + display +
               " to show the windows on (no X server there, or access refused)";
    }
    return "";
}

void startProcess(const char* program) {
    openClosedStandardDescriptors();
    installNonBlockingStreams();
    installSignalHandlers();
    const std::string problem = displayProblem();
    if (!problem.empty()) {
        std::cerr << program << ": " << problem << std::endl;
        std::exit(1);
    }
    removeStaleTemporaries(commandFilePath, std::chrono::minutes(1), std::cerr);
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
