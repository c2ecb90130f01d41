#include "command_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/file.h>
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

// The random suffix of a temporary file: eight lowercase hexadecimal digits.
constexpr int suffixLength = 8;

// Whether `candidate` is a name createTemporaryBeside makes: the prefix and exactly its suffix.
bool isOwnTemporaryName(const std::string& candidate, const std::string& prefix) {
    return candidate.size() == prefix.size() + suffixLength &&
           candidate.compare(0, prefix.size(), prefix) == 0 &&
           candidate.find_first_not_of("0123456789abcdef", prefix.size()) == std::string::npos;
}

// "group staff" (or "group 1234" for a group without a name), or the owner when the superuser
// could not keep it: what a replacement of `existing` would change, as the new file `fd` stands.
std::string ownershipName(const struct stat& existing, bool asRoot, int fd) {
    struct stat created {};
    ::fstat(fd, &created);
    if (asRoot && created.st_uid != existing.st_uid) {
        const passwd* user = ::getpwuid(existing.st_uid);
        return std::string("owner ") + (user ? user->pw_name : std::to_string(existing.st_uid));
    }
    const group* named = ::getgrgid(existing.st_gid);
    return std::string("group ") + (named ? named->gr_name : std::to_string(existing.st_gid));
}

// Creates a new file named after `path` with a random suffix, in the same directory so the
// rename stays within one file system. O_EXCL refuses anything already there, links included.
int createTemporaryBeside(const std::string& path, std::string& temporaryPath) {
    static std::mt19937 random{std::random_device{}()};
    std::string directory, name;
    splitPath(path, directory, name);
    for (int attempt = 0; attempt < 32; ++attempt) {
        char suffix[16];
        std::snprintf(suffix, sizeof suffix, "%0*x", suffixLength, static_cast<unsigned>(random()));
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
                        ReplaceOutcome* outcome, bool keepOwnershipOrStop) {
    ReplaceOutcome ignored;
    ReplaceOutcome& result = outcome ? *outcome : ignored;
    result = {};
    struct stat existing {};
    const bool keepAttributes = ::lstat(path.c_str(), &existing) == 0 && S_ISREG(existing.st_mode);
    std::string temporaryPath;
    const int fd = createTemporaryBeside(path, temporaryPath);
    if (fd < 0) {
        result.creationRefused = errno == EACCES || errno == EPERM;
        return describeErrno("cannot create a temporary file beside it");
    }
    std::string error;
    if (keepAttributes) {
        // A file rewritten in place keeps who may read it; its replacement must too. Only the
        // superuser may give a file away, but an owner may pass it to a group they are in.
        const bool asRoot = ::geteuid() == 0;
        if (::fchown(fd, asRoot ? existing.st_uid : static_cast<uid_t>(-1), existing.st_gid) != 0) {
            const int refusal = errno;  // looking up the group's name may change errno
            result.ownershipLost = ownershipName(existing, asRoot, fd);
            if (keepOwnershipOrStop) {
                error = "cannot give the new file " + result.ownershipLost + ": " +
                        std::strerror(refusal);
            }
        }
        if (error.empty() && ::fchmod(fd, existing.st_mode & 07777) != 0) {
            // Left at the plain creation mode, the file could be readable by more than before.
            error = describeErrno("cannot give the new file the mode of the old");
        }
    }
    if (error.empty()) {
        error = writeAllAndClose(fd, content);
    } else {
        ::close(fd);
    }
    if (error.empty() && ::rename(temporaryPath.c_str(), path.c_str()) != 0) {
        error = describeErrno("cannot rename the new file into place");
    }
    if (!error.empty()) {
        ::unlink(temporaryPath.c_str());
    }
    return error;
}

std::string rewriteInPlace(const std::string& path, const std::string& content) {
    // Without waiting (a FIFO with no reader would hold the open for good) and without following
    // a link; truncated only once it is known to be a regular file.
    const int fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        return describeErrno("cannot open it to rewrite it in place");
    }
    struct stat status {};
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        ::close(fd);
        return "cannot rewrite it in place: it is not a regular file";
    }
    if (::ftruncate(fd, 0) != 0) {
        const std::string error = describeErrno("cannot empty it to rewrite it in place");
        ::close(fd);
        return error;
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
        if (!isOwnTemporaryName(candidate, prefix) ||
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
    if (markerEverFound != 1 || file.lockedElsewhere) {
        return;
    }
    using Mode = CommandFile::Mode;
    const std::string content = formatCommandFile(green, red, blue);
    ReplaceOutcome outcome;
    std::string error = replaceFile(file.path, content, &outcome, true);
    Mode mode = error.empty() ? Mode::Replacing : Mode::Failing;
    std::string lost;  // who may no longer read the file, after this frame's write
    const bool ownershipKeptInPlaceOnly = !outcome.ownershipLost.empty();
    if (!error.empty() && (outcome.creationRefused || ownershipKeptInPlaceOnly)) {
        // A folder the integrator prepared may let the program write the file but not create
        // files beside it; a file whose group the program may not give a new file keeps it
        // when written in place, as editors do.
        const std::string inPlaceError = rewriteInPlace(file.path, content);
        if (inPlaceError.empty()) {
            mode = Mode::InPlace;
        } else if (ownershipKeptInPlaceOnly) {
            // Not writable in place either: replaced all the same, and the loss told.
            error = replaceFile(file.path, content, &outcome, false);
            mode = error.empty() ? Mode::Replacing : Mode::Failing;
            lost = outcome.ownershipLost;
        } else {
            error += "; " + inPlaceError;
        }
    }
    if (lost != file.ownershipLost) {
        if (!lost.empty()) {
            messages << "The command file " << file.path << " was replaced without its " << lost
                     << ", which the program may not give a file, and it cannot be rewritten in "
                        "place; readers who relied on the "
                     << lost << " may no longer read it." << std::endl;
        }
        file.ownershipLost = lost;
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
            messages << (ownershipKeptInPlaceOnly
                             ? "Cannot replace the command file " + file.path +
                                   " without changing who may read it"
                             : "Cannot create files beside the command file " + file.path)
                     << " (" << error << "); rewriting it in place instead, so a reader may "
                     << "briefly find it empty or incomplete." << std::endl;
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

void claimCommandFile(CommandFile& file, std::ostream& messages) {
    std::string directory, name;
    splitPath(file.path, directory, name);
    const std::string lockPath = directory + "." + name + ".lock";
    int fd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0 && errno == EACCES) {
        // A lock file that others made, readable only, locks as well.
        fd = ::open(lockPath.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    }
    if (fd < 0) {
        messages << "Cannot open the lock file " << lockPath << " (" << std::strerror(errno)
                 << "); writing the command file without making sure no other program does."
                 << std::endl;
        return;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        std::string holder = "another program";
        char text[32] = {};
        if (::pread(fd, text, sizeof text - 1, 0) > 0 && std::atoi(text) > 0) {
            holder += " (process " + std::to_string(std::atoi(text)) + ")";
        }
        messages << "The command file " << file.path << " is written by " << holder
                 << "; this one will not write it while it runs. Windows, lines and ranges go on "
                    "as usual."
                 << std::endl;
        ::close(fd);
        file.lockedElsewhere = true;
        return;
    }
    // Held until the process ends; the kernel lets go of it however the process ends.
    file.lockFd = fd;
    const std::string pid = std::to_string(::getpid()) + "\n";
    if (::ftruncate(fd, 0) == 0) {
        (void)!::pwrite(fd, pid.data(), pid.size(), 0);
    }
    removeStaleTemporaries(file.path, std::chrono::minutes(1), messages);
}
