// An example consumer of the tracker's command file, as a wheelchair-side program would read
// it. It stands alone: plain C++17 and Linux system calls, nothing from the tracker.
//
//   command_file_reader PATH
//
// It prints the four values each time they change, one line such as
//   bowl y 500 | bowl z -400 | mouth y -300 | mouth z 200
// and says once when the file goes stale (not renewed for more than a second: the tracker is
// stopped or gets no frames) and once when it is fresh again. Ends on Ctrl-C.
//
// How it reads, and why:
// - The file is opened, read and closed for every read. The tracker replaces the file rather
//   than rewriting it, so a descriptor kept open would go on showing the file it first opened.
// - It is woken by inotify when a file is moved into the directory under the file's name (each
//   replacement), or closed after writing (the tracker's fallback of rewriting in place), and
//   also looks every 100 ms, which is what tells it the file has gone stale.
// - Anything but four complete lines in the expected order is not acted on; the next read is
//   awaited. That only happens while the tracker rewrites the file in place.
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>

namespace {

struct Commands {
    long bowlY, bowlZ, mouthY, mouthZ;
    bool operator==(const Commands& o) const {
        return bowlY == o.bowlY && bowlZ == o.bowlZ && mouthY == o.mouthY && mouthZ == o.mouthZ;
    }
};

// Reads the whole file afresh; nothing when it is absent.
std::optional<std::string> readWhole(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
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

// Seconds since the file was last renewed, or nothing when it is absent.
std::optional<double> age(const std::string& path) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) {
        return std::nullopt;
    }
    const auto modified = std::chrono::system_clock::time_point(
        std::chrono::duration_cast<std::chrono::system_clock::duration>(
            std::chrono::seconds(status.st_mtim.tv_sec) +
            std::chrono::nanoseconds(status.st_mtim.tv_nsec)));
    return std::chrono::duration<double>(std::chrono::system_clock::now() - modified).count();
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

        const std::optional<std::string> text = readWhole(path);
        if (!text) {
            if (!toldAbsent) {
                std::cout << "waiting for " << path << " (absent until a marker is first seen)"
                          << std::endl;
                toldAbsent = true;
            }
            continue;
        }
        const std::optional<Commands> now = parse(*text);
        if (!now) {
            std::cout << "incomplete read, not acted on" << std::endl;
            continue;
        }
        if (!last || !(*now == *last)) {
            std::cout << "bowl y " << now->bowlY << " | bowl z " << now->bowlZ << " | mouth y "
                      << now->mouthY << " | mouth z " << now->mouthZ << std::endl;
            last = now;
        }
        const std::optional<double> seconds = age(path);
        if (seconds && *seconds > staleAfter && !stale) {
            std::cout << "stale: not renewed for more than " << staleAfter
                      << " s; the tracker is stopped or gets no frames" << std::endl;
            stale = true;
        } else if (seconds && *seconds <= staleAfter && stale) {
            std::cout << "fresh again" << std::endl;
            stale = false;
        }
    }
}
