// An example consumer of the tracker's command file, as a wheelchair-side program would read
// it. It stands alone: plain C++17 and Linux system calls, nothing from the tracker.
//
//   command_file_reader PATH
//
// It prints the four values each time they change, one line such as
//   bowl y 500 | bowl z -400 | mouth y -300 | mouth z 200
// but only values from a fresh file: one renewed within the last second. It says once when the
// file goes stale (the tracker is stopped or gets no frames) and once when it is fresh again,
// and shows no values meanwhile. Ends on Ctrl-C.
//
// How it reads, and why:
// - The file is opened, read and closed for every read. The tracker replaces the file rather
//   than rewriting it, so a descriptor kept open would go on showing the file it first opened.
// - It is woken by inotify when a file is moved into the directory under the file's name (each
//   replacement), or closed after writing (the tracker's fallback of rewriting in place), and
//   also looks every 100 ms, which is what tells it the file has gone stale.
// - The age is that of the very file it read: fstat of the descriptor the values came from, not
//   a second look at the path, which may by then name a newer file. It is checked before the
//   values are shown. A modification time in the future (the clock was set back after the
//   file was written) proves nothing about freshness, so it counts as stale too.
// - Anything but four complete lines in the expected order is not acted on; the next read is
//   awaited. That only happens while the tracker rewrites the file in place.
#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <optional>
#include <string>

namespace {

struct Commands {
    long bowlY, bowlZ, mouthY, mouthZ;
    bool operator==(const Commands& o) const {
        return bowlY == o.bowlY && bowlZ == o.bowlZ && mouthY == o.mouthY && mouthZ == o.mouthZ;
    }
};

// What one read of the file found: its content, and how many seconds before now it was last
// renewed (negative when its time lies in the future), from the descriptor it was read through.
struct Reading {
    std::string text;
    double age;
};

// Opens, reads and closes the file; nothing when it is absent or cannot be read.
std::optional<Reading> readFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        return std::nullopt;
    }
    Reading reading;
    struct stat status {};
    char buffer[4096];
    ssize_t got = 0;
    while ((got = ::read(fd, buffer, sizeof buffer)) > 0) {
        reading.text.append(buffer, static_cast<size_t>(got));
    }
    const bool statted = ::fstat(fd, &status) == 0;
    ::close(fd);
    if (got < 0 || !statted || !S_ISREG(status.st_mode)) {
        return std::nullopt;
    }
    const auto modified = std::chrono::system_clock::time_point(
        std::chrono::duration_cast<std::chrono::system_clock::duration>(
            std::chrono::seconds(status.st_mtim.tv_sec) +
            std::chrono::nanoseconds(status.st_mtim.tv_nsec)));
    reading.age =
        std::chrono::duration<double>(std::chrono::system_clock::now() - modified).count();
    return reading;
}

// The four values, if `text` is exactly the four lines in their order.
std::optional<Commands> parse(const std::string& text) {
    Commands c{};
    int used = 0;
    if (std::sscanf(text.c_str(), "bowl y %ld\nbowl z %ld\nmouth y %ld\nmouth z %ld\n%n", &c.bowlY,
                    &c.bowlZ, &c.mouthY, &c.mouthZ, &used) != 4 ||
        static_cast<size_t>(used) != text.size() || text.empty() || text.back() != '\n') {
        return std::nullopt;
    }
    return c;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: command_file_reader PATH" << std::endl;
        return 2;
    }
    const std::string path = argv[1];
    const std::string::size_type slash = path.rfind('/');
    const std::string directory = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    const double staleAfter = 1.0;

    const int watch = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (watch < 0 ||
        ::inotify_add_watch(watch, directory.c_str(), IN_MOVED_TO | IN_CLOSE_WRITE) < 0) {
        std::cerr << "command_file_reader: cannot watch " << directory << ": "
                  << std::strerror(errno) << std::endl;
        return 1;
    }

    std::optional<Commands> last;
    bool toldAbsent = false, stale = false;
    for (;;) {
        pollfd ready{watch, POLLIN, 0};
        ::poll(&ready, 1, 100);
        // The events only wake us; what counts is what the file holds now.
        char events[4096];
        while (::read(watch, events, sizeof events) > 0) {
        }

        const std::optional<Reading> reading = readFile(path);
        if (!reading) {
            if (!toldAbsent) {
                std::cout << "waiting for " << path << " (absent until a marker is first seen)"
                          << std::endl;
                toldAbsent = true;
            }
            continue;
        }
        // Freshness first: values from a stale file are never shown.
        const bool fresh = reading->age >= 0 && reading->age <= staleAfter;
        if (!fresh) {
            if (!stale) {
                std::cout << (reading->age < 0
                                  ? "stale: renewed in the future by this machine's clock, so "
                                    "its age is unknown; not acted on"
                                  : "stale: not renewed for more than 1 s; the tracker is "
                                    "stopped or gets no frames")
                          << std::endl;
                stale = true;
                last.reset();  // the next fresh values are shown, even if the same
            }
            continue;
        }
        if (stale) {
            std::cout << "fresh again" << std::endl;
            stale = false;
        }
        const std::optional<Commands> now = parse(reading->text);
        if (!now) {
            std::cout << "incomplete read, not acted on" << std::endl;
            continue;
        }
        if (!last || !(*now == *last)) {
            std::cout << "bowl y " << now->bowlY << " | bowl z " << now->bowlZ << " | mouth y "
                      << now->mouthY << " | mouth z " << now->mouthZ << std::endl;
            last = now;
        }
    }
}
