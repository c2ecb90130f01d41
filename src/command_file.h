#pragma once
// The command file read by the wheelchair-side program, and how it is replaced safely.

#include <chrono>
#include <iosfwd>
#include <string>

#include "detection.h"

// Where the command file goes, relative to the working directory.
constexpr const char* commandFilePath = "../../wheelchair_commands.txt";

// The command file's four lines: bowl y, bowl z, mouth y, mouth z, each the green reference's
// coordinate minus the target's, times 100.
std::string formatCommandFile(const MarkerPosition& green, const MarkerPosition& red,
                              const MarkerPosition& blue);

// What replaceFile met besides success or failure.
struct ReplaceOutcome {
    bool creationRefused = false;  // the directory refused the new file for want of permission
    std::string ownershipLost;     // "group staff", "owner ann": what the new file could not keep
};

// Replaces the file at `path` with `content` in one step: a reader sees the old content or the
// new, never a mix. Writes a fresh, exclusively created file beside it and renames it over. A
// regular file already there passes on its permission bits and its group (and its owner, as
// root); a symbolic link there is replaced, never followed. Where the group or owner cannot be
// passed on, `outcome` names it, and with `keepOwnershipOrStop` nothing is replaced. Returns an
// empty string on success, otherwise what went wrong; no temporary file is left.
std::string replaceFile(const std::string& path, const std::string& content,
                        ReplaceOutcome* outcome = nullptr, bool keepOwnershipOrStop = false);

// Rewrites the existing regular file at `path` in place: truncated, then written in one call,
// so a reader may meanwhile find it empty or incomplete. Neither creates the file, nor follows a
// symbolic link, nor waits to open it; anything but a regular file (a FIFO, a device) is
// refused. Returns an empty string on success, otherwise what went wrong.
std::string rewriteInPlace(const std::string& path, const std::string& content);

// Removes the temporary files that replaceFile leaves beside `path` only when the process is
// killed between creating one and renaming it, once they are older than `age` (younger ones
// may belong to a tracker still running). Only names replaceFile makes are touched: the
// prefix followed by exactly its random suffix. Tells `messages` once how many it removed.
void removeStaleTemporaries(const std::string& path, std::chrono::seconds age,
                            std::ostream& messages);

// The command file's place and how the last attempt to write it went.
struct CommandFile {
    enum class Mode {
        Replacing,  // replaced in one step, the normal way
        InPlace,    // the directory refuses new files, but the file itself may be written
        Failing,    // could not be written at all
    };
    std::string path = commandFilePath;
    Mode mode = Mode::Replacing;
    std::string ownershipLost{};   // told once: what the last replacement could not keep
    bool lockedElsewhere = false;  // another process is the file's writer: never written
    int lockFd = -1;               // the writer's lock, held for the run
};

// Makes this process the one writer of `file`: takes an flock on ".NAME.lock" beside it, held
// until the process ends (the kernel lets go of it even after SIGKILL), notes the process
// number in it, and removes the leftovers of a killed run (removeStaleTemporaries). Where
// another process holds the lock, says once which, and the file is never written in this run
// (lockedElsewhere). Where no lock file can be opened, says so once and writes without it.
void claimCommandFile(CommandFile& file, std::ostream& messages);

// Once markerEverFound is 1, replaces the command file with the lines for these positions;
// before that, or when another process is its writer, leaves it alone. Where the directory
// refuses new files, or the replacement could not keep the file's group (or owner, as root),
// but the file itself is writable, rewrites it in place instead, until replacing works again;
// a group or owner that is lost all the same is told once. Each change of mode is told on
// `messages` once, a failure with its reason; every call tries the normal way first.
void writeCommandFile(const MarkerPosition& green, const MarkerPosition& red,
                      const MarkerPosition& blue, CommandFile& file, std::ostream& messages);
