// progress: the line each end keeps up to date while a file travels.
#ifndef VELCOT_PROGRESS_H
#define VELCOT_PROGRESS_H

#include <chrono>
#include <cstdint>
#include <string>

// One drawing of the progress line, carriage return included.
std::string FormatProgress(const char* name, uint64_t total, uint64_t done, int error, bool utf8);

// The name with the bytes a terminal would act on escaped, for this
// console's character set (EscapeForTerminal). Escaping twice changes
// nothing more.
std::string EscapeForConsole(const char* name);

// One file's progress line, owned by its session and drawn by its
// exchange; made as {name, total}, not drawn yet.
struct ProgressLine {
  const char* name;
  uint64_t total;
  bool begun = false;  // the line is this file's: ending it writes a line feed
  bool error = false;  // something was refused since the last paced drawing
  std::chrono::steady_clock::time_point paced_at = std::chrono::steady_clock::now();
};

// Draws the line now, for this console's character set, "(ERROR)" in place
// of the percentage when error.
void DrawProgress(ProgressLine* line, uint64_t done, bool error);

// Draws the line, showing an error noted since the last time, if forced, if
// an error waits, or if it was last drawn so long ago that it looks stuck.
void PaceProgress(ProgressLine* line, uint64_t done, bool force);

// Closes the line with a line feed if it was begun, and flushes the output
// stream, so that a message on the error stream comes after it.
void EndProgress(ProgressLine* line);

#endif
