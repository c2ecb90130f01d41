#pragma once
// The edges of the process, shared by both programs: standard descriptors, stop signals and the
// display. Each program calls them from main.

#include <string>

// Prepares the process before anything else runs, in this order:
// - opens any closed standard descriptor (0, 1, 2) on /dev/null, so that no descriptor opened
//   later (the window system's connection, say) takes its place;
// - gives standard output and standard error descriptions of their own that never block, and
//   puts streams on std::cout and std::cerr that drop what cannot be written at once;
// - ignores SIGPIPE, SIGTTOU and SIGTSTP (Ctrl-Z), and has SIGINT, SIGTERM and SIGHUP request
//   a stop;
// - checks that the windows have a display: without one, says so on standard error in one line
//   and exits with status 1, touching no file; with one, lays the windows out on its screen.
// `program` names the program in messages.
void startProcess(const char* program);

// Whether SIGINT, SIGTERM or SIGHUP has arrived. A second one ends the process at once.
bool stopRequested();

// Ends the process after its loop: shows the threshold table on standard error, then, when a
// signal stopped the loop, ends by that signal with its default action, so the caller sees the
// status a shell expects; otherwise exits with status 0. Release the camera before calling.
[[noreturn]] void endProcess();

// Why the windows cannot be shown, or an empty string when they can: no display named, or the
// one named cannot be reached. A platform chosen through QT_QPA_PLATFORM is taken as it is.
std::string displayProblem();
