#include "command_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ostream>
#include <random>
#include <sstream>

std::string formatCommandFile(const MarkerPosition& green, const MarkerPosition& red,
                              const MarkerPosition& blue) {
    // In 64 bits: a difference of two 32-bit coordinates times 100 need not fit in 32.
    const auto offset = [](int reference, int target) {
        return (static_cast<long long>(reference) - target) * 100;
    };
    std::ostringstream content;
    content << "bowl y " << offset(green.x, blue.x) << '\n'
            << "bowl z " << offset(green.y, blue.y) << '\n'
            << "mouth y " << offset(green.x, red.x) << '\n'
            << "mouth z " << offset(green.y, red.y) << '\n';
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
