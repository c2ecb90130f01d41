#pragma once
// Standard output and standard error that never make the loop wait.

#include <iosfwd>
#include <streambuf>
#include <string>

// Makes standard output and standard error never hold the process up, then puts streams on
// std::cout and std::cerr that drop what cannot be written at once (lines on std::cout are
// counted, and the count told on std::cerr). Every writer in the process, the toolkit included:
// - a pipe or terminal is shared with whoever else writes to it, so it is not switched to
//   non-blocking in place; it is opened afresh as a description of the process's own that is.
//   Where that is refused, the stream polls before each write, and other writers may still wait;
// - a socket cannot be opened afresh, so the descriptor is moved aside and a non-blocking pipe
//   takes its number: other writers' text waits there until relayStrayOutput passes it on;
// - a regular file or a block device never holds a writer up and is left as it is.
void installNonBlockingStandardStreams();

// Passes on what other writers (the toolkit's warnings, say) put on a standard descriptor that is
// a socket, as far as the socket takes it now; the rest is dropped. Never waits; does nothing for
// descriptors that are not sockets. The loop calls it once per frame and once at the end.
void relayStrayOutput();

// A stream buffer over a descriptor that never makes the program wait. Text collects until the
// stream is flushed; then it goes out in one attempt, or, when the descriptor cannot take any
// of it at once (a paused terminal, a full pipe), it is dropped whole. A line the descriptor
// takes only part of is finished before anything newer is written, so no line is ever cut.
// Regular files and /dev/null take everything. Once the descriptor fails for good (a pipe
// whose reader is gone) the flush fails, which sets the stream's badbit.
class NonBlockingOutput : public std::streambuf {
public:
    // With `dropNotices`, the descriptor carries coordinate lines: the notices stream hears once
    // when lines start being dropped and once, with their number, when lines get through again.
    explicit NonBlockingOutput(int fd, std::ostream* dropNotices = nullptr);

protected:
    int overflow(int c) override;
    std::streamsize xsputn(const char* s, std::streamsize n) override;
    int sync() override;

private:
    enum class Sent { All, Part, None, Failed };
    Sent send(std::string& text);  // takes what was written off the front of `text`
    void drop(const std::string& text);

    int fd_;
    std::ostream* dropNotices_;
    bool socket_ = false;     // sockets take a per-call "don't wait"
    bool pollFirst_ = false;  // a blocking pipe or terminal that could not be given its own
    std::string text_;        // collected since the last flush
    std::string unfinished_;  // the rest of a line the descriptor took only part of
    long dropped_ = 0;        // lines dropped since lines last got through
    bool failed_ = false;
};
