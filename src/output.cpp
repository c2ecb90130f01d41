#include "output.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ostream>
#include <random>
#include <sstream>

std::string formatPositionReport(const MarkerPosition& green, const MarkerPosition& red,
                                 const MarkerPosition& blue) {
    char line[160];
    std::snprintf(line, sizeof line,
                  "RED:(%d,%d) GRN:(%d,%d) BLU:(%d,%d) Deltas: y=(%d,%d) z=(%d,%d)\n", red.x, red.y,
                  green.x, green.y, blue.x, blue.y, red.x - green.x, red.x - blue.x,
                  red.y - green.y, red.y - blue.y);
    return line;
}

void writePositionReport(const MarkerPosition& green, const MarkerPosition& red,
                         const MarkerPosition& blue, std::ostream& out) {
    out << formatPositionReport(green, red, blue) << std::flush;
}

std::string formatCommandFile(const MarkerPosition& green, const MarkerPosition& red,
                              const MarkerPosition& blue) {
    std::ostringstream content;
    content << "bowl y " << (green.x - blue.x) * 100 << '\n'
            << "bowl z " << -(blue.y - green.y) * 100 << '\n'
            << "mouth y " << (green.x - red.x) * 100 << '\n'
            << "mouth z " << -(red.y - green.y) * 100 << '\n';
    return content.str();
}

namespace {

std::string describeErrno(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

// Creates a new file named after `path` with a random suffix, in the same directory so the
// rename stays within one file system. O_EXCL refuses anything already there, links included.
int createTemporaryBeside(const std::string& path, std::string& temporaryPath) {
    static std::mt19937 random{std::random_device{}()};
    const std::string::size_type slash = path.rfind('/');
    const std::string directory = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    for (int attempt = 0; attempt < 32; ++attempt) {
        char suffix[16];
        std::snprintf(suffix, sizeof suffix, "%08x", static_cast<unsigned>(random()));
        temporaryPath = directory + "." + name + ".tmp-" + suffix;
        // Mode 0666 less the umask, as for any plainly created file, so other users can read it.
        const int fd = ::open(temporaryPath.c_str(),
                              O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
        if (fd >= 0 || errno != EEXIST) {
            return fd;
        }
    }
    return -1;
}

std::string writeAll(int fd, const std::string& content) {
    std::string::size_type done = 0;
    while (done < content.size()) {
        const ssize_t written = ::write(fd, content.data() + done, content.size() - done);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return describeErrno("write failed");
        }
        done += static_cast<std::string::size_type>(written);
    }
    return "";
}

}  // namespace

std::string replaceFile(const std::string& path, const std::string& content) {
    std::string temporaryPath;
    const int fd = createTemporaryBeside(path, temporaryPath);
    if (fd < 0) {
        return describeErrno("cannot create a temporary file beside it");
    }
    std::string error = writeAll(fd, content);
    if (::close(fd) != 0 && error.empty()) {
        error = describeErrno("close failed");
    }
    if (error.empty() && ::rename(temporaryPath.c_str(), path.c_str()) != 0) {
        error = describeErrno("cannot rename the new file into place");
    }
    if (!error.empty()) {
        ::unlink(temporaryPath.c_str());
    }
    return error;
}

void writeCommandFile(const MarkerPosition& green, const MarkerPosition& red,
                      const MarkerPosition& blue, CommandFile& file, std::ostream& messages) {
    if (markerEverFound != 1) {
        return;
    }
    const std::string error = replaceFile(file.path, formatCommandFile(green, red, blue));
    if (!error.empty() && !file.failing) {
        messages << "Cannot write the command file " << file.path << " (" << error
                 << "); retrying every frame." << std::endl;
    } else if (error.empty() && file.failing) {
        messages << "The command file " << file.path << " is being written again." << std::endl;
    }
    file.failing = !error.empty();
}
