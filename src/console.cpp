#include "console.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <iostream>
#include <ostream>

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

namespace {

// A standard descriptor that was a socket: the socket itself, moved aside, and the read end of
// the pipe that now holds the descriptor's number.
struct SocketRelay {
    int socket = -1;
    int pipeReader = -1;
};
SocketRelay relays[3];

// Gives `fd` a description of its own that never blocks; returns the descriptor the stream
// should write to (`fd` itself, or the socket moved aside).
int makeNonBlocking(int fd) {
    struct stat status {};
    if (::fstat(fd, &status) != 0 || S_ISREG(status.st_mode) || S_ISBLK(status.st_mode)) {
        return fd;
    }
    if (S_ISSOCK(status.st_mode)) {
        // Sends on the socket take a per-call "don't wait"; every other write to the number goes
        // into a pipe of the process's own whose writes never wait either.
        int ends[2];
        const int socket = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
        if (socket < 0 || ::pipe2(ends, O_NONBLOCK | O_CLOEXEC) != 0) {
            if (socket >= 0) {
                ::close(socket);
            }
            return fd;
        }
        ::dup2(ends[1], fd);  // the number itself stays open across exec, as it was
        ::close(ends[1]);
        relays[fd] = {socket, ends[0]};
        return socket;
    }
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    const int fresh = ::open(self.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fresh >= 0) {
        ::dup2(fresh, fd);
        ::close(fresh);
    }
    return fd;
}

}  // namespace

void installNonBlockingStandardStreams() {
    const int out = makeNonBlocking(STDOUT_FILENO);
    const int err = makeNonBlocking(STDERR_FILENO);
    // Kept for the whole run and never freed: the standard streams flush into them at exit.
    static NonBlockingOutput* const errors = new NonBlockingOutput(err);
    static NonBlockingOutput* const lines = new NonBlockingOutput(out, &std::cerr);
    std::cerr.rdbuf(errors);
    std::cout.rdbuf(lines);
    // A message goes out whole at its end of line, not in pieces per insertion.
    std::cerr.unsetf(std::ios_base::unitbuf);
}

void relayStrayOutput() {
    for (const SocketRelay& relay : relays) {
        if (relay.pipeReader < 0) {
            continue;
        }
        char buffer[4096];
        ssize_t got;
        while ((got = ::read(relay.pipeReader, buffer, sizeof buffer)) > 0) {
            // Whatever the socket cannot take at once is dropped, like our own lines.
            (void)!::send(relay.socket, buffer, static_cast<size_t>(got),
                          MSG_DONTWAIT | MSG_NOSIGNAL);
        }
    }
}
