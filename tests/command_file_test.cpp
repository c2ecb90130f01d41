// The report line's and the command file's content, and how the file is replaced on disk.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "command_file.h"
#include "report_line.h"
#include "test_support.h"

namespace fs = std::filesystem;

namespace {

struct PositionsCase {
    const char* name;
    MarkerPosition green, red, blue;
    const char* reportLine;
    const char* commandFile;
};

// One case to a block, its positions on the name's line.
// clang-format off
const PositionsCase positionCases[] = {
    {"worked example", {105, 60}, {108, 58}, {100, 64},
     "RED:(108,58) GRN:(105,60) BLU:(100,64) Deltas: y=(3,8) z=(-2,-6)\n",
     "bowl y 500\nbowl z -400\nmouth y -300\nmouth z 200\n"},
    {"nothing found yet", {}, {}, {},
     "RED:(0,0) GRN:(0,0) BLU:(0,0) Deltas: y=(0,0) z=(0,0)\n",
     "bowl y 0\nbowl z 0\nmouth y 0\nmouth z 0\n"},
    {"only green ever found", {105, 60}, {}, {},
     "RED:(0,0) GRN:(105,60) BLU:(0,0) Deltas: y=(-105,0) z=(-60,0)\n",
     "bowl y 10500\nbowl z 6000\nmouth y 10500\nmouth z 6000\n"},
    {"negative and large values", {-4, 1000}, {1919, -7}, {3, 1079},
     "RED:(1919,-7) GRN:(-4,1000) BLU:(3,1079) Deltas: y=(1923,1916) z=(-1007,-1086)\n",
     "bowl y -700\nbowl z -7900\nmouth y -192300\nmouth z 100700\n"},
    {"coordinates past 21 million", {30000000, -30000000}, {-30000000, 30000000}, {0, 0},
     "RED:(-30000000,30000000) GRN:(30000000,-30000000) BLU:(0,0) Deltas: y=(-60000000,-30000000) z=(60000000,30000000)\n",
     "bowl y 3000000000\nbowl z -3000000000\nmouth y 6000000000\nmouth z -6000000000\n"},
};
// clang-format on

TEST(FormattedOutputs, ReportLineAndCommandFileContent) {
    for (const PositionsCase& c : positionCases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(formatPositionReport(c.green, c.red, c.blue), c.reportLine);
        EXPECT_EQ(formatCommandFile(c.green, c.red, c.blue), c.commandFile);
    }
}

// Counts flushes, to show each line is pushed out as its frame ends.
class CountingBuffer : public std::stringbuf {
public:
    int syncs = 0;

protected:
    int sync() override {
        ++syncs;
        return std::stringbuf::sync();
    }
};

TEST(FormattedOutputs, EveryReportLineIsFlushed) {
    CountingBuffer buffer;
    std::ostream out(&buffer);
    writePositionReport({105, 60}, {108, 58}, {100, 64}, out);
    EXPECT_EQ(buffer.syncs, 1);
    writePositionReport({}, {}, {}, out);
    EXPECT_EQ(buffer.syncs, 2);
    EXPECT_EQ(buffer.str(),
              "RED:(108,58) GRN:(105,60) BLU:(100,64) Deltas: y=(3,8) z=(-2,-6)\n"
              "RED:(0,0) GRN:(0,0) BLU:(0,0) Deltas: y=(0,0) z=(0,0)\n");
}

// ---- the command file on disk ----

class CommandFileTest : public ::testing::Test {
protected:
    void SetUp() override { markerEverFound = 0; }
    void TearDown() override { markerEverFound = 0; }

    // Names in `directory` other than the command file itself.
    static std::vector<std::string> strayFiles(const fs::path& directory) {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(directory)) {
            if (entry.path().filename() != "wheelchair_commands.txt") {
                names.push_back(entry.path().filename().string());
            }
        }
        return names;
    }

    ScratchDirectory scratch;
    CommandFile file{(scratch.path() / "wheelchair_commands.txt").string()};
    std::ostringstream messages;
    const MarkerPosition green{105, 60}, red{108, 58}, blue{100, 64};
};

TEST_F(CommandFileTest, UntouchedBeforeTheFirstFind) {
    writeCommandFile(green, red, blue, file, messages);
    EXPECT_FALSE(fs::exists(file.path));

    // A file left by an earlier run keeps its content and its time stamp.
    std::ofstream(file.path) << "left over\n";
    const auto stamp = fs::last_write_time(file.path);
    writeCommandFile(green, red, blue, file, messages);
    EXPECT_EQ(readFile(file.path), "left over\n");
    EXPECT_EQ(fs::last_write_time(file.path), stamp);
    EXPECT_EQ(messages.str(), "");
}

TEST_F(CommandFileTest, RewrittenEveryCallAfterTheFirstFind) {
    std::ofstream(file.path) << "left over\nfrom\nan earlier\nrun\nwith five lines\n";
    markerEverFound = 1;
    writeCommandFile(green, red, blue, file, messages);
    EXPECT_EQ(readFile(file.path), "bowl y 500\nbowl z -400\nmouth y -300\nmouth z 200\n");
    writeCommandFile({}, {}, {}, file, messages);
    EXPECT_EQ(readFile(file.path), "bowl y 0\nbowl z 0\nmouth y 0\nmouth z 0\n");
    EXPECT_TRUE(strayFiles(scratch.path()).empty());
    EXPECT_EQ(messages.str(), "");
}

TEST_F(CommandFileTest, DefaultPathIsTwoLevelsAboveTheWorkingDirectory) {
    const fs::path workingDirectory = scratch.path() / "a" / "b";
    fs::create_directories(workingDirectory);
    const fs::path previous = fs::current_path();
    fs::current_path(workingDirectory);
    markerEverFound = 1;
    CommandFile defaultFile;
    writeCommandFile(green, red, blue, defaultFile, messages);
    fs::current_path(previous);
    EXPECT_EQ(readFile(scratch.path() / "wheelchair_commands.txt"),
              "bowl y 500\nbowl z -400\nmouth y -300\nmouth z 200\n");
}

TEST_F(CommandFileTest, GetsTheModeOfAPlainlyCreatedFile) {
    markerEverFound = 1;
    for (mode_t mask : {mode_t{022}, mode_t{077}, mode_t{002}}) {
        SCOPED_TRACE(mask);
        const mode_t saved = ::umask(mask);
        fs::remove(file.path);
        writeCommandFile(green, red, blue, file, messages);
        ::umask(saved);
        struct stat status {};
        ASSERT_EQ(::stat(file.path.c_str(), &status), 0);
        EXPECT_EQ(status.st_mode & 0777, 0666 & ~mask);
    }
}

TEST_F(CommandFileTest, KeepsTheModeAndGroupOfTheFileItReplaces) {
    // A group other than the process's own that it may give a file: any group for the superuser,
    // otherwise one of its supplementary groups.
    gid_t otherGroup = ::getegid();
    if (::geteuid() == 0) {
        otherGroup = ::getegid() == 65534 ? 65533 : 65534;
    } else {
        gid_t groups[64];
        const int count = ::getgroups(64, groups);
        for (int i = 0; i < count; ++i) {
            if (groups[i] != ::getegid()) {
                otherGroup = groups[i];
            }
        }
    }
    markerEverFound = 1;
    for (mode_t mode : {mode_t{0640}, mode_t{0604}, mode_t{0600}, mode_t{0666}}) {
        SCOPED_TRACE(mode);
        fs::remove(file.path);
        std::ofstream(file.path) << "prepared by the integrator\n";
        ASSERT_EQ(::chmod(file.path.c_str(), mode), 0);
        ASSERT_EQ(::chown(file.path.c_str(), static_cast<uid_t>(-1), otherGroup), 0);
        struct stat before {};
        ASSERT_EQ(::stat(file.path.c_str(), &before), 0);
        // Held open, the original keeps its inode number from being handed out again.
        std::ifstream original(file.path);

        writeCommandFile(green, red, blue, file, messages);
        writeCommandFile(green, red, blue, file, messages);
        struct stat after {};
        ASSERT_EQ(::stat(file.path.c_str(), &after), 0);
        EXPECT_NE(after.st_ino, before.st_ino) << "replaced, not rewritten";
        EXPECT_EQ(after.st_mode & 07777, mode);
        EXPECT_EQ(after.st_gid, otherGroup);
        EXPECT_EQ(after.st_uid, before.st_uid);
        EXPECT_EQ(readFile(file.path), "bowl y 500\nbowl z -400\nmouth y -300\nmouth z 200\n");
    }
    if (otherGroup == ::getegid()) {
        std::cout << "only the process's own group could be tried" << std::endl;
    }
    EXPECT_EQ(messages.str(), "");
}

TEST_F(CommandFileTest, ALinkPlantedAtThePathIsReplacedNotFollowed) {
    const fs::path victim = scratch.path() / "victim";
    std::ofstream(victim) << "precious\n";
    fs::create_symlink(victim, file.path);
    markerEverFound = 1;
    writeCommandFile(green, red, blue, file, messages);
    EXPECT_EQ(readFile(victim), "precious\n");
    EXPECT_FALSE(fs::is_symlink(file.path));
    EXPECT_EQ(readFile(file.path), "bowl y 500\nbowl z -400\nmouth y -300\nmouth z 200\n");
}

TEST_F(CommandFileTest, MissingDirectoryIsToldOnceAndRecoveryOnce) {
    const fs::path directory = scratch.path() / "later";
    file.path = (directory / "wheelchair_commands.txt").string();
    markerEverFound = 1;
    for (int frame = 0; frame < 5; ++frame) {
        writeCommandFile(green, red, blue, file, messages);
    }
    const std::string failure = messages.str();
    EXPECT_NE(failure.find(file.path), std::string::npos) << failure;
    EXPECT_NE(failure.find("No such file or directory"), std::string::npos) << failure;
    EXPECT_EQ(std::count(failure.begin(), failure.end(), '\n'), 1) << failure;
    EXPECT_TRUE(strayFiles(scratch.path()).empty());

    fs::create_directory(directory);
    for (int frame = 0; frame < 3; ++frame) {
        writeCommandFile(green, red, blue, file, messages);
    }
    const std::string all = messages.str();
    EXPECT_EQ(std::count(all.begin(), all.end(), '\n'), 2) << all;
    EXPECT_EQ(readFile(file.path), "bowl y 500\nbowl z -400\nmouth y -300\nmouth z 200\n");
    EXPECT_TRUE(strayFiles(directory).empty());
}

TEST_F(CommandFileTest, FailedRenameLeavesNoTemporaryFile) {
    // A directory standing at the file's path cannot be renamed over.
    fs::create_directory(file.path);
    markerEverFound = 1;
    writeCommandFile(green, red, blue, file, messages);
    EXPECT_EQ(file.mode, CommandFile::Mode::Failing);
    EXPECT_NE(messages.str().find("rename"), std::string::npos) << messages.str();
    EXPECT_TRUE(strayFiles(scratch.path()).empty());
    EXPECT_TRUE(fs::is_empty(file.path));
}

TEST_F(CommandFileTest, AReaderOnlyEverSeesFourCompleteLines) {
    const std::string first = formatCommandFile(green, red, blue);
    const std::string second = formatCommandFile({-1234, 5678}, {9, -10}, {11111, 0});
    ASSERT_EQ(replaceFile(file.path, first), "");

    std::atomic<bool> done{false};
    std::atomic<int> reads{0};
    std::atomic<int> bad{0};
    std::thread reader([&] {
        while (!done || reads < 2000) {
            const std::string seen = readFile(file.path);
            if (seen != first && seen != second) {
                ++bad;
            }
            ++reads;
        }
    });
    for (int write = 0; write < 4000; ++write) {
        ASSERT_EQ(replaceFile(file.path, write % 2 ? first : second), "");
    }
    done = true;
    reader.join();
    EXPECT_EQ(bad, 0) << "of " << reads << " reads";
    EXPECT_TRUE(strayFiles(scratch.path()).empty());
}

// Runs `body` in a child process as the user nobody (uid and gid 65534, no other groups) when
// the tests run as root, or as the test's own user otherwise; returns what it returned, or
// nullopt when privileges could not be dropped.
std::optional<std::string> asNobody(const std::function<std::string()>& body) {
    int report[2];
    if (::pipe(report) != 0) {
        throw std::runtime_error("pipe");
    }
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(report[0]);
        const uid_t nobody = 65534;
        if (::geteuid() == 0 && (::setgroups(0, nullptr) != 0 || ::setgid(nobody) != 0 ||
                                 ::setuid(nobody) != 0 || ::geteuid() == 0)) {
            ::_exit(77);
        }
        const std::string text = body();
        (void)!::write(report[1], text.data(), text.size());
        ::_exit(0);
    }
    ::close(report[1]);
    std::string received;
    char buffer[4096];
    ssize_t got;
    while ((got = ::read(report[0], buffer, sizeof buffer)) > 0) {
        received.append(buffer, static_cast<size_t>(got));
    }
    ::close(report[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 77) {
        return std::nullopt;
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    return received;
}

// An integrator made the file 0640 with a group the consumer shares, and the tracker runs as
// the file's owner but not in that group: a replacement could not keep the group, so the file
// is rewritten in place and its readers keep it. Where it cannot be written in place either,
// it is replaced all the same and the lost group is told once.
TEST(CommandFileOfAGroupTheTrackerIsNotIn, KeepsItsGroupByBeingRewrittenInPlace) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to give the file to nobody with a group nobody is not in";
    }
    ScratchDirectory scratch;
    ASSERT_EQ(::chmod(scratch.path().c_str(), 0755), 0);
    const fs::path folder = scratch.path() / "deployed";
    fs::create_directory(folder);
    const fs::path path = folder / "wheelchair_commands.txt";
    const uid_t nobody = 65534;
    const gid_t shared = 4;  // a group nobody is not in
    ASSERT_EQ(::chown(folder.c_str(), nobody, nobody), 0);
    struct Case {
        const char* name;
        mode_t mode;
        bool inPlace;
    };
    const Case cases[] = {
        {"writable by its owner", 0640, true},
        {"read-only even for its owner", 0440, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove(path);
        std::ofstream(path) << "prepared\n";
        ASSERT_EQ(::chown(path.c_str(), nobody, shared), 0);
        ASSERT_EQ(::chmod(path.c_str(), c.mode), 0);
        struct stat original {};
        ASSERT_EQ(::stat(path.c_str(), &original), 0);
        const std::optional<std::string> told = asNobody([&] {
            const int held = ::open(path.c_str(), O_RDONLY);  // keeps the inode number taken
            markerEverFound = 1;
            CommandFile file{path.string()};
            std::ostringstream messages;
            for (int frame = 0; frame < 3; ++frame) {
                writeCommandFile({105, 60}, {108, 58}, {100, 64}, file, messages);
            }
            ::close(held);
            return messages.str();
        });
        ASSERT_TRUE(told) << "cannot become nobody";
        struct stat after {};
        ASSERT_EQ(::stat(path.c_str(), &after), 0);
        EXPECT_EQ(readFile(path), "bowl y 500\nbowl z -400\nmouth y -300\nmouth z 200\n");
        EXPECT_EQ(after.st_mode & 07777, c.mode);
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(folder)) {
            names.push_back(entry.path().filename().string());
        }
        EXPECT_EQ(names, std::vector<std::string>{"wheelchair_commands.txt"});
        const group* adm = ::getgrgid(shared);
        const std::string groupName =
            "group " + (adm ? std::string(adm->gr_name) : std::to_string(shared));
        if (c.inPlace) {
            EXPECT_EQ(after.st_ino, original.st_ino) << "replaced, losing the group";
            EXPECT_EQ(after.st_gid, shared);
            EXPECT_EQ(*told, "Cannot replace the command file " + path.string() +
                                 " without changing who may read it (cannot give the new file " +
                                 groupName +
                                 ": Operation not permitted); rewriting it in place instead, so "
                                 "a reader may briefly find it empty or incomplete.\n");
        } else {
            EXPECT_NE(after.st_ino, original.st_ino);
            EXPECT_EQ(after.st_gid, nobody);
            EXPECT_EQ(*told, "The command file " + path.string() + " was replaced without its " +
                                 groupName +
                                 ", which the program may not give a file, and it cannot be "
                                 "rewritten in place; readers who relied on the " +
                                 groupName + " may no longer read it.\n");
        }
    }
}

// The in-place rewrite never waits and writes only to a regular file: a FIFO at the path, with
// or without a reader, is refused at once.
TEST(RewriteInPlace, RefusesAnythingButARegularFileWithoutWaiting) {
    ScratchDirectory scratch;
    const fs::path fifo = scratch.path() / "wheelchair_commands.txt";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0666), 0);
    EXPECT_EQ(rewriteInPlace(fifo.string(), "bowl y 1\n"),
              "cannot open it to rewrite it in place: No such device or address");
    const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    EXPECT_EQ(rewriteInPlace(fifo.string(), "bowl y 1\n"),
              "cannot rewrite it in place: it is not a regular file");
    char buffer[16];
    EXPECT_LE(::read(reader, buffer, sizeof buffer), 0) << "something was written into the FIFO";
    ::close(reader);
    const fs::path link = scratch.path() / "link";
    fs::create_symlink(fifo, link);
    EXPECT_EQ(rewriteInPlace(link.string(), "bowl y 1\n"),
              "cannot open it to rewrite it in place: Too many levels of symbolic links");
}

// A folder prepared by the integrator: the program may write the file in it but not create
// files. The superuser may create files anywhere, so then the case runs as "nobody".
TEST(CommandFileInAFolderThatRefusesNewFiles, IsRewrittenInPlaceUntilTheFolderAllowsThemAgain) {
    ScratchDirectory scratch;
    const fs::path folder = scratch.path() / "prepared";
    const fs::path path = folder / "wheelchair_commands.txt";
    fs::create_directory(folder);
    std::ofstream(path) << "left over\n";
    const bool asRoot = ::geteuid() == 0;
    const uid_t nobody = 65534;
    if (asRoot) {
        ASSERT_EQ(::chmod(scratch.path().c_str(), 0755), 0);
        ASSERT_EQ(::chown(folder.c_str(), nobody, nobody), 0);
        ASSERT_EQ(::chown(path.c_str(), nobody, nobody), 0);
    }
    ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
    ASSERT_EQ(::chmod(folder.c_str(), 0555), 0);
    struct stat original {};
    ASSERT_EQ(::stat(path.c_str(), &original), 0);

    // The writes happen in a child that may drop privileges.
    const std::optional<std::string> reported = asNobody([&] {
        // Held open, the original keeps its inode number from being handed out again.
        const int held = ::open(path.c_str(), O_RDONLY);
        markerEverFound = 1;
        CommandFile file{path.string()};
        std::ostringstream messages;
        struct stat during {
        }, afterwards{};
        std::string contentDuring, contentAfterwards;
        for (int frame = 0; frame < 3; ++frame) {
            writeCommandFile({105, 60}, {108, 58}, {100, 64}, file, messages);
        }
        ::stat(path.c_str(), &during);
        contentDuring = readFile(path);
        ::chmod(folder.c_str(), 0755);  // the integrator opens the folder up
        for (int frame = 0; frame < 2; ++frame) {
            writeCommandFile({1, 2}, {3, 4}, {5, 6}, file, messages);
        }
        ::stat(path.c_str(), &afterwards);
        contentAfterwards = readFile(path);
        std::ostringstream out;
        out << (during.st_ino == original.st_ino) << (during.st_mode & 0777) << "\n"
            << (afterwards.st_ino == original.st_ino) << (afterwards.st_mode & 0777) << "\n"
            << contentDuring << contentAfterwards << messages.str();
        ::close(held);
        return out.str();
    });
    ::chmod(folder.c_str(), 0755);
    if (!reported) {
        GTEST_SKIP() << "running as root and cannot become nobody, who may not write the folder";
    }
    const std::string& received = *reported;
    // 416 is mode 0640: kept in place, and kept by the replacement after.
    EXPECT_EQ(received,
              "1416\n"
              "0416\n"
              "bowl y 500\nbowl z -400\nmouth y -300\nmouth z 200\n"
              "bowl y -400\nbowl z -400\nmouth y -200\nmouth z -200\n"
              "Cannot create files beside the command file " +
                  path.string() +
                  " (cannot create a temporary file beside it: Permission denied); rewriting it "
                  "in place instead, so a reader may briefly find it empty or incomplete.\n"
                  "The command file " +
                  path.string() + " is replaced in one step again.\n");
    for (const auto& entry : fs::directory_iterator(folder)) {
        EXPECT_EQ(entry.path(), path) << "left behind";
    }
}

TEST(CommandFileInAFolderThatRefusesNewFiles, FailsWhenTheFileCannotBeWrittenEither) {
    ScratchDirectory scratch;
    const fs::path folder = scratch.path() / "closed";
    fs::create_directory(folder);
    ::chmod(folder.c_str(), 0555);
    // Nothing to rewrite in place: the file is missing, for the superuser too.
    CommandFile file{(folder / "absent" / "wheelchair_commands.txt").string()};
    std::ostringstream messages;
    markerEverFound = 1;
    writeCommandFile({}, {}, {}, file, messages);
    markerEverFound = 0;
    EXPECT_EQ(file.mode, CommandFile::Mode::Failing);
    const std::string told = messages.str();
    EXPECT_EQ(std::count(told.begin(), told.end(), '\n'), 1) << told;
    ::chmod(folder.c_str(), 0755);
}

TEST(StaleTemporaries, OnlyOldOnesBesideTheFileAreRemoved) {
    ScratchDirectory scratch;
    const fs::path file = scratch.path() / "wheelchair_commands.txt";
    struct Entry {
        const char* name;
        std::chrono::seconds age;
        bool removed;
    };
    const Entry entries[] = {
        {".wheelchair_commands.txt.tmp-00000001", std::chrono::seconds(3600), true},
        {".wheelchair_commands.txt.tmp-00000002", std::chrono::seconds(61), true},
        {".wheelchair_commands.txt.tmp-00000003", std::chrono::seconds(5), false},
        {"wheelchair_commands.txt", std::chrono::seconds(3600), false},
        {".other.txt.tmp-00000001", std::chrono::seconds(3600), false},
        // Names the program never makes, however alike: a user's own files.
        {".wheelchair_commands.txt.tmp-my-notes.txt", std::chrono::seconds(3600), false},
        {".wheelchair_commands.txt.tmp-0000001", std::chrono::seconds(3600), false},
        {".wheelchair_commands.txt.tmp-000000001", std::chrono::seconds(3600), false},
        {".wheelchair_commands.txt.tmp-0000000A", std::chrono::seconds(3600), false},
        {".wheelchair_commands.txt.tmp-", std::chrono::seconds(3600), false},
    };
    for (const Entry& e : entries) {
        std::ofstream(scratch.path() / e.name) << "x\n";
        fs::last_write_time(scratch.path() / e.name, fs::file_time_type::clock::now() - e.age);
    }
    std::ostringstream messages;
    removeStaleTemporaries(file.string(), std::chrono::minutes(1), messages);
    for (const Entry& e : entries) {
        SCOPED_TRACE(e.name);
        EXPECT_EQ(fs::exists(scratch.path() / e.name), !e.removed);
    }
    EXPECT_EQ(messages.str(), "Removed 2 temporary command files left beside " + file.string() +
                                  " by an earlier run that was killed.\n");
}

}  // namespace
