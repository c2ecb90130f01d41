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

// Replaces the file at `path` with `content` in one step: a reader sees the old content or the
// new, never a mix. Writes a fresh, exclusively created file beside it and renames it over. A
// regular file already there passes on its permission bits and, where the process may set
// them, its owner and group; a symbolic link there is replaced, never followed. Returns an
// empty string on success, otherwise what went wrong; no temporary file is left. With
// `creationRefused`, tells whether the directory refused the new file for want of permission.
std::string replaceFile(const std::string& path, const std::string& content,
                        bool* creationRefused = nullptr);

// Rewrites the existing regular file at `path` in place: truncated, then written in one call,
// so a reader may meanwhile find it empty or incomplete. Neither creates the file nor follows a
// symbolic link. Returns an empty string on success, otherwise what went wrong.
std::string rewriteInPlace(const std::string& path, const std::string& content);

// Removes the temporary files that replaceFile leaves beside `path` only when the process is
// killed between creating one and renaming it, once they are older than `age` (younger ones
// may belong to a tracker still running). Tells `messages` once how many it removed.
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
};

// Once markerEverFound is 1, replaces the command file with the lines for these positions;
// before that leaves it alone. Where the directory refuses new files but the file is writable,
// rewrites it in place instead, until replacing works again. Each change of mode is told on
// `messages` once, a failure with its reason; every call tries the normal way first.
void writeCommandFile(const MarkerPosition& green, const MarkerPosition& red,
                      const MarkerPosition& blue, CommandFile& file, std::ostream& messages);
