// Standard output and standard error that never wait: lines dropped whole, never cut.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

#include "console.h"
#include "test_support.h"

namespace fs = std::filesystem;

namespace {

// ---- writing to a descriptor without ever waiting ----

// A pipe of `capacity` bytes whose reader reads only when the test says so.
class SmallPipe {
public:
    explicit SmallPipe(bool nonBlocking = true, int capacity = 4096) {
        if (::pipe(ends_) != 0 || ::fcntl(ends_[1], F_SETPIPE_SZ, capacity) < 0) {
            throw std::runtime_error("pipe");
        }
        ::fcntl(ends_[0], F_SETFL, O_NONBLOCK);
        if (nonBlocking) {
            ::fcntl(ends_[1], F_SETFL, O_NONBLOCK);
        }
    }
    ~SmallPipe() {
        closeReader();
        ::close(ends_[1]);
    }
    int writer() const { return ends_[1]; }
    // Fills the pipe to the last byte, as a reader that stopped reading leaves it.
    void fill() {
        const int flags = ::fcntl(ends_[1], F_GETFL);
        ::fcntl(ends_[1], F_SETFL, flags | O_NONBLOCK);
        const std::string block(512, 'x');
        while (::write(ends_[1], block.data(), block.size()) > 0) {
        }
        while (::write(ends_[1], "x", 1) > 0) {
        }
        ::fcntl(ends_[1], F_SETFL, flags);
    }
    // Everything waiting in the pipe.
    std::string drain() {
        std::string taken;
        char buffer[4096];
        ssize_t got;
        while ((got = ::read(ends_[0], buffer, sizeof buffer)) > 0) {
            taken.append(buffer, static_cast<size_t>(got));
        }
        return taken;
    }
    void closeReader() {
        if (ends_[0] >= 0) {
            ::close(ends_[0]);
            ends_[0] = -1;
        }
    }

private:
    int ends_[2] = {-1, -1};
};

const std::string lineA = "RED:(1,1) GRN:(2,2) BLU:(3,3) Deltas: y=(-1,-2) z=(-1,-2)\n";
const std::string lineB = "RED:(9,9) GRN:(8,8) BLU:(7,7) Deltas: y=(1,2) z=(1,2)\n";

const char* const dropping =
    "Nobody is reading standard output; coordinate lines are dropped until it is read again.\n";

TEST(NonBlockingOutput, LinesAFullPipeCannotTakeAreDroppedWholeAndCounted) {
    for (bool nonBlocking : {true, false}) {
        SCOPED_TRACE(nonBlocking ? "a descriptor of its own, non-blocking"
                                 : "a shared blocking descriptor, polled first");
        // Poll calls a pipe writable only while one of its pages is wholly free.
        SmallPipe pipe(nonBlocking, nonBlocking ? 4096 : 65536);
        std::ostringstream notices;
        NonBlockingOutput buffer(pipe.writer(), &notices);
        std::ostream out(&buffer);

        out << lineA << std::flush;
        EXPECT_EQ(pipe.drain(), lineA);

        pipe.fill();
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < 3; ++i) {
            out << lineB << std::flush;
        }
        // A write that waited would wait for good: nobody drains the pipe. The bound only
        // catches that, however busy the machine.
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
        EXPECT_TRUE(out.good());
        EXPECT_EQ(notices.str(), dropping);

        const std::string stale = pipe.drain();
        EXPECT_EQ(stale.find_first_not_of('x'), std::string::npos) << "a dropped line got in";
        out << lineA << std::flush;
        out << lineB << std::flush;
        EXPECT_EQ(pipe.drain(), lineA + lineB);
        EXPECT_EQ(notices.str(), std::string(dropping) +
                                     "Standard output is read again; 3 coordinate lines "
                                     "were dropped.\n");
    }
}

TEST(NonBlockingOutput, ALineTakenInPartIsFinishedBeforeAnythingNewer) {
    SmallPipe pipe;
    std::ostringstream notices;
    NonBlockingOutput buffer(pipe.writer(), &notices);
    std::ostream out(&buffer);

    // Longer than the pipe holds: the pipe takes the first page and the rest waits.
    const std::string longLine = std::string(6000, 'L') + "\n";
    out << longLine << std::flush;
    out << lineA << std::flush;  // the long line is not out yet: this one is dropped
    out.flush();                 // flushes with nothing new drop nothing
    out.flush();
    std::string received = pipe.drain();
    EXPECT_EQ(received.size(), 4096u);
    out << lineB << std::flush;  // the rest of the long line, then this
    received += pipe.drain();
    EXPECT_EQ(received, longLine + lineB);
    EXPECT_EQ(notices.str(), std::string(dropping) +
                                 "Standard output is read again; 1 coordinate line was dropped.\n");
}

TEST(NonBlockingOutput, AReaderThatIsGoneFailsTheStream) {
    ::signal(SIGPIPE, SIG_IGN);
    SmallPipe pipe;
    std::ostringstream notices;
    NonBlockingOutput buffer(pipe.writer(), &notices);
    std::ostream out(&buffer);
    pipe.closeReader();
    out << lineA << std::flush;
    EXPECT_TRUE(out.bad());
    EXPECT_EQ(notices.str(), "");
}

TEST(NonBlockingOutput, ARegularFileTakesEverything) {
    ScratchDirectory scratch;
    const fs::path path = scratch.path() / "lines";
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    std::ostringstream notices;
    {
        NonBlockingOutput buffer(fd, &notices);
        std::ostream out(&buffer);
        for (int i = 0; i < 2000; ++i) {
            out << lineA << std::flush;
        }
    }
    ::close(fd);
    EXPECT_EQ(fs::file_size(path), 2000 * lineA.size());
    EXPECT_EQ(notices.str(), "");
}

}  // namespace
