#include "output.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
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

// The directory part of `path` with its slash ("" for a bare name) and the name.
void splitPath(const std::string& path, std::string& directory, std::string& name) {
    const std::string::size_type slash = path.rfind('/');
    directory = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    name = slash == std::string::npos ? path : path.substr(slash + 1);
}

// What a temporary file beside `name` is called, before its random suffix.
std::string temporaryPrefix(const std::string& name) {
    return "." + name + ".tmp-";
}

// Creates a new file named after `path` with a random suffix, in the same directory so the
// rename stays within one file system. O_EXCL refuses anything already there, links included.
int createTemporaryBeside(const std::string& path, std::string& temporaryPath) {
    static std::mt19937 random{std::random_device{}()};
    std::string directory, name;
    splitPath(path, directory, name);
    for (int attempt = 0; attempt < 32; ++attempt) {
        char suffix[16];
        std::snprintf(suffix, sizeof suffix, "%08x", static_cast<unsigned>(random()));
        temporaryPath = directory + temporaryPrefix(name) + suffix;
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

// Writes all of `content`, then closes `fd`; the first thing that went wrong, or "".
std::string writeAllAndClose(int fd, const std::string& content) {
    std::string error = writeAll(fd, content);
    if (::close(fd) != 0 && error.empty()) {
        error = describeErrno("close failed");
    }
    return error;
}

}  // namespace

std::string replaceFile(const std::string& path, const std::string& content,
                        bool* creationRefused) {
    struct stat existing {};
    const bool keepAttributes = ::lstat(path.c_str(), &existing) == 0 && S_ISREG(existing.st_mode);
    std::string temporaryPath;
    const int fd = createTemporaryBeside(path, temporaryPath);
    if (fd < 0) {
        if (creationRefused) {
            *creationRefused = errno == EACCES || errno == EPERM;
        }
        return describeErrno("cannot create a temporary file beside it");
    }
    if (creationRefused) {
        *creationRefused = false;
    }
    if (keepAttributes) {
        // A file rewritten in place keeps who may read it; its replacement must too. Only the
        // superuser may give a file away, but an owner may pass it to a group they are in.
        if (::fchown(fd, existing.st_uid, existing.st_gid) != 0) {
            (void)!::fchown(fd, static_cast<uid_t>(-1), existing.st_gid);
        }
        ::fchmod(fd, existing.st_mode & 0777);
    }
    std::string error = writeAllAndClose(fd, content);
    if (error.empty() && ::rename(temporaryPath.c_str(), path.c_str()) != 0) {
        error = describeErrno("cannot rename the new file into place");
    }
    if (!error.empty()) {
        ::unlink(temporaryPath.c_str());
    }
    return error;
}

std::string rewriteInPlace(const std::string& path, const std::string& content) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_TRUNC | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        return describeErrno("cannot open it to rewrite it in place");
    }
    return writeAllAndClose(fd, content);
}

void removeStaleTemporaries(const std::string& path, std::chrono::seconds age,
                            std::ostream& messages) {
    std::string directory, name;
    splitPath(path, directory, name);
    const std::string prefix = temporaryPrefix(name);
    DIR* listing = ::opendir(directory.empty() ? "." : directory.c_str());
    if (!listing) {
        return;
    }
    const auto now = std::chrono::system_clock::now();
    int removed = 0;
    while (const dirent* entry = ::readdir(listing)) {
        const std::string candidate = entry->d_name;
        struct stat status {};
        if (candidate.compare(0, prefix.size(), prefix) != 0 ||
            ::lstat((directory + candidate).c_str(), &status) != 0 || !S_ISREG(status.st_mode)) {
            continue;
        }
        const auto modified = std::chrono::system_clock::from_time_t(status.st_mtime);
        if (now - modified > age && ::unlink((directory + candidate).c_str()) == 0) {
            ++removed;
        }
    }
    ::closedir(listing);
    if (removed > 0) {
        messages << "Removed " << removed << " temporary command file" << (removed == 1 ? "" : "s")
                 << " left beside " << path << " by an earlier run that was killed." << std::endl;
    }
}

void writeCommandFile(const MarkerPosition& green, const MarkerPosition& red,
                      const MarkerPosition& blue, CommandFile& file, std::ostream& messages) {
    if (markerEverFound != 1) {
        return;
    }
    using Mode = CommandFile::Mode;
    const std::string content = formatCommandFile(green, red, blue);
    bool refused = false;
    std::string error = replaceFile(file.path, content, &refused);
    Mode mode = error.empty() ? Mode::Replacing : Mode::Failing;
    if (refused) {
        // A folder the integrator prepared may let the program write the file but not create
        // files beside it.
        const std::string inPlaceError = rewriteInPlace(file.path, content);
        if (inPlaceError.empty()) {
            mode = Mode::InPlace;
        } else {
            error += "; " + inPlaceError;
        }
    }
    if (mode == file.mode) {
        return;
    }
    switch (mode) {
        case Mode::Failing:
            messages << "Cannot write the command file " << file.path << " (" << error
                     << "); retrying every frame." << std::endl;
            break;
        case Mode::InPlace:
            messages << "Cannot create files beside the command file " << file.path << " (" << error
                     << "); rewriting it in place instead, so a reader may briefly "
                     << "find it empty or incomplete." << std::endl;
            break;
        case Mode::Replacing:
            messages << (file.mode == Mode::Failing
                             ? "The command file " + file.path + " is being written again."
                             : "The command file " + file.path + " is replaced in one step again.")
                     << std::endl;
            break;
    }
    file.mode = mode;
}

NonBlockingOutput::NonBlockingOutput(int fd, std::ostream* dropNotices)
    : fd_(fd), dropNotices_(dropNotices) {
    struct stat status {};
    const int flags = ::fcntl(fd, F_GETFL);
    if (::fstat(fd, &status) != 0 || flags < 0) {
        return;  // not open: the first flush fails
    }
    socket_ = S_ISSOCK(status.st_mode);
    const bool neverWaits =
        (flags & O_NONBLOCK) != 0 || S_ISREG(status.st_mode) || S_ISBLK(status.st_mode);
    pollFirst_ = !socket_ && !neverWaits;
}

int NonBlockingOutput::overflow(int c) {
    if (c != traits_type::eof()) {
        text_.push_back(static_cast<char>(c));
    }
    return traits_type::not_eof(c);
}

std::streamsize NonBlockingOutput::xsputn(const char* s, std::streamsize n) {
    text_.append(s, static_cast<std::string::size_type>(n));
    return n;
}

NonBlockingOutput::Sent NonBlockingOutput::send(std::string& text) {
    const std::string::size_type size = text.size();
    while (!text.empty()) {
        if (pollFirst_) {
            // Only a descriptor shared with others stays blocking; poll says whether a write
            // would be taken now. A hang-up or error goes on to the write, which reports it.
            pollfd ready{fd_, POLLOUT, 0};
            const int count = ::poll(&ready, 1, 0);
            if (count < 0 && errno == EINTR) {
                continue;
            }
            if (count == 0) {
                break;
            }
        }
        const ssize_t written =
            socket_ ? ::send(fd_, text.data(), text.size(), MSG_DONTWAIT | MSG_NOSIGNAL)
                    : ::write(fd_, text.data(), text.size());
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                break;
            }
            return Sent::Failed;
        }
        text.erase(0, static_cast<std::string::size_type>(written));
    }
    return text.empty() ? Sent::All : text.size() == size ? Sent::None : Sent::Part;
}

void NonBlockingOutput::drop(const std::string& text) {
    if (dropped_ == 0 && dropNotices_) {
        *dropNotices_ << "Nobody is reading standard output; coordinate lines are dropped until "
                         "it is read again."
                      << std::endl;
    }
    dropped_ += std::max<long>(1, std::count(text.begin(), text.end(), '\n'));
}

int NonBlockingOutput::sync() {
    std::string text;
    text.swap(text_);
    if (failed_) {
        return -1;
    }
    // The rest of a line cut short by a full descriptor goes first; until it is out, anything
    // newer is dropped.
    if (!unfinished_.empty()) {
        const Sent sent = send(unfinished_);
        if (sent == Sent::Failed) {
            failed_ = true;
            return -1;
        }
        if (sent != Sent::All) {
            if (!text.empty()) {
                drop(text);
            }
            return 0;
        }
    }
    // An empty flush (standard error flushes standard output before each message) drops
    // nothing.
    if (text.empty()) {
        return 0;
    }
    const Sent sent = send(text);
    if (sent == Sent::Failed) {
        failed_ = true;
        return -1;
    }
    if (sent == Sent::None) {
        drop(text);  // untouched: nothing of it was taken
        return 0;
    }
    unfinished_ = text;  // what the descriptor did not take, if anything
    if (dropped_ > 0 && dropNotices_) {
        *dropNotices_ << "Standard output is read again; " << dropped_
                      << (dropped_ == 1 ? " coordinate line was" : " coordinate lines were")
                      << " dropped." << std::endl;
    }
    dropped_ = 0;
    return 0;
}
